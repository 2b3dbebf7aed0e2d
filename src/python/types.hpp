// The one way the module defines a class: instance layouts, entry-point wrappers that run
// through the guard, the per-field getter template, and the process-wide type slots.
#pragma once

#include <Python.h>

#include <cstddef>
#include <memory>
#include <new>

#include "analysis/message_text.hpp"
#include "python/class_support.hpp"
#include "session/names.hpp"
#include "session/session.hpp"

namespace kestro::py {

// The 16 classes; the first 15 in the order the module adds them.
enum class class_id : unsigned char {
    message,
    session,
    project,
    session_metadata,
    tool_result,
    tool_execution,
    conversation_stats,
    conversation_node,
    conversation_tree,
    text_block,
    tool_use_block,
    thinking_block,
    image_block,
    tool_result_block,
    token_usage,
    message_iterator,
};
inline constexpr std::size_t k_class_count = 16;
inline constexpr std::size_t k_module_class_count = 15;

// The type object, created from its description on first use and kept for the process.
// Borrowed; nullptr with an exception set when creation fails. During initialisation the
// creation error itself propagates; after mark_initialised() the error is printed and the
// internal-fault exception raised instead.
PyTypeObject* type_object(class_id id);
void mark_initialised();

// A Python object that shows one part of a loaded session: the shared session keeps the
// part alive, `item` points into it.
template <class T>
struct view_object {
    PyObject_HEAD std::shared_ptr<const session> owner;
    const T* item;
};

// A new instance of `id` viewing `item` of `owner`. New reference or nullptr.
template <class T>
PyObject* make_view(class_id id, const std::shared_ptr<const session>& owner, const T* item) {
    PyTypeObject* type = type_object(id);
    if (type == nullptr) return nullptr;
    PyObject* self = PyType_GenericAlloc(type, 0);
    if (self == nullptr) return nullptr;
    auto& v = cast<view_object<T>>(self);
    new (&v.owner) std::shared_ptr<const session>(owner);
    v.item = item;
    return self;
}

}  // namespace kestro::py
