// RFC 3339 reading and writing of UTC instants, and their differences.
#include "types/date_time.hpp"

#include <cstdio>

namespace kestro {
namespace {

constexpr std::int64_t nanos_per_second = 1'000'000'000;

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm).
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2 ? 1 : 0;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

struct civil {
    std::int64_t year;
    unsigned month;
    unsigned day;
};

civil civil_from_days(std::int64_t z) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    return {static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2 ? 1 : 0), m, d};
}

bool is_leap(std::int64_t y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

unsigned days_in_month(std::int64_t y, unsigned m) {
    static constexpr unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && is_leap(y) ? 29 : days[m - 1];
}

// A cursor over the text; each reader reports the first fault it meets.
class reader {
  public:
    explicit reader(std::string_view s) : s_(s) {}

    // Reads exactly `n` digits.
    const char* digits(unsigned n, unsigned& out) {
        out = 0;
        for (unsigned i = 0; i < n; ++i) {
            if (pos_ >= s_.size()) return premature;
            const char c = s_[pos_];
            if (c < '0' || c > '9') return invalid;
            out = out * 10 + static_cast<unsigned>(c - '0');
            ++pos_;
        }
        return nullptr;
    }
    const char* expect(char a, char b = '\0') {
        if (pos_ >= s_.size()) return premature;
        if (s_[pos_] != a && (b == '\0' || s_[pos_] != b)) return invalid;
        ++pos_;
        return nullptr;
    }
    [[nodiscard]] bool at_end() const { return pos_ >= s_.size(); }
    [[nodiscard]] char peek() const { return s_[pos_]; }
    void advance() { ++pos_; }

    static constexpr const char* premature = "premature end of input";
    static constexpr const char* invalid = "input contains invalid characters";

  private:
    std::string_view s_;
    std::size_t pos_ = 0;
};

}  // namespace

std::int64_t time_span::whole_seconds() const {
    return seconds < 0 && nanos > 0 ? seconds + 1 : seconds;
}

std::int64_t time_span::whole_milliseconds() const {
    const __int128 total = static_cast<__int128>(seconds) * nanos_per_second + nanos;
    return static_cast<std::int64_t>(total / 1'000'000);
}

result<date_time> date_time::parse(std::string_view text) {
    reader r(text);
    unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    const char* err = nullptr;
    auto fail = [](const char* e) -> result<date_time> {
        return sdk_error::parse({parse_error_kind::invalid_timestamp, 0, e});
    };

    if ((err = r.digits(4, year)) || (err = r.expect('-')) || (err = r.digits(2, month)) ||
        (err = r.expect('-')) || (err = r.digits(2, day)) || (err = r.expect('T', 't')) ||
        (err = r.digits(2, hour)) || (err = r.expect(':')) || (err = r.digits(2, minute)) ||
        (err = r.expect(':')) || (err = r.digits(2, second))) {
        return fail(err);
    }
    std::uint32_t nanos = 0;
    if (!r.at_end() && r.peek() == '.') {
        r.advance();
        unsigned count = 0;
        std::uint32_t scale = 100'000'000;
        while (!r.at_end() && r.peek() >= '0' && r.peek() <= '9') {
            // Digits beyond nanoseconds are read and dropped.
            nanos += static_cast<std::uint32_t>(r.peek() - '0') * scale;
            scale /= 10;
            ++count;
            r.advance();
        }
        if (count == 0) return fail(r.at_end() ? reader::premature : reader::invalid);
    }
    if (r.at_end()) return fail(reader::premature);
    std::int64_t offset = 0;
    const char sign = r.peek();
    if (sign == 'Z' || sign == 'z') {
        r.advance();
    } else if (sign == '+' || sign == '-') {
        r.advance();
        unsigned oh = 0, om = 0;
        if ((err = r.digits(2, oh)) || (err = r.expect(':')) || (err = r.digits(2, om))) {
            return fail(err);
        }
        if (oh > 23 || om > 59) return fail("input is out of range");
        offset = (static_cast<std::int64_t>(oh) * 60 + om) * 60 * (sign == '-' ? -1 : 1);
    } else {
        return fail(reader::invalid);
    }
    if (!r.at_end()) return fail("trailing input");

    if (month < 1 || month > 12 || day < 1 || day > days_in_month(year, month) || hour > 23 ||
        minute > 59 || second > 59) {
        return fail("input is out of range");
    }
    date_time out;
    out.seconds = days_from_civil(year, month, day) * 86400 +
                  static_cast<std::int64_t>(hour) * 3600 + minute * 60 + second - offset;
    out.nanos = nanos;
    return out;
}

std::string date_time::to_rfc3339() const {
    std::int64_t days = seconds / 86400;
    std::int64_t rem = seconds % 86400;
    if (rem < 0) rem += 86400, --days;
    const civil c = civil_from_days(days);
    char buf[64];
    const int hh = static_cast<int>(rem / 3600);
    const int mm = static_cast<int>(rem / 60 % 60);
    const int ss = static_cast<int>(rem % 60);
    int n = std::snprintf(
        buf, sizeof buf, "%s%04lld-%02u-%02uT%02d:%02d:%02d", c.year < 0 ? "-" : "",
        static_cast<long long>(c.year < 0 ? -c.year : c.year), c.month, c.day, hh, mm, ss);
    std::string out(buf, static_cast<std::size_t>(n));
    if (nanos != 0) {
        if (nanos % 1'000'000 == 0) {
            n = std::snprintf(buf, sizeof buf, ".%03u", nanos / 1'000'000);
        } else if (nanos % 1'000 == 0) {
            n = std::snprintf(buf, sizeof buf, ".%06u", nanos / 1'000);
        } else {
            n = std::snprintf(buf, sizeof buf, ".%09u", nanos);
        }
        out.append(buf, static_cast<std::size_t>(n));
    }
    out += "+00:00";
    return out;
}

time_span operator-(const date_time& a, const date_time& b) {
    time_span d;
    d.seconds = a.seconds - b.seconds;
    std::int64_t n = static_cast<std::int64_t>(a.nanos) - static_cast<std::int64_t>(b.nanos);
    if (n < 0) n += nanos_per_second, --d.seconds;
    d.nanos = static_cast<std::uint32_t>(n);
    return d;
}

}  // namespace kestro
