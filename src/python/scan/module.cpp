// The extension module _scan: the usage scan's entry points and classes.
//
//     scan_files(files, *, threads=None) -> [FileScan, ...]
//     scan_tree(bases, since_us, until_us, projects, subagents, threads) -> UsageTable
//     (scan_tree is the engine of kestro_sdk.scan_usage, which normalises the arguments)
#include <Python.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <future>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "python/args.hpp"
#include "python/module_once.hpp"
#include "python/paths.hpp"
#include "python/scan/objects.hpp"
#include "python/unlocked.hpp"

namespace kestro::py::scan {

namespace {

// Created at import and kept for the life of the process, like the module.
std::array<PyTypeObject*, k_class_count> g_types{};
PyObject* g_epoch = nullptr;      // datetime(1970, 1, 1, tzinfo=timezone.utc)
PyObject* g_timedelta = nullptr;  // datetime.timedelta

// No default: a class without its description fails to compile (-Wswitch, an error in CI).
PyType_Spec* spec_of(class_id id) {
    switch (id) {
        case class_id::usage_table:
            return &UsageTable_spec;
        case class_id::usage_row:
            return &UsageRow_spec;
        case class_id::file_scan:
            return &FileScan_spec;
    }
    return nullptr;
}

// Runs `work` on a thread of its own while this one waits without the interpreter lock,
// looking for signals every few tens of milliseconds: Ctrl-C sets `cancel`, which the scan
// reads once a block, so it stops within a fraction of a second. Returns false with the
// signal's exception set when interrupted; exceptions of `work` are rethrown.
// When no thread can be started (memory or the thread limit has run out), the work runs on
// this thread without the lock, deaf to Ctrl-C until it ends.
template <class R, class F>
bool run_interruptible(F&& work, std::atomic<bool>& cancel, R& out) {
    std::promise<R> promise;
    std::future<R> result = promise.get_future();
    std::thread runner;
    try {
        runner = std::thread([&] {
            reserve_exception_state();
            try {
                promise.set_value(work());
            } catch (...) {
                promise.set_exception(std::current_exception());
            }
        });
    } catch (const std::system_error&) {
        unlocked nolock;
        out = work();
        return true;
    }
    bool interrupted = false;
    for (;;) {
        PyThreadState* state = PyEval_SaveThread();
        const auto status = result.wait_for(std::chrono::milliseconds(20));
        PyEval_RestoreThread(state);
        if (status == std::future_status::ready) break;
        if (PyErr_CheckSignals() < 0) {
            interrupted = true;
            cancel = true;
            break;
        }
    }
    PyThreadState* state = PyEval_SaveThread();
    runner.join();
    PyEval_RestoreThread(state);
    if (interrupted) return false;
    out = result.get();
    return true;
}

bool threads_argument(PyObject* arg, unsigned& out) {
    out = 0;
    if (arg == nullptr || arg == Py_None) return true;
    const long n = PyLong_AsLong(arg);
    if (n == -1 && PyErr_Occurred() != nullptr) return false;
    if (n < 1 || n > 1024) {
        PyErr_Format(PyExc_ValueError, "threads must be between 1 and 1024, not %R", arg);
        return false;
    }
    out = static_cast<unsigned>(n);
    return true;
}

// Calls `each` for every item of an iterable; false with an exception set when it fails.
template <class F>
bool for_each_item(PyObject* iterable, F&& each) {
    ref it = ref::steal(PyObject_GetIter(iterable));
    if (!it) return false;
    while (ref item = ref::steal(PyIter_Next(it.get()))) {
        if (!each(item.get())) return false;
    }
    return PyErr_Occurred() == nullptr;
}

// The project a lone file belongs to: the folder holding it, or for a sub-agent's file
// (<project>/<session>/subagents/<file>) the folder three levels up.
std::string project_of(const std::filesystem::path& path) {
    const std::filesystem::path dir = path.parent_path();
    if (dir.filename() == "subagents") return dir.parent_path().parent_path().filename().string();
    return dir.filename().string();
}

PyObject* scan_files(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const parameters params{"scan_files()", {"files", "threads"}, 1};
    if (nargs > 1) {
        return PyErr_Format(PyExc_TypeError,
                            "scan_files() takes 1 positional argument but %zd were given", nargs);
    }
    PyObject* arg[2] = {};
    if (!match_arguments(params, args, nargs, kwnames, arg)) return nullptr;
    unsigned threads = 0;
    if (!threads_argument(arg[1], threads)) return nullptr;
    std::vector<scan_input> inputs;
    const bool ok = for_each_item(arg[0], [&](PyObject* item) {
        if (PySequence_Check(item) == 0 || PySequence_Size(item) != 2) {
            PyErr_SetString(PyExc_TypeError, "files must hold (path, start_offset) pairs");
            return false;
        }
        ref path = ref::steal(PySequence_GetItem(item, 0));
        ref start = ref::steal(PySequence_GetItem(item, 1));
        if (!path || !start) return false;
        auto native = native_path(path.get());
        if (!native) return false;
        const unsigned long long offset = PyLong_AsUnsignedLongLong(start.get());
        if (offset == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
            return false;
        }
        std::filesystem::path p(*native);
        std::string project = project_of(p);
        inputs.push_back(scan_input{std::move(p), offset, std::move(project)});
        return true;
    });
    if (!ok) return nullptr;
    std::atomic<bool> cancel{false};
    std::vector<file_scan> scans;
    const bool done = run_interruptible(
        [&] { return kestro::scan_files(inputs, threads, SIZE_MAX, &cancel); }, cancel, scans);
    if (!done) return nullptr;
    ref list = ref::steal(PyList_New(static_cast<Py_ssize_t>(scans.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < scans.size(); ++i) {
        PyObject* item = make_file_scan(std::make_shared<const file_scan>(std::move(scans[i])));
        if (item == nullptr) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
    }
    return list.release();
}

// Microseconds since the epoch (None for no bound) as a date_time.
bool bound_argument(PyObject* arg, std::optional<date_time>& out) {
    if (arg == nullptr || arg == Py_None) return true;
    const long long us = PyLong_AsLongLong(arg);
    if (us == -1 && PyErr_Occurred() != nullptr) return false;
    long long seconds = us / 1'000'000;
    long long rest = us % 1'000'000;
    if (rest < 0) {
        rest += 1'000'000;
        --seconds;
    }
    // Bounds are inclusive to the microsecond: an upper bound covers its whole microsecond.
    out = date_time{seconds, static_cast<std::uint32_t>(rest * 1000)};
    return true;
}

PyObject* scan_tree(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const parameters params{
        "scan_tree()", {"bases", "since_us", "until_us", "projects", "subagents", "threads"}, 6};
    PyObject* arg[6] = {};
    if (!match_arguments(params, args, nargs, kwnames, arg)) return nullptr;
    std::vector<std::filesystem::path> bases;
    if (!for_each_item(arg[0], [&](PyObject* item) {
            auto native = native_path(item);
            if (native) bases.emplace_back(*native);
            return native.has_value();
        })) {
        return nullptr;
    }
    usage_filter filter;
    if (!bound_argument(arg[1], filter.since) || !bound_argument(arg[2], filter.until)) {
        return nullptr;
    }
    if (filter.until) filter.until->nanos += 999;
    if (!for_each_item(arg[3], [&](PyObject* item) {
            auto text = text_argument(item, "projects");
            if (text) filter.projects.emplace_back(*text);
            return text.has_value();
        })) {
        return nullptr;
    }
    const int subagents = PyObject_IsTrue(arg[4]);
    if (subagents < 0) return nullptr;
    filter.subagents = subagents == 1;
    unsigned threads = 0;
    if (!threads_argument(arg[5], threads)) return nullptr;
    std::atomic<bool> cancel{false};
    usage_table table;
    const bool done = run_interruptible(
        [&] { return kestro::scan_usage(bases, filter, threads, &cancel); }, cancel, table);
    if (!done) return nullptr;
    return make_table(std::make_shared<const usage_table>(std::move(table)), {});
}

PyMethodDef k_functions[] = {
    {"scan_files", method(fast_entry<scan_files>), METH_FASTCALL | METH_KEYWORDS,
     "scan_files(files, *, threads=None)\n--\n\n"
     "Scans each (path, start_offset) from its offset on all cores: its replies merged within\n"
     "the file, its problems and its session's facts, as FileScan objects in the given order."},
    {"scan_tree", method(fast_entry<scan_tree>), METH_FASTCALL | METH_KEYWORDS,
     "scan_tree(bases, since_us, until_us, projects, subagents, threads)\n--\n\n"
     "The engine of kestro_sdk.scan_usage, with its arguments already normalised."},
    {},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "_scan", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
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
    if (g_epoch == nullptr) {
        ref datetime = ref::steal(PyImport_ImportModule("datetime"));
        if (!datetime) return false;
        ref timezone = ref::steal(PyObject_GetAttrString(datetime.get(), "timezone"));
        if (!timezone) return false;
        ref utc = ref::steal(PyObject_GetAttrString(timezone.get(), "utc"));
        ref type = ref::steal(PyObject_GetAttrString(datetime.get(), "datetime"));
        ref delta = ref::steal(PyObject_GetAttrString(datetime.get(), "timedelta"));
        if (!utc || !type || !delta) return false;
        ref args = ref::steal(Py_BuildValue("(iii)", 1970, 1, 1));
        ref kwargs = ref::steal(Py_BuildValue("{sO}", "tzinfo", utc.get()));
        if (!args || !kwargs) return false;
        ref epoch = ref::steal(PyObject_Call(type.get(), args.get(), kwargs.get()));
        if (!epoch) return false;
        g_epoch = epoch.release();
        g_timedelta = delta.release();
    }
    return names.add_functions(k_functions) && names.finish();
}

single_module g_single{&g_module_def,
                       "the _scan module of kestro_sdk does not support sub-interpreters", fill};

}  // namespace

PyTypeObject* type_object(class_id id) {
    return g_types[static_cast<std::size_t>(id)];
}

PyObject* utc_datetime(const date_time& t) {
    // timedelta(days, seconds, microseconds) takes any seconds and normalises them.
    ref delta =
        ref::steal(PyObject_CallFunction(g_timedelta, "iLI", 0, static_cast<long long>(t.seconds),
                                         static_cast<unsigned int>(t.nanos / 1000)));
    if (!delta) return nullptr;
    return PyNumber_Add(g_epoch, delta.get());
}

PyObject* problems_list(const std::vector<file_problems>& problems) {
    ref list = ref::steal(PyList_New(static_cast<Py_ssize_t>(problems.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < problems.size(); ++i) {
        const file_problems& p = problems[i];
        ref path = ref::steal(to_py(p.path));
        ref count = ref::steal(to_py(p.count));
        ref first = ref::steal(to_py(p.first));
        if (!path || !count || !first) return nullptr;
        PyObject* item = PyTuple_Pack(3, path.get(), count.get(), first.get());
        if (item == nullptr) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
    }
    return list.release();
}

}  // namespace kestro::py::scan

// The one name the interpreter looks for: reserved-looking, but not ours to choose.
PyMODINIT_FUNC PyInit__scan(void) {  // NOLINT(bugprone-reserved-identifier)
    return kestro::py::guarded([] { return kestro::py::scan::g_single.init(); });
}
