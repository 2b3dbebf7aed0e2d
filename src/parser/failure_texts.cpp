// The texts of the log format's mapping failures.
#include "parser/failure_texts.hpp"

#include <charconv>

namespace kestro::detail {

namespace {

std::string to_hex(unsigned value) {
    char buf[8];
    auto r = std::to_chars(buf, buf + sizeof buf, value, 16);
    return std::string(buf, r.ptr);
}

}  // namespace

std::string elements(std::size_t n) {
    return std::to_string(n) + (n == 1 ? " element" : " elements");
}

std::string too_many_elements(std::size_t total, std::size_t wanted, bool inside_content) {
    if (inside_content) {
        return "invalid length " + std::to_string(total) + ", expected " + elements(wanted) +
               " in sequence";
    }
    return "invalid length " + std::to_string(total) + ", expected fewer elements in array";
}

std::string unknown_variant(std::string_view got, const std::string_view* texts, std::size_t n) {
    std::string out = "unknown variant `";
    out.append(got);
    out += "`, expected ";
    if (n == 2) {
        out += "`";
        out.append(texts[0]);
        out += "` or `";
        out.append(texts[1]);
        out += "`";
    } else {
        out += "one of ";
        for (std::size_t i = 0; i < n; ++i) {
            out += i == 0 ? "`" : ", `";
            out.append(texts[i]);
            out += "`";
        }
    }
    return out;
}

std::string describe_string(std::string_view s) {
    std::string out = "string \"";
    out.reserve(s.size() + 10);
    for (std::size_t i = 0; i < s.size(); ++i) {
        auto c = static_cast<unsigned char>(s[i]);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\0':
                out += "\\0";
                break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    out += "\\u{" + to_hex(c) + "}";
                } else if (c == 0xC2 && i + 1 < s.size() &&
                           static_cast<unsigned char>(s[i + 1]) <= 0x9F) {
                    // U+0080..U+009F: control characters in their two-byte form.
                    out += "\\u{" + to_hex(static_cast<unsigned char>(s[i + 1])) + "}";
                    ++i;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    out += '"';
    return out;
}

}  // namespace kestro::detail
