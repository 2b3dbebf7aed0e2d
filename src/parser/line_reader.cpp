// The line reader: simdjson first, the precise reader for the lines it refuses or misreads.
#include <cstring>
#include <new>
#include <string>

#include "parser/json_chars.hpp"
#include "parser/json_reader.hpp"
#include "parser/simdjson_tape.hpp"

namespace kestro::detail {

namespace {

// simdjson reads "-0" as the integer 0; the log format holds it as the double -0.0. Lines
// that may hold one take the precise path (a string holding ": -0," only costs time).
bool may_hold_negative_zero(std::string_view line) {
    const char* p = line.data();
    const char* end = p + line.size();
    // Dates and identifiers hold "-0" after a digit or letter; only a number token counts.
    // memchr rather than memmem: base64 payloads hold no '-', so the scan runs at memory speed.
    while ((p = static_cast<const char*>(std::memchr(p, '-', std::size_t(end - p))))) {
        if (p + 1 == end || p[1] != '0') {
            ++p;
            continue;
        }
        const char* after = p + 2;
        bool whole =
            after == end || !(is_digit(*after) || *after == '.' || *after == 'e' || *after == 'E');
        char before = p == line.data() ? ' ' : p[-1];
        if (whole && (is_json_space(before) || before == ':' || before == ',' || before == '[')) {
            return true;
        }
        ++p;
    }
    return false;
}

// A description for the rare line simdjson refuses but the precise path accepts.
std::string_view disagreement(simdjson::error_code e) {
    switch (e) {
        case simdjson::DEPTH_ERROR:
            return "recursion limit exceeded";
        case simdjson::UNESCAPED_CHARS:
            return "control character (\\u0000-\\u001F) found while parsing a string";
        case simdjson::STRING_ERROR:
            return "invalid escape";
        case simdjson::UTF8_ERROR:
            return "invalid unicode code point";
        case simdjson::TAPE_ERROR:
        case simdjson::TRAILING_CONTENT:
            return "trailing characters";
        default:
            return "expected value";
    }
}

}  // namespace

line_reader::line_reader() {
    // On failure the first parse allocates again; the depth is re-checked there.
    simdjson::error_code ignored = parser_.allocate(1 << 16, max_json_depth);
    (void)ignored;
}

line_reader::outcome line_reader::parse(std::string_view line, std::size_t readable) {
    if (parser_.max_depth() != max_json_depth &&
        parser_.allocate(1 << 16, max_json_depth) != simdjson::SUCCESS) {
        throw std::bad_alloc();
    }
    const char* text = line.data();
    if (readable < line.size() + simdjson::SIMDJSON_PADDING) {
        if (padded_.size() < line.size() + simdjson::SIMDJSON_PADDING) {
            padded_.resize(line.size() + simdjson::SIMDJSON_PADDING);
        }
        std::memcpy(padded_.data(), line.data(), line.size());
        text = padded_.data();
    }
    simdjson::error_code e = parser_.parse(text, line.size(), false).get(dom_);
    if (e == simdjson::MEMALLOC) {
        // Running out of memory says nothing about the line; the precise path would call it
        // invalid.
        throw std::bad_alloc();
    }
    if (e == simdjson::SUCCESS) {
        // Only a line whose DOM holds an integer 0 can have read "-0" as one, so its values
        // are looked at only then.
        if (tape::holds_integer_zero(parser_.doc) &&
            tape::holds_negative_zero(parser_, std::string_view(text, line.size()))) {
            return slow_path(line, simdjson::NUMBER_ERROR);
        }
        return outcome::dom;
    }
    return slow_path(line, may_hold_negative_zero(line) ? simdjson::NUMBER_ERROR : e);
}

line_reader::outcome line_reader::slow_path(std::string_view line,
                                            simdjson::error_code fast_error) {
    result<json_value> precise = parse_json_precise(line);
    if (!precise) {
        error_ = *precise.error().as_text();
        return outcome::failed;
    }
    value_ = std::move(precise).value();
    // Two refusals of the fast path are expected: integers beyond 64 bits, and nesting at the
    // limit (simdjson counts a non-empty innermost container one level deeper than an empty
    // one, so a limit of 127 refuses some lines 127 levels deep). The precise path decides.
    if (fast_error == simdjson::NUMBER_ERROR || fast_error == simdjson::DEPTH_ERROR) {
        return outcome::value;
    }
    error_ = std::string(disagreement(fast_error)) + " at line 1 column 1";
    return outcome::failed;
}

}  // namespace kestro::detail
