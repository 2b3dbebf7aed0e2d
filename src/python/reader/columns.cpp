// The columns of the Parquet export's messages, tool_calls and sessions tables, built from
// transcripts without a Python object per message:
//
//     export_columns([Transcript, ...], [(project, session_id), ...])
//         -> (messages, tool_calls, sessions)
//
// Each table is a list of columns (name, kind, length, validity, *buffers) in the layout of
// Arrow's large variants, for pyarrow.Array.from_buffers: kind "string" (int64 offsets, bytes),
// "int64" and "timestamp" (int64 values, microseconds), "bool" (a bitmap) and "list<string>"
// (int64 list offsets, then the items' offsets and bytes). Validity is a bitmap, or None when
// every value is present. The sessions table has one row per transcript given, in order.
#include <Python.h>

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "python/args.hpp"
#include "python/reader/objects.hpp"
#include "python/ref.hpp"
#include "session/transcript.hpp"
#include "types/message.hpp"

namespace kestro::py::reader {
namespace {

using view = packed_json::view;
using kind = packed_json::kind;

// ---- Sizes ---------------------------------------------------------------------------------

std::uint64_t digits(std::uint64_t v) {
    std::uint64_t n = 1;
    while (v >= 10) {
        v /= 10;
        ++n;
    }
    return n;
}

// A string as compact JSON writes it without escaping non-ASCII: quotes, and escapes for the
// quote, the backslash and control characters.
std::uint64_t quoted_size(std::string_view s) {
    std::uint64_t n = 2;
    for (const char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\' || c == '\b' || c == '\f' || c == '\n' || c == '\r' ||
            c == '\t') {
            n += 2;
        } else if (u < 0x20) {
            n += 6;  // \u00XX
        } else {
            n += 1;
        }
    }
    return n;
}

// The shortest text that reads back as `d`, with ".0" on integral values as Python writes them.
std::uint64_t real_size(double d) {
    if (!std::isfinite(d)) return std::isnan(d) ? 3 : (d < 0 ? 9 : 8);  // NaN, -Infinity
    std::array<char, 64> buf{};
    const auto [end, ec] = std::to_chars(buf.data(), buf.data() + buf.size(), d);
    if (ec != std::errc()) return 0;
    const std::string_view text(buf.data(), static_cast<std::size_t>(end - buf.data()));
    const bool bare = text.find_first_of(".eE") == std::string_view::npos;
    return text.size() + (bare ? 2 : 0);
}

std::uint64_t scalar_size(view v) {
    switch (v.kind()) {
        case kind::null:
            return 4;
        case kind::boolean:
            return v.boolean() ? 4 : 5;
        case kind::uint:
            return digits(v.uint());
        case kind::sint: {
            const std::int64_t i = v.sint();
            if (i >= 0) return digits(static_cast<std::uint64_t>(i));
            return 1 + digits(static_cast<std::uint64_t>(-(i + 1)) + 1);
        }
        case kind::real:
            return real_size(v.real());
        case kind::string:
            return quoted_size(v.string());
        case kind::array:
        case kind::object:
            break;  // json_size counts a container's brackets and members itself
    }
    return 0;
}

// Bytes of the value as compact JSON (no spaces, UTF-8). Walks the value with a stack of its
// open containers, so a deep input cannot exhaust the call stack. O(size).
std::uint64_t json_size(view root) {
    struct open_container {
        view next;
        std::size_t left;
    };
    std::vector<open_container> open;
    std::uint64_t size = 0;
    view v = root;
    for (;;) {
        const std::size_t n = v.size();
        if (v.kind() == kind::array || v.kind() == kind::object) {
            const std::size_t children = v.kind() == kind::object ? 2 * n : n;
            // Brackets, commas between members, and a colon per member of an object.
            size += 2 + (n > 0 ? n - 1 : 0) + (v.kind() == kind::object ? n : 0);
            if (children > 0) open.push_back({v.first_child(), children});
        } else {
            size += scalar_size(v);
        }
        while (!open.empty() && open.back().left == 0)
            open.pop_back();
        if (open.empty()) return size;
        open_container& top = open.back();
        v = top.next;
        if (--top.left > 0) top.next = v.next_sibling();
    }
}

std::uint64_t code_points(std::string_view s) {
    std::uint64_t n = 0;
    for (const char c : s) {
        n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }
    return n;
}

std::int64_t micros(const date_time& t) {
    return t.seconds * 1'000'000 + std::int64_t(t.nanos / 1000);
}

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    const std::int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

std::int64_t clamp(std::uint64_t v) {
    return v > std::uint64_t(INT64_MAX) ? INT64_MAX : std::int64_t(v);
}

// ---- Columns under construction -----------------------------------------------------------

struct text_column {
    std::vector<bool> present;
    std::vector<std::int64_t> offsets{0};
    std::string bytes;

