// Copying a simdjson DOM subtree into a json_value, without recursion.
#include <string>
#include <utility>
#include <vector>

#include "parser/json_view.hpp"

namespace kestro::detail {

namespace {

using simdjson::dom::element_type;

json_value make(json_value::storage s) {
    return json_value(std::move(s));
}

bool is_container(simdjson::dom::element e) {
    return e.type() == element_type::ARRAY || e.type() == element_type::OBJECT;
}

json_value scalar(simdjson::dom::element e) {
    const dom_view v(e);
    switch (v.kind()) {
        case json_kind::null:
            return make(nullptr);
        case json_kind::boolean:
            return make(v.boolean());
        case json_kind::uint:
            return make(v.uint());
        case json_kind::sint:
            return make(v.sint());
        case json_kind::real:
            return make(v.real());
        case json_kind::string:
        case json_kind::array:  // containers never get here
        case json_kind::object:
            break;
    }
    return make(std::string(v.string()));
}

// A container being copied: where its walk is, what it has so far, and its key in the parent.
struct frame {
    bool is_object;
    simdjson::dom::array::iterator ai, ae;
    simdjson::dom::object::iterator oi, oe;
    json_value::array items;
    json_value::object members;
    std::string key;

    frame(simdjson::dom::element e, std::string k)
        : is_object(e.type() == element_type::OBJECT), key(std::move(k)) {
        if (is_object) {
            simdjson::dom::object o = e.get_object().value_unsafe();
            oi = o.begin();
            oe = o.end();
        } else {
            simdjson::dom::array a = e.get_array().value_unsafe();
            ai = a.begin();
            ae = a.end();
        }
    }

    [[nodiscard]] bool has_next() const { return is_object ? oi != oe : ai != ae; }

    // The next child and, in an object, its key.
    simdjson::dom::element next(std::string& child_key) {
        if (!is_object) return *ai++;
        auto member = *oi;
        ++oi;
        child_key = std::string(member.key);
        return member.value;
    }

    void add(std::string child_key, json_value child) {
        if (is_object) {
            members.emplace_back(std::move(child_key), std::move(child));
        } else {
            items.push_back(std::move(child));
        }
    }

    json_value finish() && {
        return is_object ? json_value::make_object(std::move(members)) : make(std::move(items));
    }
};

}  // namespace

json_value to_json_value(simdjson::dom::element root) {
    if (!is_container(root)) return scalar(root);
    std::vector<frame> stack;
    stack.emplace_back(root, std::string());
    for (;;) {
        frame& top = stack.back();
        if (top.has_next()) {
            std::string key;
            const simdjson::dom::element child = top.next(key);
            if (is_container(child)) {
                stack.emplace_back(child, std::move(key));
            } else {
                top.add(std::move(key), scalar(child));
            }
            continue;
        }
        std::string key = std::move(top.key);
        json_value done = std::move(top).finish();
        stack.pop_back();
        if (stack.empty()) return done;
        stack.back().add(std::move(key), std::move(done));
    }
}

}  // namespace kestro::detail
