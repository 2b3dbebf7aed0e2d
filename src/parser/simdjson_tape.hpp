// The one place that reads simdjson's tape directly, below its public interface.
//
// Internal to parser/. The packer and the fast reader's zero check walk the tape word by word,
// which the public interface only does one element at a time, and the check for -0 reads stage
// 1's structural indexes; that reaches simdjson's internals (the tape layout, a template it
// befriends, the parser's stage 1 results). Those are not a stable interface, so they are
// fenced here, and a different simdjson fails to compile here first: check the layout below
// against the new version, then widen the accepted range.
#pragma once

#include <simdjson.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

static_assert(
    simdjson::SIMDJSON_VERSION_MAJOR == 3,
    "parser/simdjson_tape.hpp reads simdjson 3's tape; check its layout for this version");

namespace kestro::detail {
class json_packer;
}

// simdjson befriends this template; specialising it reaches an element's place on the tape.
template <>
class simdjson::internal::string_builder<kestro::detail::json_packer> {
  public:
    static const simdjson::internal::tape_ref& tape_of(const simdjson::dom::element& e) {
        return e.tape;
    }
};

namespace kestro::detail::tape {

using type = simdjson::internal::tape_type;

// A parsed document's tape and string buffer, and the position of one value on it.
struct view {
    const std::uint64_t* words;
    const std::uint8_t* strings;
    std::size_t at;
};

inline view of(const simdjson::dom::element& e) {
    const simdjson::internal::tape_ref& ref =
        simdjson::internal::string_builder<json_packer>::tape_of(e);
    return {ref.doc->tape.get(), ref.doc->string_buf.get(), ref.json_index};
}

// The type of the entry whose first word is `word`.
inline type type_of(std::uint64_t word) {
    return static_cast<type>(word >> 56);
}

// A container's first word: the position just past its closing word.
inline std::size_t container_end(std::uint64_t word) {
    return std::uint32_t(word);
}

// The tape position just past the value at `i`. Numbers take two words, containers run to
// their end, everything else takes one.
inline std::size_t after_value(const std::uint64_t* words, std::size_t i) {
    switch (type_of(words[i])) {
        case type::START_ARRAY:
        case type::START_OBJECT:
            return container_end(words[i]);
        case type::INT64:
        case type::UINT64:
        case type::DOUBLE:
            return i + 2;
        case type::ROOT:
        case type::END_ARRAY:
        case type::END_OBJECT:
        case type::STRING:
        case type::TRUE_VALUE:
        case type::FALSE_VALUE:
        case type::NULL_VALUE:
            break;
    }
    return i + 1;
}

// The string whose entry is `word`: a 32-bit length, then the bytes, in the string buffer.
inline std::string_view string_at(const std::uint8_t* strings, std::uint64_t word) {
    const std::uint8_t* at = strings + (word & simdjson::internal::JSON_VALUE_MASK);
    std::uint32_t length = 0;
    std::memcpy(&length, at, sizeof length);
    return {reinterpret_cast<const char*>(at + sizeof length), length};
}

// Whether the text the parser last parsed holds the number -0, which simdjson reads as the
// integer 0. Stage 1 leaves the offset of every value's first byte among its structural
// indexes, so only those bytes are looked at, not the text between them; a number that starts
// "-0" is -0 unless more of it follows.
inline bool holds_negative_zero(const simdjson::dom::parser& parser, std::string_view text) {
    const simdjson::internal::dom_parser_implementation& stage1 = *parser.implementation;
    const std::uint32_t* at = stage1.structural_indexes.get();
    const std::uint32_t count = stage1.n_structural_indexes;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::size_t p = at[i];
        if (text[p] != '-' || p + 1 >= text.size() || text[p + 1] != '0') continue;
        if (p + 2 == text.size()) return true;
        const char next = text[p + 2];
        if (!((next >= '0' && next <= '9') || next == '.' || next == 'e' || next == 'E')) {
            return true;
        }
    }
    return false;
}

// Whether the parsed document holds the integer 0 anywhere. A number is a type word with an
// empty payload and then its value word; a value word is always followed by a type word, which
// is never 0. So every word can be tested alike for "integer type word, next word 0": no
// stepping from entry to entry, and no branch per word (the types alternate too irregularly
// to predict), only one per block of words.
inline bool holds_integer_zero(const simdjson::dom::document& doc) {
    constexpr std::uint64_t signed_word = std::uint64_t(type::INT64) << 56;
    constexpr std::uint64_t unsigned_word = std::uint64_t(type::UINT64) << 56;
    constexpr std::size_t block = 32;
    const std::uint64_t* words = doc.tape.get();
    const std::size_t end = std::size_t(words[0] & simdjson::internal::JSON_VALUE_MASK);
    // The root's closing word at `end` is never 0, so words[i + 1] stays on the tape.
    for (std::size_t from = 1; from < end; from += block) {
        const std::size_t to = from + block < end ? from + block : end;
        bool zero = false;
        for (std::size_t i = from; i < to; ++i) {
            zero |= (words[i] == signed_word || words[i] == unsigned_word) & (words[i + 1] == 0);
        }
        if (zero) return true;
    }
    return false;
}

}  // namespace kestro::detail::tape
