// MessageIterator: iter(session), the session's messages in file order.
//
//     next(iterator) -> new Message view; the iterator keeps the session alive
#include "python/classes.hpp"

namespace kestro::py {
namespace {

struct iterator_obj {
    PyObject_HEAD std::shared_ptr<const session> owner;
    std::size_t position;
    bool borrowed;  // held exclusively while __next__ runs
};

PyObject* MessageIterator_iter(PyObject* self) {
    if (cast<iterator_obj>(self).borrowed) {
        return raise(PyExc_RuntimeError, "Already mutably borrowed");
    }
    return Py_NewRef(self);
}

PyObject* MessageIterator_next(PyObject* self) {
    auto& it = cast<iterator_obj>(self);
    if (it.borrowed) return raise(PyExc_RuntimeError, "Already borrowed");
    it.borrowed = true;
    PyObject* result = nullptr;
    const auto& records = it.owner->parsed.messages;
    if (it.position < records.size()) {
        result = make_message(it.owner, &records[it.position]);
        if (result != nullptr) ++it.position;
    }
    it.borrowed = false;
    return result;  // nullptr without an error set: exhausted
}

constexpr const char* MessageIterator_doc = "Iterator for messages in a session";

PyType_Slot MessageIterator_slots[] = {
    {Py_tp_doc, const_cast<char*>(MessageIterator_doc)},
    {Py_tp_new, slot(refuse_new)},
    {Py_tp_dealloc, slot(destroy<iterator_obj>)},
    {Py_tp_traverse, slot(traverse_type)},
    {Py_tp_iter, slot(unary_entry<MessageIterator_iter>)},
    {Py_tp_iternext, slot(unary_entry<MessageIterator_next>)},
    {0, nullptr},
};

}  // namespace

PyType_Spec MessageIterator_spec{class_name(class_id::message_iterator), sizeof(iterator_obj), 0,
                                 k_type_flags, MessageIterator_slots};

PyObject* make_iterator(const std::shared_ptr<const session>& owner) {
    PyTypeObject* type = type_object(class_id::message_iterator);
    if (type == nullptr) return nullptr;
    PyObject* self = PyType_GenericAlloc(type, 0);
    if (self == nullptr) return nullptr;
    auto& it = cast<iterator_obj>(self);
    new (&it.owner) std::shared_ptr<const session>(owner);
    it.position = 0;
    it.borrowed = false;
    return self;
}

}  // namespace kestro::py
