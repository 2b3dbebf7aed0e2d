// An immutable JSON value packed into one allocation: fixed-size nodes in document order, then
// the bytes of every string and key.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "types/json_value.hpp"

namespace kestro {

namespace detail {

// One value. Containers are followed by their children (an object's as key, value, key,
// value, ...), so `payload` of a container is the index just past its subtree.
struct packed_node {
    std::uint8_t kind;
    std::uint32_t count;    // string length in bytes, or number of elements / members
    std::uint64_t payload;  // number bits, string offset, or end of the subtree
};

}  // namespace detail

// Holds the same values as json_value (null, boolean, the three number forms, string, array,
// object with keys ascending by bytes and each key once) with far fewer allocations: tool
// inputs and results arrive by the thousand and are only ever read. Copies are deep.
class packed_json {
  public:
    // The order of json_value's alternatives.
    enum class kind : std::uint8_t { null, boolean, uint, sint, real, string, array, object };

    // A read-only position inside a packed value; valid while the value lives.
    class view {
      public:
        [[nodiscard]] packed_json::kind kind() const { return packed_json::kind(node().kind); }
        [[nodiscard]] bool boolean() const { return node().payload != 0; }
        [[nodiscard]] std::uint64_t uint() const { return node().payload; }
        [[nodiscard]] std::int64_t sint() const;
        [[nodiscard]] double real() const;
        [[nodiscard]] std::string_view string() const {
            return {chars_ + node().payload, node().count};
        }
        // Elements of an array, members of an object.
        [[nodiscard]] std::size_t size() const { return node().count; }
        // The first element, or an object's first key (its value is the key's next sibling).
        [[nodiscard]] view first_child() const { return {nodes_, chars_, index_ + 1}; }
        // The value after this one and its whole subtree within the same container.
        [[nodiscard]] view next_sibling() const;

      private:
        friend class packed_json;
        view(const detail::packed_node* nodes, const char* chars, std::size_t index)
            : nodes_(nodes), chars_(chars), index_(index) {}
        [[nodiscard]] const detail::packed_node& node() const { return nodes_[index_]; }

        const detail::packed_node* nodes_;
        const char* chars_;
        std::size_t index_;
    };

    packed_json() = default;  // null
    // Implicit so that a json_value is accepted wherever a tool input is stored.
    packed_json(const json_value& value);  // NOLINT(google-explicit-constructor)
    packed_json(const packed_json& other);
    packed_json& operator=(const packed_json& other);
    packed_json(packed_json&&) noexcept = default;
    packed_json& operator=(packed_json&&) noexcept = default;
    ~packed_json() = default;

    // Where a writer that sizes a value before writing it puts the nodes and the bytes.
    struct fill_target {
        detail::packed_node* nodes;
        char* chars;
    };
    // A value with room for `nodes` nodes and `chars` bytes, uninitialised: the caller fills
    // all of it through `target` (root node first) before anyone reads the value.
    [[nodiscard]] static packed_json with_room(std::size_t nodes, std::size_t chars,
                                               fill_target& target);

    [[nodiscard]] view root() const;
    [[nodiscard]] bool is_null() const { return root().kind() == kind::null; }
    // The same value as a tree (for the slow path's callers and for tests). O(size).
    [[nodiscard]] json_value to_json_value() const;

  private:
    friend class packed_json_writer;
    struct header {
        std::size_t nodes;
        std::size_t chars;
    };
    [[nodiscard]] const detail::packed_node* nodes() const;
    [[nodiscard]] const char* chars() const;

    std::unique_ptr<std::byte[]> block_;  // header, nodes, chars; null for the null value
};

// Writes one value in document order and packs it. Keeps its buffers between values, so one
// writer serves a whole file. Containers are closed with end(); inside an object every value
// is preceded by key().
class packed_json_writer {
  public:
    void null() { scalar(packed_json::kind::null, 0); }
    void boolean(bool b) { scalar(packed_json::kind::boolean, b ? 1 : 0); }
    void uint(std::uint64_t u) { scalar(packed_json::kind::uint, u); }
    void sint(std::int64_t i);
    void real(double d);
    void string(std::string_view s);
    void key(std::string_view s);
    void begin_array() { open(packed_json::kind::array); }
    void begin_object() { open(packed_json::kind::object); }
    void end();
    // The one complete value written since the last finish(), in a block of its own size.
    [[nodiscard]] packed_json finish();

  private:
    struct open_container {
        std::size_t index;
        std::uint32_t count;
    };
    void scalar(packed_json::kind k, std::uint64_t payload);
    void open(packed_json::kind k);
    void counted() {
        if (!open_.empty()) ++open_.back().count;
    }

    std::vector<detail::packed_node> nodes_;
    std::string chars_;
    std::vector<open_container> open_;
};

}  // namespace kestro
