// The classes of the _reader module: their ids, their one instance layout, and how an instance
// viewing part of a transcript is made.
#pragma once

#include <Python.h>

#include <cstddef>
#include <memory>
#include <new>

#include "python/class_support.hpp"
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

// The descriptions, one per class.
const PyType_Spec& spec_of(class_id id);

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

// The ReadError class (a subclass of _core.ParseError), set at import. Borrowed.
PyObject* read_error_type();

}  // namespace kestro::py::reader
