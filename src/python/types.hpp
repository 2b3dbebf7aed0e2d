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
static_assert(static_cast<std::size_t>(class_id::message_iterator) + 1 == k_class_count);
// The iterator is made by iter(session) only, never found in the module.
inline constexpr std::size_t k_module_class_count = 15;

// The class's qualified name. No default: a class without its name fails to compile (-Wswitch,
// an error in CI), and the name is where the class's description gets it.
constexpr const char* class_name(class_id id) {
    switch (id) {
        case class_id::message:
            return "kestro_sdk.Message";
        case class_id::session:
            return "kestro_sdk.Session";
        case class_id::project:
            return "kestro_sdk.Project";
        case class_id::session_metadata:
            return "kestro_sdk.SessionMetadata";
        case class_id::tool_result:
            return "kestro_sdk.ToolResult";
        case class_id::tool_execution:
            return "kestro_sdk.ToolExecution";
        case class_id::conversation_stats:
            return "kestro_sdk.ConversationStats";
        case class_id::conversation_node:
            return "kestro_sdk.ConversationNode";
        case class_id::conversation_tree:
            return "kestro_sdk.ConversationTree";
        case class_id::text_block:
            return "kestro_sdk.TextBlock";
        case class_id::tool_use_block:
            return "kestro_sdk.ToolUseBlock";
        case class_id::thinking_block:
            return "kestro_sdk.ThinkingBlock";
        case class_id::image_block:
            return "kestro_sdk.ImageBlock";
        case class_id::tool_result_block:
            return "kestro_sdk.ToolResultBlock";
        case class_id::token_usage:
            return "kestro_sdk.TokenUsage";
        case class_id::message_iterator:
            return "kestro_sdk.MessageIterator";
    }
    return nullptr;
}

// The name the module adds the class under: the qualified name without its package.
inline constexpr std::size_t k_package_prefix = sizeof("kestro_sdk.") - 1;
constexpr const char* short_class_name(class_id id) {
    return class_name(id) + k_package_prefix;
}

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
