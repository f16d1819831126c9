#include "errors.hpp"

namespace plindra {

namespace {

py::PinnedRef g_panic_type;

PyObject* panic_type() noexcept {
  if (!g_panic_type) {
    // The class name is kept verbatim: callers match on it.
    g_panic_type.set_once(py::Ref::steal(PyErr_NewExceptionWithDoc(
        "_plindra.PanicException", "An internal invariant of _plindra failed.", PyExc_BaseException, nullptr)));
  }
  return g_panic_type.get();
}

}  // namespace

void set_error(PyObject* type, std::string_view message) {
  py::Ref text =
      py::Ref::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) return;  // the decode error (e.g. MemoryError) stays set
  PyErr_SetObject(type, text.get());
}

void ensure_error_set() noexcept {
  if (PyErr_Occurred() == nullptr) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
}

void raise_panic(std::string_view message) noexcept {
  PyObject* type = panic_type();
  if (type == nullptr) {
    // Could not create the type; report a SystemError on top of that failure.
    PyErr_Clear();
    type = PyExc_SystemError;
  }
  set_error(type, message);
}

std::string type_qualname(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
#if PY_VERSION_HEX >= 0x030B0000
  py::Ref name = py::Ref::steal(PyType_GetQualName(type));
#else
  py::Ref name = py::Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__"));
#endif
  if (name && PyUnicode_Check(name.get())) {
    Py_ssize_t size = 0;
    if (const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size)) {
      return std::string(text, static_cast<std::size_t>(size));
    }
  }
  PyErr_Clear();
  return "<failed to extract type name>";
}

void raise_cannot_convert(PyObject* obj, std::string_view target, const char* arg) {
  std::string message;
  if (arg != nullptr) message.append("argument '").append(arg).append("': ");
  message.append("'").append(type_qualname(obj)).append("' object cannot be converted to '");
  message.append(target).append("'");
  set_error(PyExc_TypeError, message);
}

void cast_error_to_pyerr(const morvith_plindra::CastError& error) { set_error(PyExc_ValueError, error.message()); }

}  // namespace plindra
