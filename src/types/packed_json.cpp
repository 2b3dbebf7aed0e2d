// Packing JSON values into one block, and unpacking them into trees.
#include "types/packed_json.hpp"

#include <bit>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>
#include <variant>

namespace kestro {

namespace {

using detail::packed_node;

// The null value without a block.
constexpr packed_node null_node{0, 0, 0};

constexpr std::size_t header_size = 16;
static_assert(sizeof(std::size_t) * 2 <= header_size);
static_assert(std::is_trivially_copyable_v<packed_node> && alignof(packed_node) <= header_size);

std::size_t block_size(std::size_t nodes, std::size_t chars) {
    return header_size + nodes * sizeof(packed_node) + chars;
}

}  // namespace

std::int64_t packed_json::view::sint() const {
    return std::bit_cast<std::int64_t>(node().payload);
}

double packed_json::view::real() const {
    return std::bit_cast<double>(node().payload);
}

packed_json::view packed_json::view::next_sibling() const {
    const packed_node& n = node();
    const bool container =
        n.kind == std::uint8_t(kind::array) || n.kind == std::uint8_t(kind::object);
    return {nodes_, chars_, container ? std::size_t(n.payload) : index_ + 1};
}

packed_json::packed_json(const json_value& value) {
    packed_json_writer w;
    // Each frame walks one container; children are written as they are met (objects are
    // already sorted and unique in a json_value).
    struct frame {
        const json_value* container;
        std::size_t next;
    };
    std::vector<frame> stack;
    const json_value* current = &value;
    for (;;) {
        if (current != nullptr) {
            std::visit(
                [&](const auto& v) {
                    using T = std::decay_t<decltype(v)>;
                    if constexpr (std::is_same_v<T, std::nullptr_t>) {
                        w.null();
                    } else if constexpr (std::is_same_v<T, bool>) {
                        w.boolean(v);
                    } else if constexpr (std::is_same_v<T, std::uint64_t>) {
                        w.uint(v);
                    } else if constexpr (std::is_same_v<T, std::int64_t>) {
                        w.sint(v);
                    } else if constexpr (std::is_same_v<T, double>) {
                        w.real(v);
                    } else if constexpr (std::is_same_v<T, std::string>) {
                        w.string(v);
                    } else if constexpr (std::is_same_v<T, json_value::array>) {
                        w.begin_array();
                        stack.push_back({current, 0});
                    } else {
                        w.begin_object();
                        stack.push_back({current, 0});
                    }
                },
                current->get());
            current = nullptr;
        }
        if (stack.empty()) break;
        frame& top = stack.back();
        if (const auto* a = std::get_if<json_value::array>(&top.container->get())) {
            if (top.next < a->size()) {
                current = &(*a)[top.next++];
                continue;
            }
        } else {
            const auto& o = std::get<json_value::object>(top.container->get());
            if (top.next < o.size()) {
                w.key(o[top.next].first);
                current = &o[top.next++].second;
                continue;
            }
        }
        w.end();
        stack.pop_back();
    }
    *this = w.finish();
}

packed_json::packed_json(const packed_json& other) {
    if (other.block_ != nullptr) {
        const auto* h = reinterpret_cast<const header*>(other.block_.get());
        const std::size_t size = block_size(h->nodes, h->chars);
        block_ = std::make_unique_for_overwrite<std::byte[]>(size);
        std::memcpy(block_.get(), other.block_.get(), size);
    }
}

packed_json& packed_json::operator=(const packed_json& other) {
    if (this != &other) {
        packed_json copy(other);
        *this = std::move(copy);
    }
    return *this;
}

packed_json packed_json::with_room(std::size_t nodes, std::size_t chars, fill_target& target) {
    packed_json out;
    out.block_ = std::make_unique_for_overwrite<std::byte[]>(block_size(nodes, chars));
    std::byte* p = out.block_.get();
    const header h{nodes, chars};
    std::memcpy(p, &h, sizeof h);
    target.nodes = reinterpret_cast<packed_node*>(p + header_size);
    target.chars = reinterpret_cast<char*>(p + header_size + nodes * sizeof(packed_node));
    return out;
}

const packed_node* packed_json::nodes() const {
    return reinterpret_cast<const packed_node*>(block_.get() + header_size);
}

const char* packed_json::chars() const {
    const auto* h = reinterpret_cast<const header*>(block_.get());
    return reinterpret_cast<const char*>(block_.get() + header_size +
                                         h->nodes * sizeof(packed_node));
}

packed_json::view packed_json::root() const {
    if (block_ == nullptr) return {&null_node, nullptr, 0};
    return {nodes(), chars(), 0};
}

json_value packed_json::to_json_value() const {
    using storage = json_value::storage;
    auto scalar = [](view v) -> json_value {
        switch (v.kind()) {
            case kind::null:
                return json_value();
            case kind::boolean:
                return json_value(storage(v.boolean()));
            case kind::uint:
                return json_value(storage(v.uint()));
            case kind::sint:
                return json_value(storage(v.sint()));
            case kind::real:
                return json_value(storage(v.real()));
            case kind::string:
                return json_value(storage(std::string(v.string())));
            case kind::array:
            case kind::object:
                break;  // the walk below opens containers itself; they never come here
        }
        return json_value();
    };
    struct frame {
        view container;
        view next;
        std::size_t left;
        json_value::array items;
        json_value::object members;
        std::string key;  // the member of the parent this container becomes
    };
    auto opened = [](view v, std::string key) {
        return frame{v, v.first_child(), v.size(), {}, {}, std::move(key)};
    };
    auto is_container = [](view v) { return v.kind() == kind::array || v.kind() == kind::object; };

    const view top_view = root();
    if (!is_container(top_view)) return scalar(top_view);
    std::vector<frame> stack;
    stack.push_back(opened(top_view, {}));
    for (;;) {
        frame& top = stack.back();
        if (top.left > 0) {
            --top.left;
            std::string key;
            view child = top.next;
            if (top.container.kind() == kind::object) {
                key = std::string(child.string());
                child = child.next_sibling();
            }
            top.next = child.next_sibling();
            if (is_container(child)) {
                stack.push_back(opened(child, std::move(key)));
            } else if (top.container.kind() == kind::object) {
                top.members.emplace_back(std::move(key), scalar(child));
            } else {
                top.items.push_back(scalar(child));
            }
            continue;
        }
        json_value done = top.container.kind() == kind::object
                              ? json_value(storage(std::move(top.members)))
                              : json_value(storage(std::move(top.items)));
        std::string key = std::move(top.key);
        stack.pop_back();
        if (stack.empty()) return done;
        if (frame& parent = stack.back(); parent.container.kind() == kind::object) {
            parent.members.emplace_back(std::move(key), std::move(done));
        } else {
            parent.items.push_back(std::move(done));
        }
    }
}

void packed_json_writer::sint(std::int64_t i) {
    scalar(packed_json::kind::sint, std::bit_cast<std::uint64_t>(i));
}

void packed_json_writer::real(double d) {
    scalar(packed_json::kind::real, std::bit_cast<std::uint64_t>(d));
}

void packed_json_writer::string(std::string_view s) {
    counted();
    nodes_.push_back({std::uint8_t(packed_json::kind::string), std::uint32_t(s.size()),
                      std::uint64_t(chars_.size())});
    chars_.append(s);
}

void packed_json_writer::key(std::string_view s) {
    nodes_.push_back({std::uint8_t(packed_json::kind::string), std::uint32_t(s.size()),
                      std::uint64_t(chars_.size())});
    chars_.append(s);
}

void packed_json_writer::scalar(packed_json::kind k, std::uint64_t payload) {
    counted();
    nodes_.push_back({std::uint8_t(k), 0, payload});
}

void packed_json_writer::open(packed_json::kind k) {
    counted();
    open_.push_back({nodes_.size(), 0});
    nodes_.push_back({std::uint8_t(k), 0, 0});
}

void packed_json_writer::end() {
    packed_node& n = nodes_[open_.back().index];
    n.count = open_.back().count;
    n.payload = nodes_.size();
    open_.pop_back();
}

packed_json packed_json_writer::finish() {
    packed_json out;
    const std::size_t size = block_size(nodes_.size(), chars_.size());
    out.block_ = std::make_unique_for_overwrite<std::byte[]>(size);
    std::byte* p = out.block_.get();
    const packed_json::header h{nodes_.size(), chars_.size()};
    std::memcpy(p, &h, sizeof h);
    std::memcpy(p + header_size, nodes_.data(), nodes_.size() * sizeof(packed_node));
    if (!chars_.empty()) {
        std::memcpy(p + header_size + nodes_.size() * sizeof(packed_node), chars_.data(),
                    chars_.size());
    }
    nodes_.clear();
    chars_.clear();
    open_.clear();
    return out;
}

}  // namespace kestro
