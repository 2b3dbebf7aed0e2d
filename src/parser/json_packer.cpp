// Packing free-form values (tool inputs) straight from simdjson's tape into one block.
#include <algorithm>
#include <bit>
#include <cstring>

#include "parser/json_view.hpp"
#include "parser/simdjson_tape.hpp"
#include "types/sorted_keys.hpp"

namespace kestro::detail {

namespace {

using tape::type;
using kind = packed_json::kind;

// The nodes and bytes one value needs: repeated keys are counted too, so the few values that
// hold them leave zeroed room at the end.
struct room {
    std::size_t nodes = 0;
    std::size_t chars = 0;
};

room measure(const tape::view& t, std::size_t last) {
    room r;
    for (std::size_t i = t.at; i < last;) {
        switch (tape::type_of(t.words[i])) {
            case type::STRING:
                ++r.nodes;
                r.chars += tape::string_at(t.strings, t.words[i]).size();
                ++i;
                break;
            case type::INT64:
            case type::UINT64:
            case type::DOUBLE:
                ++r.nodes;
                i += 2;
                break;
            case type::END_ARRAY:
            case type::END_OBJECT:
                ++i;
                break;
            case type::ROOT:
            case type::START_ARRAY:
            case type::START_OBJECT:
            case type::TRUE_VALUE:
            case type::FALSE_VALUE:
            case type::NULL_VALUE:
                ++r.nodes;
                ++i;
                break;
        }
    }
    return r;
}

// Whether the object opening at `open` has its keys strictly ascending (the usual case), so
// its members can be walked on the tape as they are.
bool keys_in_order(const tape::view& t, std::size_t open, std::size_t close) {
    std::string_view previous;
    for (std::size_t k = open + 1; k < close; k = tape::after_value(t.words, k + 1)) {
        std::string_view key = tape::string_at(t.strings, t.words[k]);
        if (k > open + 1 && !(previous < key)) return false;
        previous = key;
    }
    return true;
}

}  // namespace

// Writes one value's nodes and bytes, straight into the block sized for it.
class json_packer::writer {
  public:
    writer(json_packer& packer, const tape::view& t, packed_json::fill_target out)
        : p_(packer), t_(t), out_(out) {}

    void put_string(std::string_view text) {
        out_.nodes[nodes_++] = {std::uint8_t(kind::string), std::uint32_t(text.size()), chars_};
        std::memcpy(out_.chars + chars_, text.data(), text.size());
        chars_ += text.size();
    }

    // Writes the value at tape position i; a container is only opened, its children follow.
    // Inlined, like step: both run once per node of every packed value.
    [[gnu::always_inline]] void put_value(std::size_t i) {
        const std::uint64_t word = t_.words[i];
        switch (tape::type_of(word)) {
            case type::STRING:
                put_string(tape::string_at(t_.strings, word));
                return;
            case type::INT64: {
                // simdjson stores 5 as signed; the log's semantics call it non-negative.
                const std::uint64_t bits = t_.words[i + 1];
                const bool negative = std::bit_cast<std::int64_t>(bits) < 0;
                put_node(negative ? kind::sint : kind::uint, bits);
                return;
            }
            case type::UINT64:
                put_node(kind::uint, t_.words[i + 1]);
                return;
            case type::DOUBLE:
                put_node(kind::real, t_.words[i + 1]);
                return;
            case type::TRUE_VALUE:
                put_node(kind::boolean, 1);
                return;
            case type::FALSE_VALUE:
                put_node(kind::boolean, 0);
                return;
            case type::START_ARRAY:
                p_.frames_.push_back({nodes_, 0, false, false, i + 1, tape::container_end(word) - 1,
                                      p_.pending_.size()});
                put_node(kind::array, 0);
                return;
            case type::START_OBJECT:
                open_object(i, tape::container_end(word) - 1);
                return;
            case type::ROOT:
            case type::END_ARRAY:
            case type::END_OBJECT:
            case type::NULL_VALUE:
                break;
        }
        put_node(kind::null, 0);
    }

    // Writes the next child of the innermost open container, or closes it. False once every
    // container is closed.
    [[gnu::always_inline]] bool step() {
        if (p_.frames_.empty()) return false;
        frame& top = p_.frames_.back();
        if (top.next == top.end) {
            out_.nodes[top.node].count = top.count;
            out_.nodes[top.node].payload = nodes_;
            // The finished container's queued members were the last ones queued.
            p_.pending_.resize(top.pending_begin);
            p_.frames_.pop_back();
            return true;
        }
        ++top.count;
        std::size_t child = 0;
        if (top.reordered) {
            const member& m = p_.pending_[top.next++];
            put_string(m.key);
            child = m.value;
        } else if (top.is_object) {
            put_string(tape::string_at(t_.strings, t_.words[top.next]));
            child = top.next + 1;
            top.next = tape::after_value(t_.words, child);
        } else {
            child = top.next;
            top.next = tape::after_value(t_.words, child);
        }
        put_value(child);  // may grow frames_: `top` is not used after this
        return true;
    }

    // Zeroes the room left by repeated keys.
    void finish(const room& r) {
        if (nodes_ < r.nodes) {
            std::memset(static_cast<void*>(out_.nodes + nodes_), 0,
                        (r.nodes - nodes_) * sizeof(packed_node));
        }
        if (chars_ < r.chars) std::memset(out_.chars + chars_, 0, r.chars - chars_);
    }

  private:
    void put_node(kind k, std::uint64_t payload) {
        out_.nodes[nodes_++] = {std::uint8_t(k), 0, payload};
    }

    // Keys already in order are walked on the tape; others are queued, sorted and deduplicated.
    void open_object(std::size_t open, std::size_t close) {
        const std::size_t begin = p_.pending_.size();
        if (keys_in_order(t_, open, close)) {
            p_.frames_.push_back({nodes_, 0, true, false, open + 1, close, begin});
        } else {
            for (std::size_t k = open + 1; k < close; k = tape::after_value(t_.words, k + 1)) {
                p_.pending_.push_back({tape::string_at(t_.strings, t_.words[k]), k + 1});
            }
            sort_members(begin);
            p_.frames_.push_back({nodes_, 0, true, true, begin, p_.pending_.size(), begin});
        }
        put_node(kind::object, 0);
    }

    void sort_members(std::size_t begin) {
        auto& pending = p_.pending_;
        const auto key = [](const member& m) { return m.key; };
        pending.erase(
            sort_unique_by_key(pending.begin() + std::ptrdiff_t(begin), pending.end(), key),
            pending.end());
    }

    json_packer& p_;
    const tape::view& t_;
    packed_json::fill_target out_;
    std::size_t nodes_ = 0;
    std::size_t chars_ = 0;
};

packed_json json_packer::pack(simdjson::dom::element root) {
    const tape::view t = tape::of(root);
    // Sized first, so the nodes and bytes are written once, straight into the value's own block.
    const room r = measure(t, tape::after_value(t.words, t.at));
    packed_json::fill_target out{};
    packed_json value = packed_json::with_room(r.nodes, r.chars, out);
    pending_.clear();
    frames_.clear();
    writer w(*this, t, out);
    w.put_value(t.at);
    while (w.step()) {
    }
    w.finish(r);
    return value;
}

}  // namespace kestro::detail
