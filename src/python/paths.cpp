// Path arguments of the module functions.
#include "python/paths.hpp"

#include "python/exceptions.hpp"
#include "python/ref.hpp"

namespace kestro::py {

std::optional<std::string> native_path(PyObject* arg) {
    ref fs = ref::steal(PyOS_FSPath(arg));
    if (!fs) return std::nullopt;
    ref os_path = ref::steal(PyImport_ImportModule("os.path"));
    if (!os_path) return std::nullopt;
    ref expanded = ref::steal(PyObject_CallMethod(os_path.get(), "expanduser", "O", fs.get()));
    if (!expanded) return std::nullopt;
    ref bytes =
        ref::steal(PyBytes_Check(expanded.get()) ? Py_NewRef(expanded.get())
                                                 : PyUnicode_EncodeFSDefault(expanded.get()));
    if (!bytes) return std::nullopt;
    std::string native(PyBytes_AsString(bytes.get()),
                       static_cast<std::size_t>(PyBytes_Size(bytes.get())));
    if (native.find('\0') != std::string::npos) {
        raise(PyExc_ValueError, "embedded null byte");
        return std::nullopt;
    }
    return native;
}

}  // namespace kestro::py
