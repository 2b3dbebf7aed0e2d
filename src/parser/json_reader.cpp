// The two JSON paths of the line parser, the DOM-to-json_value copy, and error descriptions.
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
#include <system_error>
#include <utility>

#include "parser/json_view.hpp"

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

bool is_hex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
bool is_digit(char c) {
    return c >= '0' && c <= '9';
}
bool is_json_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

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

// The description of RapidJSON's failure in the log format's words and columns.
fault describe(rapidjson::ParseErrorCode code, std::size_t offset, std::string_view line) {
    const bool at_end = offset >= line.size();
    const std::size_t column = std::min(line.size(), offset + 1);
    const char prev = previous_non_space(line, std::min(offset, line.size()));
    switch (code) {
        case rapidjson::kParseErrorDocumentEmpty:
            return {"EOF while parsing a value", column};
        case rapidjson::kParseErrorDocumentRootNotSingular:
            if (after_leading_zero(line, offset)) {
                return {"invalid number", column};
            }
            return {"trailing characters", column};
        case rapidjson::kParseErrorValueInvalid:
            if (offset > 0 && line[offset - 1] == '-') {
                return {"invalid number", column};
            }
            if (at_end) {
                return {prev == '[' ? "EOF while parsing a list" : "EOF while parsing a value",
                        column};
            }
            if ((line[offset] == ']' || line[offset] == '}') && prev == ',') {
                return {"trailing comma", column};
            }
            if (offset > 0 && is_letter(line[offset - 1])) {
                return {"expected ident", column};
            }
            return {"expected value", column};
        case rapidjson::kParseErrorObjectMissName:
            if (at_end) {
                return {prev == ',' ? "EOF while parsing a value" : "EOF while parsing an object",
                        column};
            }
            if (line[offset] == '}' && prev == ',') {
                return {"trailing comma", column};
            }
            return {"key must be a string", column};
        case rapidjson::kParseErrorObjectMissColon:
            return {at_end ? "EOF while parsing an object" : "expected `:`", column};
        case rapidjson::kParseErrorObjectMissCommaOrCurlyBracket:
            if (at_end) {
                return {"EOF while parsing an object", column};
            }
            return {after_leading_zero(line, offset) ? "invalid number" : "expected `,` or `}`",
                    column};
        case rapidjson::kParseErrorArrayMissCommaOrSquareBracket:
            if (at_end) {
                return {"EOF while parsing a list", column};
            }
            return {after_leading_zero(line, offset) ? "invalid number" : "expected `,` or `]`",
                    column};
        case rapidjson::kParseErrorStringUnicodeEscapeInvalidHex:
            // Reported at the backslash; the fault is the first non-hex digit after "\u".
            for (std::size_t i = offset + 2; i < offset + 6; ++i) {
                if (i >= line.size()) {
                    return {"EOF while parsing a string", line.size()};
                }
                if (!is_hex(line[i])) {
                    return {"invalid escape", i + 1};
                }
            }
            return {"invalid escape", column};
        case rapidjson::kParseErrorStringUnicodeSurrogateInvalid: {
            fault f{"lone leading surrogate in hex escape", column};
            find_surrogate_fault(line, f);
            return f;
        }
        case rapidjson::kParseErrorStringEscapeInvalid:
            // Also RapidJSON's report of a raw control character, at the character itself.
            if (!at_end && static_cast<unsigned char>(line[offset]) < 0x20) {
                return {"control character (\\u0000-\\u001F) found while parsing a string", column};
            }
            if (offset + 1 >= line.size()) {
                return {"EOF while parsing a string", line.size()};
            }
            return {"invalid escape", offset + 2};
        case rapidjson::kParseErrorStringMissQuotationMark:
            // Before the end, the '\0' RapidJSON stopped at is a NUL byte in the string.
            if (at_end) {
                return {"EOF while parsing a string", column};
            }
            return {"control character (\\u0000-\\u001F) found while parsing a string", column};
        case rapidjson::kParseErrorStringInvalidEncoding:
            if (!at_end && static_cast<unsigned char>(line[offset]) < 0x20) {
                return {"control character (\\u0000-\\u001F) found while parsing a string", column};
            }
            return {"invalid unicode code point", column};
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
            return {at_end ? "EOF while parsing a value" : "invalid number", column};
        default:
            return {"expected value", column};
    }
}

