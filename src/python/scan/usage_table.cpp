// UsageTable: the rows of a usage scan, as a sequence of rows and as an Arrow stream.
//
//     len(table), table[i], iter(table) -> UsageRow     table.problems
//     table.with_costs(prices, mode="auto") -> UsageTable with cost_usd set
//     table.__arrow_c_stream__() -> PyCapsule "arrow_array_stream"
#include <string>
#include <vector>

#include "python/args.hpp"
#include "python/scan/objects.hpp"

namespace kestro::py::scan {

namespace {

Py_ssize_t UsageTable_len(PyObject* self) {
    return static_cast<Py_ssize_t>(cast<table_obj>(self).table->rows.size());
}

PyObject* UsageTable_item(PyObject* self, Py_ssize_t index) {
    const auto& o = cast<table_obj>(self);
    const auto n = static_cast<Py_ssize_t>(o.table->rows.size());
    if (index < 0 || index >= n) return raise(PyExc_IndexError, "UsageTable index out of range");
    return make_row(o, static_cast<std::size_t>(index));
}

PyObject* UsageTable_iter(PyObject* self) {
    return PySeqIter_New(self);
}

ref UsageTable_problems(const table_obj& o) {
    return ref::steal(problems_list(o.table->problems));
}
bool UsageTable_has_costs(const table_obj& o) {
    return o.costs != nullptr;
}
std::vector<std::optional<std::string>> UsageTable_unpriced_models(const table_obj& o) {
    if (!o.costs) return {};
    return o.costs->unpriced;
}

PyObject* UsageTable_repr(PyObject* self) {
    const auto& o = cast<table_obj>(self);
    return to_py("<UsageTable rows=" + std::to_string(o.table->rows.size()) +
                 " files_with_problems=" + std::to_string(o.table->problems.size()) +
                 (o.costs ? " with costs>" : ">"));
}

// Costs come from kestro_sdk.pricing, so that the scan and every other caller price alike.
PyObject* UsageTable_with_costs(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    static const parameters params{"UsageTable.with_costs()", {"prices", "mode"}, 0};
    PyObject* arg[2] = {};
    if (!match_arguments(params, args, nargs, kwnames, arg)) return nullptr;
    ref pricing = ref::steal(PyImport_ImportModule("kestro_sdk.pricing"));
    if (!pricing) return nullptr;
    ref table = ref::steal(PyObject_CallMethod(pricing.get(), "load_prices", "O",
                                               arg[0] != nullptr ? arg[0] : Py_None));
    if (!table) return nullptr;
    ref mode = ref::steal(arg[1] != nullptr ? Py_NewRef(arg[1]) : PyUnicode_FromString("auto"));
    if (!mode) return nullptr;
    ref result = ref::steal(
        PyObject_CallMethod(pricing.get(), "costs", "OOO", self, table.get(), mode.get()));
    if (!result) return nullptr;
    ref cost_list = ref::steal(PyObject_GetAttrString(result.get(), "costs"));
    ref unpriced = ref::steal(PyObject_GetAttrString(result.get(), "unpriced_models"));
    if (!cost_list || !unpriced) return nullptr;
    const auto& o = cast<table_obj>(self);
    auto costs = std::make_shared<table_costs>();
    const Py_ssize_t n = PyList_Size(cost_list.get());
    if (n < 0) return nullptr;
    if (static_cast<std::size_t>(n) != o.table->rows.size()) {
        return raise(PyExc_RuntimeError, "the price computation did not give one cost per row");
    }
    costs->cost.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* c = PyList_GetItem(cost_list.get(), i);  // borrowed from cost_list
        if (c == Py_None) {
            costs->cost.emplace_back();
            continue;
        }
        const double value = PyFloat_AsDouble(c);
        if (value == -1.0 && PyErr_Occurred() != nullptr) return nullptr;
        costs->cost.emplace_back(value);
    }
    const Py_ssize_t m = PyList_Size(unpriced.get());
    if (m < 0) return nullptr;
    for (Py_ssize_t i = 0; i < m; ++i) {
        PyObject* name = PyList_GetItem(unpriced.get(), i);  // borrowed from unpriced
        if (name == Py_None) {
            costs->unpriced.emplace_back();
            continue;
        }
        auto text = utf8_of(name);
        if (!text) return nullptr;
        costs->unpriced.emplace_back(std::string(*text));
    }
    return make_table(o.table, std::move(costs));
}

void Stream_capsule_free(PyObject* capsule) {
    auto* stream =
        static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, "arrow_array_stream"));
    if (stream == nullptr) {
        PyErr_Clear();
        return;
    }
    // A consumer that took the stream marked it released; one that did not leaves it to us.
    if (stream->release != nullptr) stream->release(stream);
    delete stream;
}

