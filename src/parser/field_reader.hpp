// Reading a record's optional fields by type, with the problem texts the complete reader and
// the usage scan share.
//
// Internal to parser/: used with the JSON views.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "parser/json_view.hpp"

namespace kestro::detail {

// Each reader takes a value, whether its member was present, the field's name for the problem
// text, and where to put it; absent or null leaves the output alone. A value of the wrong type
// sets `reason` and gives false, or, when `lenient`, is passed over.
struct field_reader {
    std::string reason;
    bool lenient = false;

    bool missing(std::string_view field) {
        reason = "missing field '" + std::string(field) + "'";
        return false;
    }

    bool wrong(std::string_view field, std::string_view expected) {
        if (lenient) return true;
        reason = "field '" + std::string(field) + "' is not " + std::string(expected);
        return false;
    }

    // Runs `read` with wrong types passed over instead of reported.
    template <class F>
    bool leniently(F&& read) {
        const bool was = lenient;
        lenient = true;
        const bool ok = read();
        lenient = was;
        return ok;
    }

    // A string viewed where it lies: valid while the parsed line is.
    template <class V>
    bool text(V v, bool present, std::string_view field, std::string_view& out) {
        if (!present || v.kind() == json_kind::null) return true;
        if (v.kind() != json_kind::string) return wrong(field, "a string");
        out = v.string();
        return true;
    }
    template <class V>
    bool text(V v, bool present, std::string_view field, std::optional<std::string_view>& out) {
        if (!present || v.kind() == json_kind::null) return true;
        if (v.kind() != json_kind::string) return wrong(field, "a string");
        out = v.string();
        return true;
    }
    // A string owned by the record.
    template <class V>
    bool text(V v, bool present, std::string_view field, std::optional<std::string>& out) {
        if (!present || v.kind() == json_kind::null) return true;
        if (v.kind() != json_kind::string) return wrong(field, "a string");
        out = v.take_string();
        return true;
    }

    template <class V>
    bool flag(V v, bool present, std::string_view field, bool& out) {
        if (!present || v.kind() == json_kind::null) return true;
        if (v.kind() != json_kind::boolean) return wrong(field, "a boolean");
        out = v.boolean();
        return true;
    }

    template <class V>
    bool count(V v, bool present, std::string_view field, std::optional<std::uint64_t>& out) {
        if (!present || v.kind() == json_kind::null) return true;
        if (v.kind() != json_kind::uint) return wrong(field, "a non-negative integer");
        out = v.uint();
        return true;
    }

    template <class V>
    bool number(V v, bool present, std::string_view field, std::optional<double>& out) {
        if (!present || v.kind() == json_kind::null) return true;
        switch (v.kind()) {
            case json_kind::uint:
                out = static_cast<double>(v.uint());
                return true;
            case json_kind::sint:
                out = static_cast<double>(v.sint());
                return true;
            case json_kind::real:
                out = v.real();
                return true;
            default:
                return wrong(field, "a number");
        }
    }
};

}  // namespace kestro::detail