    void push(std::optional<std::string_view> text) {
        present.push_back(text.has_value());
        if (text) bytes.append(*text);
        offsets.push_back(std::int64_t(bytes.size()));
    }
    void push(const std::optional<std::string>& text) {
        push(text ? std::optional<std::string_view>(*text) : std::nullopt);
    }
    [[nodiscard]] std::size_t size() const { return present.size(); }
};

struct int_column {
    std::vector<bool> present;
    std::vector<std::int64_t> values;

    void push(std::optional<std::int64_t> v) {
        present.push_back(v.has_value());
        values.push_back(v.value_or(0));
    }
    [[nodiscard]] std::size_t size() const { return values.size(); }
};

struct bool_column {
    std::vector<bool> present;
    std::vector<bool> values;

    void push(std::optional<bool> v) {
        present.push_back(v.has_value());
        values.push_back(v.value_or(false));
    }
    [[nodiscard]] std::size_t size() const { return values.size(); }
};

struct text_list_column {
    std::vector<std::int64_t> offsets{0};
    text_column items;

    void push(const std::vector<std::string_view>& texts) {
        for (const auto t : texts)
            items.push(t);
        offsets.push_back(std::int64_t(items.size()));
    }
    [[nodiscard]] std::size_t size() const { return offsets.size() - 1; }
};

struct message_columns {
    text_column project, session_id, agent_id, uuid, parent_uuid;
    int_column timestamp;
    text_column role;
    bool_column is_sidechain, is_meta;
    int_column text_length;
    text_list_column tools;
    int_column tool_results;
    text_column model, message_id, request_id;
    int_column line;
};

struct call_columns {
    text_column project, session_id, agent_id, tool_use_id, tool;
    int_column timestamp;
    text_column message_uuid;
    int_column input_bytes;
    bool_column has_result;
    int_column result_bytes;
    bool_column is_error;
    int_column duration_ms;
};

struct session_columns {
    int_column messages, prompts, subagents, tool_calls, tool_errors, problems;
};

struct columns {
    message_columns messages;
    call_columns calls;
    session_columns sessions;
};

struct label {
    std::string project;
    std::string session_id;
};

// ---- Filling -------------------------------------------------------------------------------

struct counts {
    std::int64_t messages = 0, prompts = 0, subagents = 0, tool_calls = 0, tool_errors = 0,
                 problems = 0;
};

std::optional<std::string_view> text_of(const std::optional<std::string>& s) {
    if (!s) return std::nullopt;
    return std::string_view(*s);
}

// A tool call waiting for its result: its row and its time.
struct open_call {
    std::size_t row;
    std::int64_t at;
};

void add_messages(columns& out, const label& l, const transcript& t, bool is_top, counts& n) {
    message_columns& m = out.messages;
    call_columns& c = out.calls;
    const std::optional<std::string_view> agent = is_top ? std::nullopt : text_of(t.agent_id);
    std::unordered_map<std::string_view, open_call> waiting;
    std::vector<std::string_view> names;
    for (const transcript_message& msg : t.messages) {
        const transcript_record& rec = t.records[msg.record];
        const std::int64_t at = micros(msg.timestamp);
        const view content = msg.content.root();
        std::int64_t results = 0;
        if (content.kind() == kind::array) {
            view block = content.first_child();
            for (std::size_t i = 0; i < content.size(); ++i, block = block.next_sibling()) {
                const auto type = find_text(block, {"type"});
                if (type == "tool_use") {
                    const auto id = find_text(block, {"id"});
                    const auto input = find_member(block, "input");
                    if (id) waiting[*id] = open_call{c.tool.size(), at};
                    c.project.push(std::string_view(l.project));
                    c.session_id.push(std::string_view(l.session_id));
                    c.agent_id.push(agent);
                    c.tool_use_id.push(id);
                    c.tool.push(find_text(block, {"name"}));
                    c.timestamp.push(at);
                    c.message_uuid.push(rec.uuid);
                    c.input_bytes.push(input ? clamp(json_size(*input)) : std::int64_t{4});  // null
                    c.has_result.push(false);
                    c.result_bytes.push(std::nullopt);
                    c.is_error.push(std::nullopt);
                    c.duration_ms.push(std::nullopt);
                    ++n.tool_calls;
                } else if (type == "tool_result") {
                    ++results;
                    const auto id = find_text(block, {"tool_use_id"});
                    const auto found = id ? waiting.find(*id) : waiting.end();
                    if (found == waiting.end())
                        continue;  // no call in this log, or a second result
                    const open_call call = found->second;
                    waiting.erase(found);
                    const auto result = find_member(block, "content");
                    const auto error = find_member(block, "is_error");
                    const bool is_error =
                        error && error->kind() == kind::boolean && error->boolean();
                    c.has_result.values[call.row] = true;
                    c.has_result.present[call.row] = true;
                    c.result_bytes.values[call.row] =
                        result ? std::int64_t(content_text(*result).size()) : 0;
                    c.result_bytes.present[call.row] = true;
                    c.is_error.values[call.row] = is_error;
                    c.is_error.present[call.row] = true;
                    c.duration_ms.values[call.row] = floor_div(at - call.at, 1000);
                    c.duration_ms.present[call.row] = true;
                    n.tool_errors += is_error;
                }
            }
        }
        names.clear();
        tool_names(content, names);
        m.project.push(std::string_view(l.project));
        m.session_id.push(std::string_view(l.session_id));
        m.agent_id.push(agent);
        m.uuid.push(rec.uuid);
        m.parent_uuid.push(rec.parent_uuid);
        m.timestamp.push(at);
        m.role.push(to_json_text(msg.role));
        m.is_sidechain.push(msg.is_sidechain);
        m.is_meta.push(msg.is_meta);
        m.text_length.push(clamp(code_points(content_text(content))));
        m.tools.push(names);
        m.tool_results.push(results);
        m.model.push(msg.model);
        m.message_id.push(msg.message_id);
        m.request_id.push(msg.request_id);
        m.line.push(clamp(rec.line));
        ++n.messages;
        n.prompts +=
            is_top && msg.role == role::user && results == 0 && !msg.is_meta && !msg.is_sidechain;
    }
}

void add_session(columns& out, const label& l, const transcript& top) {
    counts n;
    std::vector<std::pair<const transcript*, bool>> pending{{&top, true}};
    while (!pending.empty()) {
        const auto [t, is_top] = pending.back();
        pending.pop_back();
        n.subagents += !is_top;
        for (const transcript_record& r : t->records) {
            n.problems += r.kind == record_kind::problem;
        }
        add_messages(out, l, *t, is_top, n);
        // Sub-agents in their order: the stack takes them last first.
        for (auto s = t->subagents.rbegin(); s != t->subagents.rend(); ++s) {
            pending.emplace_back(s->get(), false);
        }
    }
    session_columns& s = out.sessions;
    s.messages.push(n.messages);
    s.prompts.push(n.prompts);
    s.subagents.push(n.subagents);
    s.tool_calls.push(n.tool_calls);
    s.tool_errors.push(n.tool_errors);
    s.problems.push(n.problems);
}

// ---- To Python -----------------------------------------------------------------------------

ref bytes_of(const void* data, std::size_t size) {
    return ref::steal(PyBytes_FromStringAndSize(static_cast<const char*>(data), Py_ssize_t(size)));
}

template <class T>
ref bytes_of(const std::vector<T>& v) {
    return bytes_of(v.data(), v.size() * sizeof(T));
}

// Least significant bit first, as Arrow lays out bitmaps.
ref bitmap(const std::vector<bool>& bits) {
    std::vector<std::uint8_t> out((bits.size() + 7) / 8, 0);
    for (std::size_t i = 0; i < bits.size(); ++i) {
        if (bits[i]) out[i / 8] |= std::uint8_t(1u << (i % 8));
    }
    return bytes_of(out);
}

ref validity(const std::vector<bool>& present) {
    for (const bool p : present) {
        if (!p) return bitmap(present);
    }
    return ref::borrow(Py_None);
}

// (name, kind, length, validity, *buffers): a new tuple, or an empty ref with an error set.
ref column_tuple(const char* name, const char* kind_name, std::size_t length, ref valid,
                 std::initializer_list<ref*> buffers) {
    ref out = ref::steal(PyTuple_New(Py_ssize_t(3 + 1 + buffers.size())));
    ref n = ref::steal(PyUnicode_FromString(name));
    ref k = ref::steal(PyUnicode_FromString(kind_name));
    ref len = ref::steal(PyLong_FromSize_t(length));
    if (!out || !n || !k || !len || !valid) return ref();
    PyTuple_SetItem(out.get(), 0, n.release());
    PyTuple_SetItem(out.get(), 1, k.release());
    PyTuple_SetItem(out.get(), 2, len.release());
    PyTuple_SetItem(out.get(), 3, valid.release());
    Py_ssize_t i = 4;
    for (ref* b : buffers) {
        if (!*b) return ref();
        PyTuple_SetItem(out.get(), i++, b->release());
    }
    return out;
}

ref to_tuple(const char* name, const text_column& c) {
    ref offsets = bytes_of(c.offsets);
    ref bytes = bytes_of(c.bytes.data(), c.bytes.size());
    return column_tuple(name, "string", c.size(), validity(c.present), {&offsets, &bytes});
}
ref to_tuple(const char* name, const int_column& c, const char* kind_name = "int64") {
    ref values = bytes_of(c.values);
    return column_tuple(name, kind_name, c.size(), validity(c.present), {&values});
}
ref to_tuple(const char* name, const bool_column& c) {
    ref values = bitmap(c.values);
    return column_tuple(name, "bool", c.size(), validity(c.present), {&values});
}
ref to_tuple(const char* name, const text_list_column& c) {
    ref offsets = bytes_of(c.offsets);
    ref item_offsets = bytes_of(c.items.offsets);
    ref item_bytes = bytes_of(c.items.bytes.data(), c.items.bytes.size());
    return column_tuple(name, "list<string>", c.size(), ref::borrow(Py_None),
                        {&offsets, &item_offsets, &item_bytes});
}

// A list of the columns; empty ref with an error set on failure.
ref table(std::initializer_list<ref> cols) {
    ref list = ref::steal(PyList_New(0));
    if (!list) return list;
    for (const ref& c : cols) {
        if (!c || PyList_Append(list.get(), c.get()) < 0) return ref();
    }
    return list;
}

ref to_python(const columns& c) {
    const message_columns& m = c.messages;
    ref messages = table({
        to_tuple("project", m.project),
        to_tuple("session_id", m.session_id),
        to_tuple("agent_id", m.agent_id),
        to_tuple("uuid", m.uuid),
        to_tuple("parent_uuid", m.parent_uuid),
        to_tuple("timestamp", m.timestamp, "timestamp"),
        to_tuple("role", m.role),
        to_tuple("is_sidechain", m.is_sidechain),
        to_tuple("is_meta", m.is_meta),
        to_tuple("text_length", m.text_length),
        to_tuple("tools", m.tools),
        to_tuple("tool_results", m.tool_results),
        to_tuple("model", m.model),
        to_tuple("message_id", m.message_id),
        to_tuple("request_id", m.request_id),
        to_tuple("line", m.line),
    });
    const call_columns& k = c.calls;
    ref calls = table({
        to_tuple("project", k.project),
        to_tuple("session_id", k.session_id),
        to_tuple("agent_id", k.agent_id),
        to_tuple("tool_use_id", k.tool_use_id),
        to_tuple("tool", k.tool),
        to_tuple("timestamp", k.timestamp, "timestamp"),
        to_tuple("message_uuid", k.message_uuid),
        to_tuple("input_bytes", k.input_bytes),
        to_tuple("has_result", k.has_result),
        to_tuple("result_bytes", k.result_bytes),
        to_tuple("is_error", k.is_error),
        to_tuple("duration_ms", k.duration_ms),
    });
    const session_columns& s = c.sessions;
    ref sessions = table({
        to_tuple("messages", s.messages),
        to_tuple("prompts", s.prompts),
        to_tuple("subagents", s.subagents),
        to_tuple("tool_calls", s.tool_calls),
        to_tuple("tool_errors", s.tool_errors),
        to_tuple("problems", s.problems),
    });
    if (!messages || !calls || !sessions) return ref();
    return ref::steal(PyTuple_Pack(3, messages.get(), calls.get(), sessions.get()));
}

// ---- The function --------------------------------------------------------------------------

bool text_item(PyObject* tuple, Py_ssize_t i, std::string& out) {
    PyObject* item = PyTuple_GetItem(tuple, i);  // borrowed from the tuple
    if (item == nullptr) return false;
    if (!PyUnicode_Check(item)) {
        PyErr_SetString(PyExc_TypeError, "labels must be (project, session_id) pairs of str");
        return false;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size);
    if (utf8 == nullptr) return false;
    out.assign(utf8, std::size_t(size));
    return true;
}

}  // namespace

