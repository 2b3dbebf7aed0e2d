// Path arguments of the module functions.
#pragma once

#include <Python.h>

#include <optional>
#include <string>

namespace kestro::py {

// The file system form of a path (str, bytes or os.PathLike) with ~ expanded. Nothing, with
// an exception set, when it is not a path or holds a null byte (ValueError).
std::optional<std::string> native_path(PyObject* arg);

}  // namespace kestro::py
