// Value classes of content, usage and analysis: how other classes make their instances.
#pragma once

#include <Python.h>

#include <memory>

#include "python/types.hpp"
#include "session/session.hpp"

namespace kestro::py {

using message_obj = view_object<message_record>;
using session_obj = view_object<session>;

// The block object of the class that matches the block's kind. New reference or nullptr.
PyObject* make_content_block(const std::shared_ptr<const session>& owner,
                             const content_block* block);

// A Message viewing `record` of `owner`. New reference or nullptr.
PyObject* make_message(const std::shared_ptr<const session>& owner, const message_record* record);

// The descriptions of the value classes above; nullptr for the other classes.
const PyType_Spec* value_class_spec(class_id id);

}  // namespace kestro::py
