// Session, Message, MessageIterator and Project: how the module functions make them.
#pragma once

#include <Python.h>

#include <memory>
#include <string>
#include <vector>

#include "python/types.hpp"
#include "session/session.hpp"

namespace kestro::py {

// A Session object sharing `s`. New reference or nullptr.
PyObject* make_session(std::shared_ptr<const session> s);

// A Project over the sessions (in the given order): aggregates computed now, one list of
// Session objects kept. New reference, or nullptr if an object cannot be made.
PyObject* make_project(std::string name,
                       const std::vector<std::shared_ptr<const session>>& sessions);

// The descriptions of the four classes above; nullptr for the other classes.
const PyType_Spec* main_class_spec(class_id id);

}  // namespace kestro::py
