// The classes of the _reader module: their ids and names, their one instance layout, their
// descriptions (one file per class), and how an instance viewing part of a transcript is made.
#pragma once

#include <Python.h>

#include <cstddef>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "python/class_support.hpp"
#include "python/fields.hpp"
#include "python/ref.hpp"
#include "types/transcript.hpp"

namespace kestro::py::reader {

// In the order the module adds them.
enum class class_id : unsigned char {
    transcript,
    record,
    problem,
    message,
    usage,
    reply,
    text_block,
    thinking_block,
    tool_use_block,
    tool_result_block,
    image_block,
    block,
};
inline constexpr std::size_t k_class_count = 12;
static_assert(static_cast<std::size_t>(class_id::block) + 1 == k_class_count);

// The class's qualified name. No default: a class without its name fails to compile (-Wswitch,
// an error in CI), and the name is where the class's description gets it.
constexpr const char* class_name(class_id id) {
    switch (id) {
        case class_id::transcript:
            return "kestro_sdk._reader.Transcript";
        case class_id::record:
            return "kestro_sdk._reader.Record";
        case class_id::problem:
            return "kestro_sdk._reader.Problem";
        case class_id::message:
            return "kestro_sdk._reader.Message";
        case class_id::usage:
            return "kestro_sdk._reader.Usage";
        case class_id::reply:
            return "kestro_sdk._reader.Reply";
        case class_id::text_block:
            return "kestro_sdk._reader.TextBlock";
        case class_id::thinking_block:
            return "kestro_sdk._reader.ThinkingBlock";
        case class_id::tool_use_block:
            return "kestro_sdk._reader.ToolUseBlock";
        case class_id::tool_result_block:
            return "kestro_sdk._reader.ToolResultBlock";
        case class_id::image_block:
            return "kestro_sdk._reader.ImageBlock";
        case class_id::block:
            return "kestro_sdk._reader.Block";
    }
    return nullptr;
}

// The name the module adds the class under: the qualified name without the module's.
inline constexpr std::size_t k_module_prefix = sizeof("kestro_sdk._reader.") - 1;
constexpr const char* short_class_name(class_id id) {
    return class_name(id) + k_module_prefix;
}

// Every instance: a shared reference to the transcript it belongs to and a pointer (or a
// position, for content blocks) into it. Nothing is copied out of the transcript.
template <class T>
struct view_object {
    PyObject_HEAD std::shared_ptr<const transcript> owner;
    T item;
};

using transcript_obj = view_object<const transcript*>;
using record_obj = view_object<const transcript_record*>;
using message_obj = view_object<const transcript_message*>;
using usage_obj = view_object<const usage_counts*>;
using reply_obj = view_object<const transcript_reply*>;
using block_obj = view_object<packed_json::view>;

// The type object, created at import. Borrowed.
PyTypeObject* type_object(class_id id);

// The descriptions, each in its class's file; the module maps each class_id to its own.
extern PyType_Spec Transcript_spec;
extern PyType_Spec Record_spec;
extern PyType_Spec Problem_spec;
extern PyType_Spec Message_spec;
extern PyType_Spec Usage_spec;
extern PyType_Spec Reply_spec;
extern PyType_Spec TextBlock_spec;
extern PyType_Spec ThinkingBlock_spec;
extern PyType_Spec ToolUseBlock_spec;
extern PyType_Spec ToolResultBlock_spec;
extern PyType_Spec ImageBlock_spec;
extern PyType_Spec Block_spec;

// This module's properties have always shown None as their doc string.
using undocumented::computed;
using undocumented::member;

// A new instance of `id` viewing `item` of `owner`. New reference or nullptr.
template <class T>
PyObject* make(class_id id, const std::shared_ptr<const transcript>& owner, T item) {
    PyObject* self = PyType_GenericAlloc(type_object(id), 0);
    if (self == nullptr) return nullptr;
    auto& v = cast<view_object<T>>(self);
    new (&v.owner) std::shared_ptr<const transcript>(owner);
    v.item = item;
    return self;
}

// Each returns a new reference or nullptr.
PyObject* make_transcript(const std::shared_ptr<const transcript>& t);
PyObject* make_message(const std::shared_ptr<const transcript>& owner, std::uint32_t index);
// A content block as the class its type calls for; a string content is one text block.
PyObject* make_block(const std::shared_ptr<const transcript>& owner, packed_json::view block);
// The blocks of a message's content, as a new list.
PyObject* make_blocks(const std::shared_ptr<const transcript>& owner, packed_json::view content);
// The text of a content: the string itself, or its text blocks joined with "\n".
std::string content_text(packed_json::view content);
// Names of the tool_use blocks of a content, appended to `out`.
void tool_names(packed_json::view content, std::vector<std::string_view>& out);

// Text of an optional date.
std::optional<std::string> time_text(const std::optional<date_time>& t);

// What every content block class shows: .type and .raw (the first two rows of each table), and
// its repr. A string content stands for one text block.
std::string_view Block_type(const block_obj& o);
ref Block_raw(const block_obj& o);
PyObject* Block_repr(PyObject* self);
// The block's text member `key`, absent or empty.
std::optional<std::string_view> text_at(const block_obj& o, std::string_view key);
std::string_view text_or_empty(const block_obj& o, std::string_view key);

// The ReadError class (a subclass of _core.ParseError), set at import. Borrowed.
PyObject* read_error_type();

}  // namespace kestro::py::reader