PyObject* UsageTable_arrow_c_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    static const parameters params{"UsageTable.__arrow_c_stream__()", {"requested_schema"}, 0};
    PyObject* arg[1] = {};
    if (!match_arguments(params, args, nargs, kwnames, arg)) return nullptr;
    // The requested schema is a hint a producer may ignore; the columns are fixed.
    const auto& o = cast<table_obj>(self);
    auto stream = std::make_unique<ArrowArrayStream>();
    export_stream(o.table, o.costs, stream.get());
    PyObject* capsule = PyCapsule_New(stream.get(), "arrow_array_stream", Stream_capsule_free);
    if (capsule == nullptr) {
        stream->release(stream.get());
        return nullptr;
    }
    (void)stream.release();  // the capsule owns it now
    return capsule;
}

PyGetSetDef UsageTable_getset[] = {
    computed<table_obj, UsageTable_problems>("problems"),
    computed<table_obj, UsageTable_has_costs>("has_costs"),
    computed<table_obj, UsageTable_unpriced_models>("unpriced_models"),
    {},
};

constexpr int k_fast = METH_FASTCALL | METH_KEYWORDS;
PyMethodDef UsageTable_methods[] = {
    {"with_costs", method(fast_entry<UsageTable_with_costs>), k_fast,
     "with_costs($self, prices=None, mode='auto')\n--\n\n"
     "The same rows with cost_usd set by kestro_sdk.pricing.costs; prices as load_prices "
     "takes them."},
    {"__arrow_c_stream__", method(fast_entry<UsageTable_arrow_c_stream>), k_fast,
     "__arrow_c_stream__($self, requested_schema=None)\n--\n\n"
     "The rows as an Arrow C stream in a PyCapsule named 'arrow_array_stream'."},
    {},
};

template <auto Fn>
PyObject* item_entry(PyObject* self, Py_ssize_t index) noexcept {
    return guarded([&] { return Fn(self, index); });
}

PyType_Slot UsageTable_slots[] = {
    {Py_tp_getset, UsageTable_getset},
    {Py_tp_methods, UsageTable_methods},
    {Py_tp_repr, slot(unary_entry<UsageTable_repr>)},
    {Py_tp_iter, slot(unary_entry<UsageTable_iter>)},
    {Py_sq_length, slot(length_entry<UsageTable_len>)},
    {Py_sq_item, slot(item_entry<UsageTable_item>)},
    {Py_tp_new, slot(refuse_new)},
    {Py_tp_traverse, slot(traverse_type)},
    {Py_tp_dealloc, slot(destroy<table_obj>)},
    {0, nullptr},
};

}  // namespace

PyType_Spec UsageTable_spec{class_name(class_id::usage_table), sizeof(table_obj), 0, k_type_flags,
                            UsageTable_slots};

PyObject* make_table(std::shared_ptr<const usage_table> table,
                     std::shared_ptr<const table_costs> costs) {
    PyObject* self = PyType_GenericAlloc(type_object(class_id::usage_table), 0);
    if (self == nullptr) return nullptr;
    auto& o = cast<table_obj>(self);
    new (&o.table) std::shared_ptr<const usage_table>(std::move(table));
    new (&o.costs) std::shared_ptr<const table_costs>(std::move(costs));
    return self;
}

}  // namespace kestro::py::scan
