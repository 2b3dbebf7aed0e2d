// The module functions load, find_sessions, find_projects and load_project.
#pragma once

#include <Python.h>

namespace kestro::py {

// The four function descriptions in the order the module adds them, ended by an empty entry.
extern PyMethodDef module_functions[];

}  // namespace kestro::py
