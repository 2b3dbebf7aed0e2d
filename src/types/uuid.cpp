// Reading and writing UUID text forms.
#include "types/uuid.hpp"

#include "types/keyed_hash.hpp"

#include <cstring>

namespace kestro {
namespace {

constexpr std::array<std::int8_t, 256> make_hex_table() {
    std::array<std::int8_t, 256> t{};
    for (auto& v : t)
        v = -1;
    for (int c = '0'; c <= '9'; ++c)
        t[static_cast<std::size_t>(c)] = static_cast<std::int8_t>(c - '0');
    for (int c = 'a'; c <= 'f'; ++c)
        t[static_cast<std::size_t>(c)] = static_cast<std::int8_t>(c - 'a' + 10);
    for (int c = 'A'; c <= 'F'; ++c)
        t[static_cast<std::size_t>(c)] = static_cast<std::int8_t>(c - 'A' + 10);
    return t;
}
constexpr auto hex_table = make_hex_table();

int hex_value(char c) {
    return hex_table[static_cast<unsigned char>(c)];
}

std::string invalid_character(std::string_view whole, std::size_t index) {
    // Positions are 1-based character positions in the text as given; report the whole
    // (possibly multi-byte) character.
    std::size_t len = 1;
    const auto lead = static_cast<unsigned char>(whole[index]);
    if (lead >= 0xF0) {
        len = 4;
    } else if (lead >= 0xE0) {
        len = 3;
    } else if (lead >= 0xC0) {
        len = 2;
    }
    std::size_t chars = 0;
    for (std::size_t i = 0; i < index; ++i) {
        if ((static_cast<unsigned char>(whole[i]) & 0xC0) != 0x80) ++chars;
    }
    return "invalid character: expected an optional prefix of `urn:uuid:` followed by "
           "[0-9a-fA-F-], found `" +
           std::string(whole.substr(index, std::min(len, whole.size() - index))) + "` at " +
           std::to_string(chars + 1);
}

sdk_error fault(std::string why) {
    return sdk_error::parse({parse_error_kind::invalid_uuid, 0, std::move(why)});
}

}  // namespace

result<uuid> uuid::parse(std::string_view text) {
    // Nearly every identifier in a log is in the canonical hyphenated form: read it with one
    // table lookup per digit; anything else takes the general path below.
    if (text.size() == 36 && text[8] == '-' && text[13] == '-' && text[18] == '-' &&
        text[23] == '-') {
        static constexpr std::uint8_t digit_at[32] = {0,  1,  2,  3,  4,  5,  6,  7,  9,  10, 11,
                                                      12, 14, 15, 16, 17, 19, 20, 21, 22, 24, 25,
                                                      26, 27, 28, 29, 30, 31, 32, 33, 34, 35};
        uuid out;
        int bad = 0;
        for (std::size_t i = 0; i < 16; ++i) {
            const int hi = hex_value(text[digit_at[2 * i]]);
            const int lo = hex_value(text[digit_at[2 * i + 1]]);
            bad |= hi | lo;
            out.bytes[i] = static_cast<std::uint8_t>((hi << 4) | (lo & 0xF));
        }
        if (bad >= 0) return out;
    }
    std::string_view body = text;
    std::size_t offset = 0;  // where `body` starts inside `text`
    if (body.starts_with("urn:uuid:")) {
        body.remove_prefix(9), offset = 9;
    } else if (body.size() >= 2 && body.front() == '{' && body.back() == '}') {
        body = body.substr(1, body.size() - 2), offset = 1;
    }
    for (std::size_t i = 0; i < body.size(); ++i) {
        if (body[i] != '-' && hex_value(body[i]) < 0)
            return fault(invalid_character(text, offset + i));
    }

    uuid out;
    std::size_t digits = 0;
    auto put = [&](char c) {
        const auto v = static_cast<std::uint8_t>(hex_value(c));
        if (digits % 2 == 0) {
            out.bytes[digits / 2] = static_cast<std::uint8_t>(v << 4);
        } else {
            out.bytes[digits / 2] |= v;
        }
        ++digits;
    };

    if (body.find('-') == std::string_view::npos) {
        if (body.size() != 32) {
            return fault("invalid length: expected length 32 for simple format, found " +
                         std::to_string(body.size()));
        }
        for (char c : body)
            put(c);
        return out;
    }

    static constexpr std::size_t group_len[5] = {8, 4, 4, 4, 12};
    std::size_t groups = 1;
    for (char c : body)
        groups += c == '-' ? 1 : 0;
    if (groups != 5) {
        return fault("invalid group count: expected 5, found " + std::to_string(groups));
    }
    std::size_t group = 0;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= body.size(); ++i) {
        if (i == body.size() || body[i] == '-') {
            const std::size_t len = i - start;
            if (len != group_len[group]) {
                return fault("invalid group length in group " + std::to_string(group + 1) +
                             ": expected " + std::to_string(group_len[group]) + ", found " +
                             std::to_string(len));
            }
            ++group;
            start = i + 1;
        }
    }
    for (char c : body) {
        if (c != '-') put(c);
    }
    return out;
}

std::string uuid::to_string() const {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(36);
    for (std::size_t i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 0xF];
    }
    return out;
}

std::size_t uuid_hash::operator()(const uuid& u) const noexcept {
    // Identifiers come from the file, so whoever wrote it chose them: keyed, they cannot be
    // chosen to collide.
    return static_cast<std::size_t>(keyed_hash(u.bytes.data(), u.bytes.size()));
}

}  // namespace kestro
