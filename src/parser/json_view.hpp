// Read-only views over one parsed JSON value: simdjson's DOM, or a kestro::json_value.
#pragma once

#include <simdjson.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "types/json_value.hpp"
#include "types/packed_json.hpp"

namespace kestro::detail {

// The kinds the record mapping tells apart. Integers are split by sign, not by storage:
// simdjson stores 5 as a signed integer, the log's semantics call it non-negative.
enum class json_kind : std::uint8_t { null, boolean, uint, sint, real, string, array, object };

// Copies a DOM subtree into a json_value with an explicit stack (no recursion), objects
// sorted and deduplicated like every json_value object.
json_value to_json_value(simdjson::dom::element root);

// Packs free-form values (tool inputs and results) straight from the DOM: objects sorted by key
// bytes with the last of repeated keys kept, like every json_value object. Keeps its scratch
// between values; one per record mapper. No recursion: nesting costs heap, not stack.
class json_packer {
  public:
    [[nodiscard]] packed_json pack(simdjson::dom::element root);

  private:
    class writer;  // one value's writing, in json_packer.cpp

    // An object member whose keys arrived out of order: positions on the DOM's tape.
    struct member {
        std::string_view key;
        std::size_t value;
    };
    struct frame {
        std::size_t node;     // the container's node in the block
        std::uint32_t count;  // children written so far
        bool is_object;
        bool reordered;    // children come from pending_, else straight from the tape
        std::size_t next;  // tape position, or index into pending_
        std::size_t end;
        std::size_t pending_begin;
    };

    std::vector<member> pending_;
    std::vector<frame> frames_;
};

// A view over a DOM element of the fast path. Cheap to copy (a tape reference).
class dom_view {
  public:
    using array_iterator = simdjson::dom::array::iterator;

    dom_view() = default;
    dom_view(simdjson::dom::element e) : e_(e) {}  // NOLINT: implicit for range-for over arrays

    [[nodiscard]] json_kind kind() const {
        using t = simdjson::dom::element_type;
        switch (e_.type()) {
            case t::NULL_VALUE:
                return json_kind::null;
            case t::BOOL:
                return json_kind::boolean;
            case t::UINT64:
                return json_kind::uint;
            case t::INT64:
                return sint_value() < 0 ? json_kind::sint : json_kind::uint;
            case t::DOUBLE:
                return json_kind::real;
            case t::STRING:
                return json_kind::string;
            case t::ARRAY:
                return json_kind::array;
            case t::OBJECT:
                return json_kind::object;
        }
        return json_kind::null;
    }
    [[nodiscard]] bool boolean() const { return e_.get_bool().value_unsafe(); }
    [[nodiscard]] std::uint64_t uint() const {
        if (e_.type() == simdjson::dom::element_type::UINT64) {
            return e_.get_uint64().value_unsafe();
        }
        return static_cast<std::uint64_t>(sint_value());
    }
    [[nodiscard]] std::int64_t sint() const { return sint_value(); }
    [[nodiscard]] double real() const { return e_.get_double().value_unsafe(); }
    [[nodiscard]] std::string_view string() const { return e_.get_string().value_unsafe(); }
    // The one copy of a string into the record.
    [[nodiscard]] std::string take_string() const { return std::string(string()); }
    [[nodiscard]] packed_json take_json(json_packer& packer) const { return packer.pack(e_); }

    [[nodiscard]] std::size_t array_size() const { return array().size(); }
    [[nodiscard]] array_iterator array_begin() const { return array().begin(); }
    [[nodiscard]] array_iterator array_end() const { return array().end(); }

    // Calls f(key, value) for every member in text order, repeated keys included.
    template <class F>
    void for_each_member(F&& f) const {
        simdjson::dom::object object = e_.get_object().value_unsafe();
        for (auto member : object) {
            f(member.key, dom_view(member.value));
        }
    }

  private:
    [[nodiscard]] std::int64_t sint_value() const { return e_.get_int64().value_unsafe(); }
    [[nodiscard]] simdjson::dom::array array() const {
        simdjson::dom::array a = e_.get_array().value_unsafe();
        return a;
    }

    simdjson::dom::element e_;
};

// A view over a json_value of the slow path. The tree is scratch owned by the line reader,
// so strings and subtrees are moved out of it rather than copied.
class json_view {
  public:
    using array_iterator = json_value::array::iterator;

    json_view() = default;
    json_view(json_value& v) : v_(&v) {}  // NOLINT: implicit for range-for over arrays

    [[nodiscard]] json_kind kind() const {
        switch (v_->get().index()) {
            case 0:
                return json_kind::null;
            case 1:
                return json_kind::boolean;
            case 2:
                return json_kind::uint;
            case 3:
                return std::get<std::int64_t>(v_->get()) < 0 ? json_kind::sint : json_kind::uint;
            case 4:
                return json_kind::real;
            case 5:
                return json_kind::string;
            case 6:
                return json_kind::array;
            default:
                return json_kind::object;
        }
    }
    [[nodiscard]] bool boolean() const { return std::get<bool>(v_->get()); }
    [[nodiscard]] std::uint64_t uint() const {
        if (const auto* u = std::get_if<std::uint64_t>(&v_->get())) {
            return *u;
        }
        return static_cast<std::uint64_t>(std::get<std::int64_t>(v_->get()));
    }
    [[nodiscard]] std::int64_t sint() const { return std::get<std::int64_t>(v_->get()); }
    [[nodiscard]] double real() const { return std::get<double>(v_->get()); }
    [[nodiscard]] std::string_view string() const { return std::get<std::string>(v_->get()); }
    [[nodiscard]] std::string take_string() const {
        return std::move(std::get<std::string>(v_->get()));
    }
    [[nodiscard]] packed_json take_json(json_packer&) const { return packed_json(*v_); }

    [[nodiscard]] std::size_t array_size() const { return array().size(); }
    [[nodiscard]] array_iterator array_begin() const { return array().begin(); }
    [[nodiscard]] array_iterator array_end() const { return array().end(); }

    // Members are already sorted and unique in a json_value.
    template <class F>
    void for_each_member(F&& f) const {
        for (auto& [key, value] : std::get<json_value::object>(v_->get())) {
            f(std::string_view(key), json_view(value));
        }
    }

  private:
    [[nodiscard]] json_value::array& array() const {
        return std::get<json_value::array>(v_->get());
    }

    json_value* v_ = nullptr;
};

}  // namespace kestro::detail
