// The extension module _reader: read(), export_columns(), its classes, ReadError, and the
// refusal of sub-interpreters.
//
//     read(path, *, errors="skip") -> Transcript
#include <Python.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <string>
#include <string_view>

#include "python/args.hpp"
#include "python/module_once.hpp"
#include "python/paths.hpp"
#include "python/reader/objects.hpp"
#include "python/ref.hpp"
#include "python/unlocked.hpp"
#include "session/transcript.hpp"

namespace kestro::py::reader {

PyObject* export_columns(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

namespace {

// Created at import and kept for the life of the process, like the module.
std::array<PyTypeObject*, k_class_count> g_types{};
PyObject* g_read_error = nullptr;

// No default: a class without its description fails to compile (-Wswitch, an error in CI).
PyType_Spec* spec_of(class_id id) {
    switch (id) {
        case class_id::transcript:
            return &Transcript_spec;
        case class_id::record:
            return &Record_spec;
        case class_id::problem:
            return &Problem_spec;
        case class_id::message:
            return &Message_spec;
        case class_id::usage:
            return &Usage_spec;
        case class_id::reply:
            return &Reply_spec;
        case class_id::text_block:
            return &TextBlock_spec;
        case class_id::thinking_block:
            return &ThinkingBlock_spec;
        case class_id::tool_use_block:
            return &ToolUseBlock_spec;
        case class_id::tool_result_block:
            return &ToolResultBlock_spec;
        case class_id::image_block:
            return &ImageBlock_spec;
        case class_id::block:
            return &Block_spec;
    }
    return nullptr;
}

constexpr const char* k_read_error_doc =
    "Raised by read(..., errors=\"strict\") at the first line that cannot be read.\n"
    "\n"
    "Attributes: path (str), line (int, 1-based), reason (str). A subclass of ParseError.";

std::nullptr_t raise_io(const sdk_error& error, PyObject* path) {
    const io_error* io = error.as_io();
    if (io != nullptr && io->code != 0 && !io->message) {
        errno = io->code;
        return static_cast<std::nullptr_t>(
            (void)PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path), nullptr);
    }
    return raise(PyExc_OSError, error.render());
}

std::nullptr_t raise_problem(const read_problem& p) {
    const std::string message = p.path + ", line " + std::to_string(p.line) + ": " + p.reason;
    ref text = ref::steal(to_py(message));
    if (!text) return nullptr;
    ref error = ref::steal(PyObject_CallFunctionObjArgs(g_read_error, text.get(), nullptr));
    if (!error) return nullptr;
    ref path = ref::steal(to_py(p.path));
    ref line = ref::steal(to_py(p.line));
    ref reason = ref::steal(to_py(p.reason));
    if (!path || !line || !reason || PyObject_SetAttrString(error.get(), "path", path.get()) < 0 ||
        PyObject_SetAttrString(error.get(), "line", line.get()) < 0 ||
        PyObject_SetAttrString(error.get(), "reason", reason.get()) < 0) {
        return nullptr;
    }
    PyErr_SetObject(g_read_error, error.get());
    return nullptr;
}

bool errors_mode(PyObject* arg, read_errors& mode) {
    if (arg == nullptr) return true;
    auto text = text_argument(arg, "errors");
    if (!text) return false;
    if (*text == "skip" || *text == "strict") {
        mode = *text == "skip" ? read_errors::skip : read_errors::strict;
        return true;
    }
    PyErr_Format(PyExc_ValueError, "errors must be \"skip\" or \"strict\", not %R", arg);
    return false;
}

PyObject* read(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const parameters params{"read()", {"path", "errors"}, 1};
    if (nargs > 1) {
        return PyErr_Format(PyExc_TypeError,
                            "read() takes 1 positional argument but %zd were given", nargs);
    }
    PyObject* arg[2] = {};
    if (!match_arguments(params, args, nargs, kwnames, arg)) return nullptr;
    read_errors mode = read_errors::skip;
    if (!errors_mode(arg[1], mode)) return nullptr;
    const auto native = native_path(arg[0]);
    if (!native) return nullptr;
    read_outcome out;
    bool interrupted = false;
    {
        // The file is read without the interpreter lock: other threads run meanwhile, and Ctrl-C
        // stops the read. An exception leaving the scope takes the lock back first, and the
        // guard turns it into MemoryError or the internal fault.
        unlocked nolock;
        out = read_transcript(*native, mode, nolock.check());
        interrupted = nolock.was_interrupted();
    }
    if (interrupted || PyErr_CheckSignals() < 0) return propagate();
    if (out.io) {
        ref shown = ref::steal(PyOS_FSPath(arg[0]));
        return raise_io(*out.io, shown ? shown.get() : arg[0]);
    }
    if (out.problem) return raise_problem(*out.problem);
    return make_transcript(out.value);
}

PyMethodDef k_functions[] = {
    {"read", method(fast_entry<read>), METH_FASTCALL | METH_KEYWORDS,
     "read(path, *, errors='skip')\n--\n\n"
     "Reads a session log completely: every line as a record or a problem, replies merged,\n"
     "sub-agents linked. errors='strict' raises ReadError at the first problem."},
    {"export_columns", method(fast_entry<export_columns>), METH_FASTCALL | METH_KEYWORDS,
     "export_columns(transcripts, labels)\n--\n\n"
     "The columns of the Parquet export's messages, tool_calls and sessions tables for the\n"
     "transcripts, each labelled (project, session_id), as buffers for pyarrow."},
    {},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "_reader", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

bool fill(PyObject* module) {
    module_names names(module);
    for (std::size_t i = 0; i < k_class_count; ++i) {
        const auto id = static_cast<class_id>(i);
        if (g_types[i] == nullptr) {
            g_types[i] = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(spec_of(id)));
        }
        if (!names.add(short_class_name(id), reinterpret_cast<PyObject*>(g_types[i]))) return false;
    }
    if (g_read_error == nullptr) {
        ref core = ref::steal(PyImport_ImportModule("kestro_sdk._core"));
        if (!core) return false;
        ref base = ref::steal(PyObject_GetAttrString(core.get(), "ParseError"));
        if (!base) return false;
        g_read_error = PyErr_NewExceptionWithDoc("kestro_sdk._reader.ReadError", k_read_error_doc,
                                                 base.get(), nullptr);
    }
    if (!names.add("ReadError", g_read_error)) return false;
    return names.add_functions(k_functions) && names.finish();
}

single_module g_single{&g_module_def,
                       "the _reader module of kestro_sdk does not support sub-interpreters", fill};

}  // namespace

PyTypeObject* type_object(class_id id) {
    return g_types[static_cast<std::size_t>(id)];
}

PyObject* read_error_type() {
    return g_read_error;
}

}  // namespace kestro::py::reader

// The one name the interpreter looks for: reserved-looking, but not ours to choose.
PyMODINIT_FUNC PyInit__reader(void) {  // NOLINT(bugprone-reserved-identifier)
    return kestro::py::guarded([] { return kestro::py::reader::g_single.init(); });
}
