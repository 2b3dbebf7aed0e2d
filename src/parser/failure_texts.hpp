// The texts of the log format's mapping failures: how values, lengths and variants are named.
//
// Internal to parser/ (it reads the JSON views). Both views give identical texts.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "parser/json_view.hpp"
#include "types/decimal.hpp"

namespace kestro::detail {

// "string \"a\\nb\"": how a failure text shows a string value.
std::string describe_string(std::string_view s);

// "1 element", "3 elements".
std::string elements(std::size_t n);

// A sequence or struct given as an array with `total` elements where `wanted` fit; inside a
// content block the length is counted per sequence.
std::string too_many_elements(std::size_t total, std::size_t wanted, bool inside_content);

// "unknown variant `x`, expected `a` or `b`" / "..., expected one of `a`, `b`, `c`".
std::string unknown_variant(std::string_view got, const std::string_view* texts, std::size_t n);

template <std::size_t N>
std::string unknown_variant(std::string_view got, const std::array<std::string_view, N>& texts) {
    return unknown_variant(got, texts.data(), N);
}

// How a failure text names the value it found: "null", "boolean `true`", "integer `5`",
// "floating point `1.5`", a string as describe_string shows it, "sequence" or "map".
template <class V>
std::string found(const V& v) {
    switch (v.kind()) {
        case json_kind::null:
            return "null";
        case json_kind::boolean:
            return v.boolean() ? "boolean `true`" : "boolean `false`";
        case json_kind::uint:
            return "integer `" + std::to_string(v.uint()) + "`";
        case json_kind::sint:
            return "integer `" + std::to_string(v.sint()) + "`";
        case json_kind::real:
            return "floating point `" + plain_decimal(v.real()) + "`";
        case json_kind::string:
            return describe_string(v.string());
        case json_kind::array:
            return "sequence";
        case json_kind::object:
            return "map";
    }
    return "null";
}

}  // namespace kestro::detail
