// The precise reader: the log format's JSON grammar through RapidJSON, with its failure texts.
#include "parser/json_reader.hpp"

#include <rapidjson/reader.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <system_error>
#include <utility>

#include "parser/json_chars.hpp"

namespace kestro::detail {

namespace {

json_value make(json_value::storage s) {
    return json_value(std::move(s));
}

// RapidJSON reads through this: Peek gives '\0' at the end like its own string streams, and
// Tell is the byte offset that error columns are counted from.
class line_stream {
  public:
    using Ch = char;
    explicit line_stream(std::string_view s)
        : begin_(s.data()), p_(s.data()), end_(s.data() + s.size()) {}
    [[nodiscard]] Ch Peek() const { return p_ < end_ ? *p_ : '\0'; }
    Ch Take() { return p_ < end_ ? *p_++ : '\0'; }
    [[nodiscard]] std::size_t Tell() const { return static_cast<std::size_t>(p_ - begin_); }
    // Only used by in-situ parsing, which this stream never does.
    Ch* PutBegin() { return nullptr; }
    void Put(Ch) {}
    void Flush() {}
    std::size_t PutEnd(Ch*) { return 0; }

  private:
    const char* begin_;
    const char* p_;
    const char* end_;
};

// RapidJSON's own allocator hands a failed realloc's null straight to the parser's stack, which
// then writes through it. This one reports running out of memory the way the rest of the core
// does; the stack keeps its old block when growing fails, so it is still freed.
class throwing_allocator {
  public:
    static const bool kNeedFree = true;
    void* Malloc(std::size_t size) {
        if (size == 0) return nullptr;
        void* p = std::malloc(size);
        if (p == nullptr) throw std::bad_alloc();
        return p;
    }
    void* Realloc(void* original, std::size_t, std::size_t size) {
        if (size == 0) {
            std::free(original);
            return nullptr;
        }
        void* p = std::realloc(original, size);
        if (p == nullptr) throw std::bad_alloc();
        return p;
    }
    static void Free(void* p) { std::free(p); }
};

unsigned hex4(std::string_view s, std::size_t at) {
    unsigned v = 0;
    for (std::size_t i = at; i < at + 4; ++i) {
        char c = s[i];
        unsigned d = is_digit(c) ? unsigned(c - '0') : unsigned((c | 0x20) - 'a' + 10);
        v = v * 16 + d;
    }
    return v;
}

struct fault {
    std::string_view what;
    std::size_t column = 0;
};

// The first \u escape of the line that is not a valid code point. RapidJSON lets a lone
// trailing surrogate through, and reports the others at the backslash only, so both cases
// are diagnosed here from the text.
bool find_surrogate_fault(std::string_view line, fault& f) {
    bool in_string = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (!in_string || c != '\\') {
            if (c == '"') {
                in_string = !in_string;
            }
            continue;
        }
        if (i + 1 < line.size() && line[i + 1] != 'u') {
            ++i;
            continue;
        }
        if (i + 6 > line.size() ||
            !std::all_of(line.begin() + i + 2, line.begin() + i + 6, is_hex)) {
            return false;
        }
        unsigned first = hex4(line, i + 2);
        std::size_t after = i + 6;
        if (first >= 0xDC00 && first <= 0xDFFF) {
            f = {"lone leading surrogate in hex escape", after};
            return true;
        }
        if (first >= 0xD800 && first <= 0xDBFF) {
            if (after >= line.size() || (after + 1 >= line.size() && line[after] == '\\')) {
                f = {"EOF while parsing a string", line.size()};
                return true;
            }
            if (line[after] != '\\') {
                f = {"unexpected end of hex escape", after};
                return true;
            }
            if (line[after + 1] != 'u') {
                f = {"unexpected end of hex escape", after + 1};
                return true;
            }
            if (after + 6 > line.size()) {
                f = {"EOF while parsing a string", line.size()};
                return true;
            }
            unsigned second = hex4(line, after + 2);
            if (second < 0xDC00 || second > 0xDFFF) {
                f = {"lone leading surrogate in hex escape", after + 6};
                return true;
            }
            i = after + 5;
            continue;
        }
        i += 5;
    }
    return false;
}

// A JSON number's value: unsigned or negative integers as such, "-0" and everything else as a
// double. False when the value lies beyond the range of a double.
bool convert_number(std::string_view text, json_value& out) {
    const char* b = text.data();
    const char* e = b + text.size();
    if (text.find_first_of(".eE") == std::string_view::npos) {
        if (text[0] != '-') {
            std::uint64_t u = 0;
            if (std::from_chars(b, e, u).ec == std::errc{}) {
                out = make(u);
                return true;
            }
        } else {
            std::int64_t i = 0;
            if (std::from_chars(b, e, i).ec == std::errc{}) {
                out = i == 0 ? make(-0.0) : make(i);
                return true;
            }
        }
    }
    double d = 0;
    auto r = std::from_chars(b, e, d);
    if (r.ec == std::errc::result_out_of_range) {
        // Out of range either way; only the magnitude of the leading digit tells which.
        std::size_t exp_at = text.find_first_of("eE");
        std::string_view mantissa = text.substr(0, exp_at);
        std::int64_t exponent = 0;
        if (exp_at != std::string_view::npos) {
            std::string_view digits = text.substr(exp_at + 1);
            bool negative = !digits.empty() && digits[0] == '-';
            if (!digits.empty() && (digits[0] == '-' || digits[0] == '+')) {
                digits.remove_prefix(1);
            }
            for (char c : digits) {
                exponent = std::min<std::int64_t>(exponent * 10 + (c - '0'), 1'000'000'000);
            }
            exponent = negative ? -exponent : exponent;
        }
        std::size_t point = mantissa.find('.');
        std::size_t int_end = point == std::string_view::npos ? mantissa.size() : point;
        std::size_t start = mantissa[0] == '-' ? 1 : 0;
        std::int64_t magnitude = 0;
        for (std::size_t i = start; i < mantissa.size(); ++i) {
            if (mantissa[i] != '0' && mantissa[i] != '.') {
                magnitude =
                    i < int_end ? std::int64_t(int_end - i) - 1 : -std::int64_t(i - int_end);
                break;
            }
        }
        if (magnitude + exponent >= 0) {
            return false;
        }
        d = text[0] == '-' ? -0.0 : 0.0;
    }
    out = make(d);
    return true;
}

// Builds a json_value from RapidJSON's events, counting depth and vetting strings.
class value_builder {
  public:
    value_builder(const line_stream& stream, std::string_view line)
        : stream_(stream), line_(line) {}

    bool Null() { return add(make(nullptr)); }
    bool Bool(bool b) { return add(make(b)); }
    // Numbers arrive as text (kParseNumbersAsStringsFlag); these complete the handler concept.
    bool Int(int i) { return add(make(std::int64_t{i})); }
    bool Uint(unsigned u) { return add(make(std::uint64_t{u})); }
    bool Int64(std::int64_t i) { return add(make(i)); }
    bool Uint64(std::uint64_t u) { return add(make(u)); }
    bool Double(double d) { return add(make(d)); }
    bool RawNumber(const char* s, rapidjson::SizeType n, bool) {
        json_value v;
        if (!convert_number(std::string_view(s, n), v)) {
            return stop("number out of range", stream_.Tell());
        }
        return add(std::move(v));
    }
    bool String(const char* s, rapidjson::SizeType n, bool) {
        if (!valid(s, n)) {
            return false;
        }
        return add(make(std::string(s, n)));
    }
    bool Key(const char* s, rapidjson::SizeType n, bool) {
        if (!valid(s, n)) {
            return false;
        }
        frames_.back().key.assign(s, n);
        return true;
    }
    bool StartObject() { return open(true); }
    bool EndObject(rapidjson::SizeType) { return close(); }
    bool StartArray() { return open(false); }
    bool EndArray(rapidjson::SizeType) { return close(); }

    [[nodiscard]] bool stopped() const { return stopped_; }
    [[nodiscard]] const fault& why() const { return why_; }
    json_value& root() { return root_; }

  private:
    struct frame {
        bool is_object;
        json_value::array items;
        json_value::object members;
        std::string key;
    };

    bool stop(std::string_view what, std::size_t column) {
        stopped_ = true;
        why_ = {what, column};
        return false;
    }
    // Escapes are the only way a string can hold bad UTF-8 here (the line was validated):
    // RapidJSON encodes a lone trailing surrogate instead of refusing it.
    bool valid(const char* s, std::size_t n) {
        if (simdjson::validate_utf8(s, n)) {
            return true;
        }
        fault f{"lone leading surrogate in hex escape", stream_.Tell()};
        find_surrogate_fault(line_, f);
        return stop(f.what, f.column);
    }
    bool add(json_value v) {
        if (frames_.empty()) {
            root_ = std::move(v);
        } else if (frame& top = frames_.back(); top.is_object) {
            top.members.emplace_back(std::move(top.key), std::move(v));
        } else {
            top.items.push_back(std::move(v));
        }
        return true;
    }
    bool open(bool is_object) {
        if (frames_.size() == max_json_depth) {
            // Called before the bracket is consumed: the stream is at the bracket.
            return stop("recursion limit exceeded", stream_.Tell() + 1);
        }
        frames_.push_back(frame{is_object, {}, {}, {}});
        return true;
    }
    bool close() {
        frame done = std::move(frames_.back());
        frames_.pop_back();
        return add(done.is_object ? json_value::make_object(std::move(done.members))
                                  : make(std::move(done.items)));
    }

    const line_stream& stream_;
    std::string_view line_;
    std::vector<frame> frames_;
    json_value root_;
    bool stopped_ = false;
    fault why_;
};

char previous_non_space(std::string_view line, std::size_t offset) {
    while (offset > 0) {
        char c = line[--offset];
        if (!is_json_space(c)) {
            return c;
        }
    }
    return '\0';
}

// A digit right after a number's leading zero ("01", "-01").
bool after_leading_zero(std::string_view line, std::size_t offset) {
    return offset < line.size() && is_digit(line[offset]) && offset >= 1 &&
           line[offset - 1] == '0' && (offset < 2 || !is_digit(line[offset - 2]));
}

bool is_letter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Where the failure was and what surrounds it, for the descriptions below.
struct failure_place {
    std::string_view line;
    std::size_t offset;
    bool at_end;
    std::size_t column;
    char prev;  // the last character before the offset that is not white space

    failure_place(std::string_view l, std::size_t o)
        : line(l),
          offset(o),
          at_end(o >= l.size()),
          column(std::min(l.size(), o + 1)),
          prev(previous_non_space(l, std::min(o, l.size()))) {}

    [[nodiscard]] char here() const { return line[offset]; }
};

// Failures in values, objects and arrays; none for other codes.
std::optional<fault> structure_fault(rapidjson::ParseErrorCode code, const failure_place& at) {
    switch (code) {
        case rapidjson::kParseErrorValueInvalid:
            if (at.offset > 0 && at.line[at.offset - 1] == '-')
                return fault{"invalid number", at.column};
            if (at.at_end) {
                return fault{
                    at.prev == '[' ? "EOF while parsing a list" : "EOF while parsing a value",
                    at.column};
            }
            if ((at.here() == ']' || at.here() == '}') && at.prev == ',') {
                return fault{"trailing comma", at.column};
            }
            if (at.offset > 0 && is_letter(at.line[at.offset - 1])) {
                return fault{"expected ident", at.column};
            }
            return fault{"expected value", at.column};
        case rapidjson::kParseErrorObjectMissName:
            if (at.at_end) {
                return fault{
                    at.prev == ',' ? "EOF while parsing a value" : "EOF while parsing an object",
                    at.column};
            }
            if (at.here() == '}' && at.prev == ',') return fault{"trailing comma", at.column};
            return fault{"key must be a string", at.column};
        case rapidjson::kParseErrorObjectMissColon:
            return fault{at.at_end ? "EOF while parsing an object" : "expected `:`", at.column};
        case rapidjson::kParseErrorObjectMissCommaOrCurlyBracket:
            if (at.at_end) return fault{"EOF while parsing an object", at.column};
            return fault{
                after_leading_zero(at.line, at.offset) ? "invalid number" : "expected `,` or `}`",
                at.column};
        case rapidjson::kParseErrorArrayMissCommaOrSquareBracket:
            if (at.at_end) return fault{"EOF while parsing a list", at.column};
            return fault{
                after_leading_zero(at.line, at.offset) ? "invalid number" : "expected `,` or `]`",
                at.column};
        default:
            return std::nullopt;
    }
}

// Failures inside a string; none for other codes.
std::optional<fault> string_fault(rapidjson::ParseErrorCode code, const failure_place& at) {
    constexpr std::string_view control =
        "control character (\\u0000-\\u001F) found while parsing a string";
    const bool control_here = !at.at_end && static_cast<unsigned char>(at.here()) < 0x20;
    switch (code) {
        case rapidjson::kParseErrorStringUnicodeEscapeInvalidHex:
            // Reported at the backslash; the fault is the first non-hex digit after "\u".
            for (std::size_t i = at.offset + 2; i < at.offset + 6; ++i) {
                if (i >= at.line.size()) return fault{"EOF while parsing a string", at.line.size()};
                if (!is_hex(at.line[i])) return fault{"invalid escape", i + 1};
            }
            return fault{"invalid escape", at.column};
        case rapidjson::kParseErrorStringUnicodeSurrogateInvalid: {
            fault f{"lone leading surrogate in hex escape", at.column};
            find_surrogate_fault(at.line, f);
            return f;
        }
        case rapidjson::kParseErrorStringEscapeInvalid:
            // Also RapidJSON's report of a raw control character, at the character itself.
            if (control_here) return fault{control, at.column};
            if (at.offset + 1 >= at.line.size()) {
                return fault{"EOF while parsing a string", at.line.size()};
            }
            return fault{"invalid escape", at.offset + 2};
        case rapidjson::kParseErrorStringMissQuotationMark:
            // Before the end, the '\0' RapidJSON stopped at is a NUL byte in the string.
            return fault{at.at_end ? "EOF while parsing a string" : control, at.column};
        case rapidjson::kParseErrorStringInvalidEncoding:
            return fault{control_here ? control : "invalid unicode code point", at.column};
        default:
            return std::nullopt;
    }
}

// The description of RapidJSON's failure in the log format's words and columns.
fault describe(rapidjson::ParseErrorCode code, std::size_t offset, std::string_view line) {
    const failure_place at(line, offset);
    if (auto f = structure_fault(code, at)) return *f;
    if (auto f = string_fault(code, at)) return *f;
    switch (code) {
        case rapidjson::kParseErrorDocumentEmpty:
            return {"EOF while parsing a value", at.column};
        case rapidjson::kParseErrorDocumentRootNotSingular:
            if (after_leading_zero(line, offset)) return {"invalid number", at.column};
            return {"trailing characters", at.column};
        case rapidjson::kParseErrorNumberTooBig: {
            std::size_t end = offset;
            while (end < line.size() &&
                   (is_digit(line[end]) || std::strchr("+-.eE", line[end]) != nullptr)) {
                ++end;
            }
            return {"number out of range", std::max<std::size_t>(end, 1)};
        }
        case rapidjson::kParseErrorNumberMissFraction:
        case rapidjson::kParseErrorNumberMissExponent:
            return {at.at_end ? "EOF while parsing a value" : "invalid number", at.column};
        default:
            return {"expected value", at.column};
    }
}

std::string render(const fault& f) {
    std::string out(f.what);
    out += " at line 1 column ";
    out += std::to_string(f.column);
    return out;
}

// True when the number token at `at` has only zero digits before its exponent.
bool has_zero_mantissa(std::string_view line, std::size_t at) {
    std::size_t i = at < line.size() && line[at] == '-' ? at + 1 : at;
    bool any = false;
    for (; i < line.size() && (is_digit(line[i]) || line[i] == '.'); ++i) {
        if (line[i] != '.' && line[i] != '0') return false;
        any = any || line[i] == '0';
    }
    return any;
}

// RapidJSON refuses an exponent beyond a double's range even when the mantissa is zero, yet
// 0e400 is exactly zero. From `from` on (a place outside any string), every zero-mantissa
// number gets its exponent digits replaced by zeros: same value, same length, so columns in
// later error descriptions stay true. One linear pass, however many such numbers there are.
void flatten_zero_exponents(std::string& text, std::size_t from) {
    bool in_string = false;
    for (std::size_t i = from; i < text.size();) {
        const char c = text[i];
        if (in_string) {
            i += c == '\\' ? 2 : 1;
            in_string = c != '"';
            continue;
        }
        if (c == '"') {
            in_string = true;
            ++i;
            continue;
        }
        if (c != '-' && !is_digit(c)) {
            ++i;
            continue;
        }
        const bool zero = has_zero_mantissa(text, i);
        ++i;
        while (i < text.size() && (is_digit(text[i]) || text[i] == '.'))
            ++i;
        if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
            ++i;
            if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
            for (; i < text.size() && is_digit(text[i]); ++i) {
                if (zero) text[i] = '0';
            }
        }
    }
}

}  // namespace

result<json_value> parse_json_precise(std::string_view line) {
    line_stream stream(line);
    value_builder builder(stream, line);
    rapidjson::GenericReader<rapidjson::UTF8<>, rapidjson::UTF8<>, throwing_allocator> reader;
    constexpr unsigned flags =
        rapidjson::kParseIterativeFlag | rapidjson::kParseNumbersAsStringsFlag;
    rapidjson::ParseResult r = reader.Parse<flags>(stream, builder);
    if (r.IsError() && r.Code() == rapidjson::kParseErrorNumberTooBig && !builder.stopped() &&
        has_zero_mantissa(line, r.Offset())) {
        std::string flattened(line);
        flatten_zero_exponents(flattened, r.Offset());
        return parse_json_precise(flattened);
    }
    if (r.IsError()) {
        return sdk_error::json(
            render(builder.stopped() ? builder.why() : describe(r.Code(), r.Offset(), line)));
    }
    if (stream.Tell() < line.size()) {
        // RapidJSON takes a NUL byte for the end of the text; the log format does not.
        return sdk_error::json(render({"trailing characters", stream.Tell() + 1}));
    }
    return std::move(builder.root());
}

}  // namespace kestro::detail
