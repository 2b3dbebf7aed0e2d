// The process-wide type slots and the roles every class shares.
#include "python/types.hpp"

#include <array>
#include <string>

#include "python/classes.hpp"
#include "python/models.hpp"
#include "python/ref.hpp"

namespace kestro::py {
namespace {

// Filled once each and kept for the life of the process; the module never tears down.
std::array<PyTypeObject*, k_class_count> g_types{};
bool g_initialised = false;

}  // namespace

void mark_initialised() {
    g_initialised = true;
}

PyTypeObject* type_object(class_id id) {
    const auto index = static_cast<std::size_t>(id);
    if (g_types[index] != nullptr) return g_types[index];
    const PyType_Spec* spec = value_class_spec(id);
    if (spec == nullptr) spec = main_class_spec(id);
    if (spec == nullptr) {
        raise_panic("no description for a class of the module");
        return nullptr;
    }
    PyObject* created = PyType_FromSpec(const_cast<PyType_Spec*>(spec));
    if (created == nullptr) {
        if (g_initialised) {
            // A class first used after import: its own error is reported, the call faults.
            PyErr_Print();
            const std::string name = std::string(spec->name).substr(sizeof("kestro_sdk.") - 1);
            raise_panic("failed to create type object for " + name);
        }
        return nullptr;
    }
    g_types[index] = reinterpret_cast<PyTypeObject*>(created);
    return g_types[index];
}

}  // namespace kestro::py
