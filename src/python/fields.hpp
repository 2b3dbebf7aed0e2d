// Table rows for a class's properties: one row per property, its getter made from a template.
//
//     PyGetSetDef TokenUsage_getset[] = {
//         member<usage_obj, &token_usage::input_tokens>("input_tokens"),  // a data member
//         computed<usage_obj, TokenUsage_total>("total"),  // a function of the viewed object
//         {},
//     };
//
// A member path may go through nested structs: member<obj, &a::b, &b::c> reads item->b.c.
#pragma once

#include <Python.h>

#include <variant>

#include "python/types.hpp"
#include "types/content.hpp"

namespace kestro::py {

namespace detail {

template <class M>
struct member_of;
template <class C, class T>
struct member_of<T C::*> {
    using type = C;
};

template <class Obj, auto... Path>
PyObject* member_getter(PyObject* self, void*) noexcept {
    return guarded([&] {
        const auto& item = *cast<Obj>(self).item;
        return to_py((item.*....*Path));
    });
}

template <class Obj, auto... Path>
PyObject* own_member_getter(PyObject* self, void*) noexcept {
    return guarded([&] { return to_py((cast<Obj>(self).*....*Path)); });
}

// The first member of the path names the kind of content block it reads.
template <auto First, auto... Rest>
PyObject* block_member_getter(PyObject* self, void*) noexcept {
    using block_type = typename member_of<decltype(First)>::type;
    return guarded([&] {
        const auto& block =
            std::get<block_type>(cast<view_object<content_block>>(self).item->value);
        const auto& head = block.*First;
        return to_py((head.*....*Rest));
    });
}

}  // namespace detail

// The property `name` reads the data member at `Path` in the viewed item.
template <class Obj, auto... Path>
constexpr PyGetSetDef member(const char* name, const char* doc = "") {
    return {name, detail::member_getter<Obj, Path...>, nullptr, doc, nullptr};
}

// The property `name` reads the data member at `Path` in the object itself (for objects that
// own what they show instead of viewing a session).
template <class Obj, auto... Path>
constexpr PyGetSetDef own_member(const char* name) {
    return {name, detail::own_member_getter<Obj, Path...>, nullptr, "", nullptr};
}

// The property `name` reads the data member at `Path` in one kind of content block.
template <auto... Path>
constexpr PyGetSetDef block_member(const char* name) {
    return {name, detail::block_member_getter<Path...>, nullptr, "", nullptr};
}

// The property `name` is `Read(const Obj&)`, converted by to_py.
template <class Obj, auto Read>
constexpr PyGetSetDef computed(const char* name, const char* doc = "") {
    return {name, field<Obj, Read>, nullptr, doc, nullptr};
}

// The same rows without a doc string, for the modules whose properties have always shown None
// there: `using undocumented::member;` in the module's namespace.
namespace undocumented {

template <class Obj, auto... Path>
constexpr PyGetSetDef member(const char* name) {
    return py::member<Obj, Path...>(name, nullptr);
}

template <class Obj, auto Read>
constexpr PyGetSetDef computed(const char* name) {
    return py::computed<Obj, Read>(name, nullptr);
}

}  // namespace undocumented

}  // namespace kestro::py