PyObject* export_columns(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const parameters params{"export_columns()", {"transcripts", "labels"}, 2};
    PyObject* arg[2] = {};
    if (!match_arguments(params, args, nargs, kwnames, arg)) return nullptr;
    ref transcripts = ref::steal(PySequence_List(arg[0]));
    ref labels = ref::steal(PySequence_List(arg[1]));
    if (!transcripts || !labels) return nullptr;
    const Py_ssize_t count = PyList_Size(transcripts.get());
    if (PyList_Size(labels.get()) != count) {
        return raise(PyExc_ValueError, "export_columns() needs one label per transcript");
    }
    PyTypeObject* type = type_object(class_id::transcript);
    std::vector<std::shared_ptr<const transcript>> owners;
    std::vector<const transcript*> items;
    std::vector<label> names(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* t = PyList_GetItem(transcripts.get(), i);  // borrowed from the list
        if (!PyObject_TypeCheck(t, type)) {
            return PyErr_Format(PyExc_TypeError, "transcripts must hold Transcript objects, not %R",
                                reinterpret_cast<PyObject*>(Py_TYPE(t)));
        }
        owners.push_back(cast<transcript_obj>(t).owner);
        items.push_back(cast<transcript_obj>(t).item);
        PyObject* l = PyList_GetItem(labels.get(), i);  // borrowed from the list
        if (!PyTuple_Check(l) || PyTuple_Size(l) != 2) {
            return raise(PyExc_TypeError, "labels must be (project, session_id) pairs of str");
        }
        auto& name = names[std::size_t(i)];
        if (!text_item(l, 0, name.project) || !text_item(l, 1, name.session_id)) return nullptr;
    }
    columns out;
    std::exception_ptr failure;
    // The transcripts are immutable and kept alive by `owners`: built without the lock.
    PyThreadState* saved = PyEval_SaveThread();
    try {
        for (std::size_t i = 0; i < items.size(); ++i) {
            add_session(out, names[i], *items[i]);
        }
    } catch (...) {
        failure = std::current_exception();
    }
    PyEval_RestoreThread(saved);
    if (failure) std::rethrow_exception(failure);
    return to_python(out).release();
}

}  // namespace kestro::py::reader
