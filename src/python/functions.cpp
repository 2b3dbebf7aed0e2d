// The module functions: the only ways Python code obtains data.
//
//     load(file_path) -> Session
//     find_sessions(base_path=None, project=None) -> list[str]
//     find_projects(base_path=None) -> list[str]
//     load_project(project_identifier, base_path=None) -> Project
#include "python/functions.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "python/args.hpp"
#include "python/classes.hpp"
#include "python/exceptions.hpp"
#include "python/ref.hpp"
#include "python/unlocked.hpp"
#include "session/names.hpp"
#include "session/project.hpp"
#include "session/session.hpp"
#include "types/utf8.hpp"
#include "utils/discovery.hpp"

namespace kestro::py {
namespace {

namespace fs = std::filesystem;

// A str as is; any other object through its __str__, whose result must be a str.
std::optional<std::string> path_argument(PyObject* value) {
    if (PyUnicode_Check(value)) {
        if (auto text = utf8_of(value)) return std::string(*text);
        // A lone surrogate: go the general way, which meets the same encoding error.
        PyErr_Clear();
    }
    ref to_text = ref::steal(PyObject_GetAttrString(value, "__str__"));
    if (!to_text) {
        PyErr_Clear();
        raise(PyExc_TypeError, "file_path must be a string or Path-like object");
        return std::nullopt;
    }
    ref text = ref::steal(PyObject_CallNoArgs(to_text.get()));
    if (!text) return std::nullopt;
    if (!PyUnicode_Check(text.get())) {
        raise_not_a_string(text.get());
        return std::nullopt;
    }
    auto utf8 = utf8_of(text.get());
    if (!utf8) return std::nullopt;
    return std::string(*utf8);
}

fs::path base_directory(const std::optional<std::string_view>& base_path) {
    if (base_path) return fs::path(std::string(*base_path));
    return default_base_directory();
}

// Paths as str in the given order; paths that are not UTF-8 are left out.
PyObject* path_list(const std::vector<fs::path>& paths) {
    ref list = ref::steal(PyList_New(0));
    if (!list) return nullptr;
    for (const auto& path : paths) {
        const std::string& text = path.native();
        if (!is_valid_utf8(text)) continue;
        ref item = ref::steal(to_py(text));
        if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
    }
    return list.release();
}

PyObject* load(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const parameters params{"load()", {"file_path"}, 1};
    PyObject* arg[1];
    if (!match_arguments(params, args, nargs, kwnames, arg)) return nullptr;
    auto path = path_argument(arg[0]);
    if (!path) return nullptr;
    bool exists = false;
    std::optional<result<std::shared_ptr<const session>>> loaded;
    bool interrupted = false;
    {
        unlocked nolock;
        exists = entry_exists(*path);
        if (exists) {
            read_options options;
            options.cancelled = nolock.check();
            auto parsed = parse_session_file(fs::path(*path), write_warning_to_stderr, options);
            if (parsed) {
                loaded.emplace(build_session(std::move(parsed).value()));
            } else {
                loaded.emplace(parsed.error());
            }
        }
        interrupted = nolock.was_interrupted();
    }
    if (interrupted) return nullptr;
    if (!exists) return raise(PyExc_FileNotFoundError, "Session file not found: " + *path);
    if (!*loaded) return raise_core_error(core_call::load, loaded->error());
    return make_session(std::move(*loaded).value());
}

PyObject* find_sessions(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const parameters params{"find_sessions()", {"base_path", "project"}, 0};
    PyObject* arg[2];
    if (!match_arguments(params, args, nargs, kwnames, arg)) return nullptr;
    std::optional<std::string_view> base_path;
    std::optional<std::string_view> project;
    if (!optional_text_argument(arg[0], "base_path", base_path)) return nullptr;
    if (!optional_text_argument(arg[1], "project", project)) return nullptr;
    std::optional<std::string> project_text;
    if (project) project_text.emplace(*project);
    // The environment is read with the lock held: another thread may be changing it.
    const fs::path base = base_directory(base_path);
    auto found = [&] {
        unlocked nolock;
        return kestro::find_sessions(base, project_text);
    }();
    if (!found) return raise_core_error(core_call::find_sessions, found.error());
    return path_list(found.value());
}

PyObject* find_projects(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const parameters params{"find_projects()", {"base_path"}, 0};
    PyObject* arg[1];
    if (!match_arguments(params, args, nargs, kwnames, arg)) return nullptr;
    std::optional<std::string_view> base_path;
    if (!optional_text_argument(arg[0], "base_path", base_path)) return nullptr;
    const fs::path base = base_directory(base_path);
    auto found = [&] {
        unlocked nolock;
        return kestro::find_projects(base);
    }();
    if (!found) return raise_core_error(core_call::find_projects, found.error());
    return path_list(found.value());
}

PyObject* load_project(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const parameters params{"load_project()", {"project_identifier", "base_path"}, 1};
    PyObject* arg[2];
    if (!match_arguments(params, args, nargs, kwnames, arg)) return nullptr;
    auto identifier = text_argument(arg[0], "project_identifier");
    if (!identifier) return nullptr;
    std::optional<std::string_view> base_path;
    if (!optional_text_argument(arg[1], "base_path", base_path)) return nullptr;
    const std::string identifier_text(*identifier);
    // The environment is read with the lock held: another thread may be changing it.
    const fs::path base = base_directory(base_path);
    loaded_project project;
    bool interrupted = false;
    {
        unlocked nolock;
        load_options options;
        options.cancelled = nolock.check();
        project = kestro::load_project(identifier_text, base, write_warning_to_stderr, options);
        interrupted = nolock.was_interrupted();
    }
    if (interrupted) return nullptr;
    if (project.failure) {
        switch (*project.failure) {
            case project_failure::no_match: {
                auto exc = exception_type(exception_class::parse_error);
                if (exc == nullptr) return nullptr;
                return raise(exc,
                             "Project '" + identifier_text + "' not found in " + base.native());
            }
            case project_failure::missing:
                return raise(PyExc_FileNotFoundError,
                             "Project directory not found: " + project.directory.native());
            case project_failure::listing_projects:
                return raise_core_error(core_call::find_projects, *project.error);
            case project_failure::listing_sessions:
                return raise_core_error(core_call::project_sessions, *project.error);
            case project_failure::interrupted:
                return nullptr;
        }
    }
    return make_project(final_component_name(project.directory.native()), project.sessions);
}

constexpr int k_fast = METH_FASTCALL | METH_KEYWORDS;

template <auto Fn>
PyObject* function_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
    return guarded([&] { return Fn(module, args, nargs, kwnames); });
}

template <class F>
PyCFunction as_function(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace

PyMethodDef module_functions[] = {
    {"load", as_function(function_entry<load>), k_fast,
     "load(file_path)\n--\n\n"
     "Load a Kestro Code session from a JSONL file.\n"
     "\n"
     "This function parses a Kestro Code session file and returns a Session object\n"
     "with all messages, metadata, and tool usage information.\n"
     "\n"
     "Args:\n"
     "    file_path: Path to the JSONL session file\n"
     "\n"
     "Returns:\n"
     "    Session: Complete session object with messages and metadata\n"
     "\n"
     "Raises:\n"
     "    ParseError: If the file cannot be parsed due to invalid format\n"
     "    FileNotFoundError: If the specified file does not exist\n"
     "    KestroSDKError: Base class for all SDK-specific exceptions\n"
     "\n"
     "Example:\n"
     "    >>> from kestro_sdk import load\n"
     "    >>> session = load(\"conversation.jsonl\")\n"
     "    >>> print(f\"Session ID: {session.session_id}\")\n"
     "    >>> print(f\"Total cost: ${session.total_cost:.4f}\")"},
    {"find_sessions", as_function(function_entry<find_sessions>), k_fast,
     "find_sessions(base_path=None, project=None)\n--\n\n"
     "Find Kestro Code session files.\n"
     "\n"
     "This function discovers all Kestro Code JSONL session files, either in the\n"
     "specified base directory or filtered to a specific project.\n"
     "\n"
     "Args:\n"
     "    base_path: Directory to search (defaults to ~/.kestro/projects/)\n"
     "    project: Optional project name/path to filter by\n"
     "\n"
     "Returns:\n"
     "    List of paths to JSONL session files\n"
     "\n"
     "Raises:\n"
     "    ParseError: If the directory doesn't exist or can't be accessed"},
    {"find_projects", as_function(function_entry<find_projects>), k_fast,
     "find_projects(base_path=None)\n--\n\n"
     "Find Kestro Code project directories.\n"
     "\n"
     "This function discovers all Kestro Code project directories in the specified\n"
     "base directory or in the default ~/.kestro/projects/ directory.\n"
     "\n"
     "Args:\n"
     "    base_path: Directory to search (defaults to ~/.kestro/projects/)\n"
     "\n"
     "Returns:\n"
     "    List of paths to project directories\n"
     "\n"
     "Raises:\n"
     "    ParseError: If the directory doesn't exist or can't be accessed"},
    {"load_project", as_function(function_entry<load_project>), k_fast,
     "load_project(project_identifier, base_path=None)\n--\n\n"
     "Load a Kestro Code project by name or path.\n"
     "\n"
     "This function loads a Kestro Code project, either by name (e.g., 'apply-model')\n"
     "or by full path. It discovers all session files in the project directory and\n"
     "loads them into a Project object.\n"
     "\n"
     "Args:\n"
     "    project_identifier: Project name or full path\n"
     "    base_path: Base directory to search in (defaults to ~/.kestro/projects/)\n"
     "\n"
     "Returns:\n"
     "    Project: Project object with all sessions loaded\n"
     "\n"
     "Raises:\n"
     "    ParseError: If project cannot be found or sessions cannot be loaded"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kestro::py
