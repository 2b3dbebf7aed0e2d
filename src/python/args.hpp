// Argument matching for functions and methods called with the fast calling convention and
// keywords, with the interpreter's own TypeError wording.
#pragma once

#include <Python.h>

#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string_view>

namespace kestro::py {

// A callable's parameters, all positional-or-keyword; the first `required` have no default.
struct parameters {
    const char* callable;  // as named in errors: "load()" or "Session.get_thread()"
    std::initializer_list<const char*> names;
    std::size_t required;
};

// Matches the call's arguments to `params`, storing borrowed references in `out` (nullptr for
// an omitted optional parameter). `out` has one slot per name. Returns false with TypeError set.
bool match_arguments(const parameters& params, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** out);

// The UTF-8 text of a str argument, pointing into the str (alive as long as the argument). A
// non-str raises TypeError "argument '<name>': '<type>' object cannot be converted to
// 'PyString'"; a str that has no UTF-8 form lets the interpreter's encoding error through.
std::optional<std::string_view> text_argument(PyObject* value, const char* name);

// As text_argument, with None (or an omitted argument, nullptr) giving an empty optional.
// Returns false with an exception set.
bool optional_text_argument(PyObject* value, const char* name,
                            std::optional<std::string_view>& out);

// The conversion error without an argument name, for values that must be str.
std::nullptr_t raise_not_a_string(PyObject* value);

// The UTF-8 text of a str, or nullopt with the interpreter's encoding error set.
std::optional<std::string_view> utf8_of(PyObject* str);

}  // namespace kestro::py