std::string render(const fault& f) {
    std::string out(f.what);
    out += " at line 1 column ";
    out += std::to_string(f.column);
    return out;
}

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

// Whether the parsed document holds the integer 0 anywhere. A number is a type word with an
// empty payload and then its value word; a value word is always followed by a type word, which
// is never 0. So every word can be tested alike for "integer type word, next word 0": no
// stepping from entry to entry, and no branch per word (the types alternate too irregularly
// to predict), only one per block of words.
bool tape_holds_integer_zero(const simdjson::dom::document& doc) {
    constexpr std::uint64_t signed_word = std::uint64_t(simdjson::internal::tape_type::INT64) << 56;
    constexpr std::uint64_t unsigned_word = std::uint64_t(simdjson::internal::tape_type::UINT64)
                                            << 56;
    constexpr std::size_t block = 32;
    const std::uint64_t* tape = doc.tape.get();
    const std::size_t end = std::size_t(tape[0] & simdjson::internal::JSON_VALUE_MASK);
    // The root's closing word at `end` is never 0, so tape[i + 1] stays on the tape.
    for (std::size_t from = 1; from < end; from += block) {
        const std::size_t to = std::min(end, from + block);
        bool zero = false;
        for (std::size_t i = from; i < to; ++i) {
            zero |= (tape[i] == signed_word || tape[i] == unsigned_word) & (tape[i + 1] == 0);
        }
        if (zero) {
            return true;
        }
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

namespace {

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

bool parse_json_precise(std::string_view line, json_value& out, std::string& error) {
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
        return parse_json_precise(flattened, out, error);
    }
    if (r.IsError()) {
        error = render(builder.stopped() ? builder.why() : describe(r.Code(), r.Offset(), line));
        return false;
    }
    if (stream.Tell() < line.size()) {
        // RapidJSON takes a NUL byte for the end of the text; the log format does not.
        error = render({"trailing characters", stream.Tell() + 1});
        return false;
    }
    out = std::move(builder.root());
    return true;
}

json_value to_json_value(simdjson::dom::element root) {
    using simdjson::dom::element_type;
    struct frame {
        bool is_object;
        simdjson::dom::array::iterator ai, ae;
        simdjson::dom::object::iterator oi, oe;
        json_value::array items;
        json_value::object members;
        std::string key;  // the member of the parent this container becomes
    };
    auto scalar = [](simdjson::dom::element e) {
        switch (dom_view(e).kind()) {
            case json_kind::null:
                return make(nullptr);
            case json_kind::boolean:
                return make(e.get_bool().value_unsafe());
            case json_kind::uint:
                return make(dom_view(e).uint());
            case json_kind::sint:
                return make(dom_view(e).sint());
            case json_kind::real:
                return make(e.get_double().value_unsafe());
            default:
                return make(std::string(e.get_string().value_unsafe()));
        }
    };
    auto is_container = [](simdjson::dom::element e) {
        return e.type() == element_type::ARRAY || e.type() == element_type::OBJECT;
    };
    auto opened = [](simdjson::dom::element e, std::string key) {
        frame f{e.type() == element_type::OBJECT, {}, {}, {}, {}, {}, {}, std::move(key)};
        if (f.is_object) {
            simdjson::dom::object o = e.get_object().value_unsafe();
            f.oi = o.begin();
            f.oe = o.end();
        } else {
            simdjson::dom::array a = e.get_array().value_unsafe();
            f.ai = a.begin();
            f.ae = a.end();
        }
        return f;
    };

    if (!is_container(root)) {
        return scalar(root);
    }
    std::vector<frame> stack;
    stack.push_back(opened(root, {}));
    for (;;) {
        frame& top = stack.back();
        if (top.is_object ? top.oi != top.oe : top.ai != top.ae) {
            std::string key;
            simdjson::dom::element child;
            if (top.is_object) {
                auto member = *top.oi;
                ++top.oi;
                key = std::string(member.key);
                child = member.value;
            } else {
                child = *top.ai;
                ++top.ai;
            }
            if (is_container(child)) {
                stack.push_back(opened(child, std::move(key)));
            } else if (top.is_object) {
                top.members.emplace_back(std::move(key), scalar(child));
            } else {
                top.items.push_back(scalar(child));
            }
            continue;
        }
        json_value done = top.is_object ? json_value::make_object(std::move(top.members))
                                        : make(std::move(top.items));
        std::string key = std::move(top.key);
        stack.pop_back();
        if (stack.empty()) {
            return done;
        }
        if (frame& parent = stack.back(); parent.is_object) {
            parent.members.emplace_back(std::move(key), std::move(done));
        } else {
            parent.items.push_back(std::move(done));
        }
    }
}

}  // namespace kestro::detail

// simdjson befriends this template; the packer specialises it to reach an element's place on
// the tape, which the public interface only walks one element at a time.
template <>
class simdjson::internal::string_builder<kestro::detail::json_packer> {
  public:
    static const simdjson::internal::tape_ref& tape_of(const simdjson::dom::element& e) {
        return e.tape;
    }
};

namespace kestro::detail {

namespace {

using simdjson::internal::tape_type;

// The tape position just past the value at `i`.
std::size_t after_value(const std::uint64_t* tape, std::size_t i) {
    switch (static_cast<tape_type>(tape[i] >> 56)) {
        case tape_type::START_ARRAY:
        case tape_type::START_OBJECT:
            return std::uint32_t(tape[i]);
        case tape_type::INT64:
        case tape_type::UINT64:
        case tape_type::DOUBLE:
            return i + 2;
        default:
            return i + 1;
    }
}

// Objects up to this many members are sorted in place.
constexpr std::size_t small_object = 16;

std::string_view tape_string(const std::uint8_t* strings, std::uint64_t word) {
    const std::uint8_t* at = strings + (word & simdjson::internal::JSON_VALUE_MASK);
    std::uint32_t length = 0;
    std::memcpy(&length, at, sizeof length);
    return {reinterpret_cast<const char*>(at + sizeof length), length};
}

}  // namespace

packed_json json_packer::pack(simdjson::dom::element root) {
    using kind = packed_json::kind;
    const simdjson::internal::tape_ref& ref =
        simdjson::internal::string_builder<json_packer>::tape_of(root);
    const std::uint64_t* tape = ref.doc->tape.get();
    const std::uint8_t* strings = ref.doc->string_buf.get();
    const std::size_t first = ref.json_index;
    const std::size_t last = after_value(tape, first);

    // Sized first, so the nodes and bytes are written once, straight into the value's own block.
    // Repeated keys are counted too; the few values holding them leave zeroed room at the end.
    std::size_t node_room = 0;
    std::size_t char_room = 0;
    for (std::size_t i = first; i < last;) {
        switch (static_cast<tape_type>(tape[i] >> 56)) {
            case tape_type::STRING:
                ++node_room;
                char_room += tape_string(strings, tape[i]).size();
                ++i;
                break;
            case tape_type::INT64:
            case tape_type::UINT64:
            case tape_type::DOUBLE:
                ++node_room;
                i += 2;
                break;
            case tape_type::END_ARRAY:
            case tape_type::END_OBJECT:
                ++i;
                break;
            default:
                ++node_room;
                ++i;
                break;
        }
    }
    packed_json::fill_target out{};
    packed_json value = packed_json::with_room(node_room, char_room, out);
    std::size_t nodes = 0;
    std::size_t chars = 0;
    auto put_string = [&](std::string_view text) {
        out.nodes[nodes++] = {std::uint8_t(kind::string), std::uint32_t(text.size()), chars};
        std::memcpy(out.chars + chars, text.data(), text.size());
        chars += text.size();
    };

    pending_.clear();
    frames_.clear();
    // Writes the value at tape position i; a container is only opened, its children follow.
    auto put_value = [&](std::size_t i) {
        const std::uint64_t word = tape[i];
        switch (static_cast<tape_type>(word >> 56)) {
            case tape_type::STRING:
                put_string(tape_string(strings, word));
                return;
            case tape_type::INT64: {
                // simdjson stores 5 as signed; the log's semantics call it non-negative.
                const std::uint64_t bits = tape[i + 1];
                const bool negative = std::bit_cast<std::int64_t>(bits) < 0;
                out.nodes[nodes++] = {std::uint8_t(negative ? kind::sint : kind::uint), 0, bits};
                return;
            }
            case tape_type::UINT64:
                out.nodes[nodes++] = {std::uint8_t(kind::uint), 0, tape[i + 1]};
                return;
            case tape_type::DOUBLE:
                out.nodes[nodes++] = {std::uint8_t(kind::real), 0, tape[i + 1]};
                return;
            case tape_type::TRUE_VALUE:
                out.nodes[nodes++] = {std::uint8_t(kind::boolean), 0, 1};
                return;
            case tape_type::FALSE_VALUE:
                out.nodes[nodes++] = {std::uint8_t(kind::boolean), 0, 0};
                return;
            case tape_type::START_ARRAY: {
                const std::size_t close = std::uint32_t(word) - 1;
                frames_.push_back({nodes, 0, false, false, i + 1, close, pending_.size()});
                out.nodes[nodes++] = {std::uint8_t(kind::array), 0, 0};
                return;
            }
            case tape_type::START_OBJECT: {
                const std::size_t close = std::uint32_t(word) - 1;
                // Keys already strictly ascending (the usual case) are walked on the tape;
                // others are queued, sorted and deduplicated.
                bool in_order = true;
                std::string_view previous;
                for (std::size_t k = i + 1; k < close; k = after_value(tape, k + 1)) {
                    std::string_view key = tape_string(strings, tape[k]);
                    if (k > i + 1 && !(previous < key)) {
                        in_order = false;
                        break;
                    }
                    previous = key;
                }
                const std::size_t begin = pending_.size();
                if (in_order) {
                    frames_.push_back({nodes, 0, true, false, i + 1, close, begin});
                } else {
                    for (std::size_t k = i + 1; k < close; k = after_value(tape, k + 1)) {
                        pending_.push_back({tape_string(strings, tape[k]), k + 1});
                    }
                    // After a stable sort equal keys keep their text order, so the last of
                    // each run wins.
                    auto from = pending_.begin() + std::ptrdiff_t(begin);
                    if (pending_.size() - begin <= small_object) {
                        // Insertion sort: stable, and no temporary buffer to allocate.
                        for (auto it = from + 1; it < pending_.end(); ++it) {
                            const member m = *it;
                            auto hole = it;
                            for (; hole != from && m.key < (hole - 1)->key; --hole) {
                                *hole = *(hole - 1);
                            }
                            *hole = m;
                        }
                    } else {
                        std::stable_sort(
                            from, pending_.end(),
                            [](const member& a, const member& b) { return a.key < b.key; });
                    }
                    auto kept = from;
                    for (auto it = from; it != pending_.end(); ++it) {
                        if (it + 1 != pending_.end() && (it + 1)->key == it->key) continue;
                        *kept++ = *it;
                    }
                    pending_.erase(kept, pending_.end());
                    frames_.push_back({nodes, 0, true, true, begin, pending_.size(), begin});
                }
                out.nodes[nodes++] = {std::uint8_t(kind::object), 0, 0};
                return;
            }
            default:
                out.nodes[nodes++] = {std::uint8_t(kind::null), 0, 0};
                return;
        }
    };

    put_value(first);
    while (!frames_.empty()) {
        frame& top = frames_.back();
        if (top.next == top.end) {
            out.nodes[top.node].count = top.count;
            out.nodes[top.node].payload = nodes;
            // The finished container's queued members were the last ones queued.
            pending_.resize(top.pending_begin);
            frames_.pop_back();
            continue;
        }
        ++top.count;
        std::size_t child = 0;
        if (top.reordered) {
            const member& m = pending_[top.next++];
            put_string(m.key);
            child = m.value;
        } else if (top.is_object) {
            put_string(tape_string(strings, tape[top.next]));
            child = top.next + 1;
            top.next = after_value(tape, child);
        } else {
            child = top.next;
            top.next = after_value(tape, child);
        }
        put_value(child);  // may grow frames_: `top` is not used after this
    }
    if (nodes < node_room) {
        std::memset(static_cast<void*>(out.nodes + nodes), 0,
                    (node_room - nodes) * sizeof(packed_node));
    }
    if (chars < char_room) {
        std::memset(out.chars + chars, 0, char_room - chars);
    }
    return value;
}

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
        // Only a line whose DOM holds an integer 0 can have read "-0" as one, so the text is
        // searched for the token only then.
        if (tape_holds_integer_zero(parser_.doc) && may_hold_negative_zero(line)) {
            return slow_path(line, simdjson::NUMBER_ERROR);
        }
        return outcome::dom;
    }
    return slow_path(line, may_hold_negative_zero(line) ? simdjson::NUMBER_ERROR : e);
}

line_reader::outcome line_reader::slow_path(std::string_view line,
                                            simdjson::error_code fast_error) {
    if (!parse_json_precise(line, value_, error_)) {
        return outcome::failed;
    }
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
