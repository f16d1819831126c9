// The _plindra module: initialisation, cast_array and cast_array_into.
#define PLINDRA_NUMPY_IMPORT
#include "numpy_api.hpp"

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "arguments.hpp"
#include "dispatch.hpp"
#include "errors.hpp"
#include "morvith_plindra/modes.hpp"
#include "morvith_plindra/variants.hpp"
#include "shape.hpp"

namespace plindra {

namespace {

using morvith_plindra::OutOfRangeMode;
using morvith_plindra::RoundingMode;

// Kept verbatim: callers match on it. The part before "--" is the text
// signature (inspect.signature); python/_plindra.pyi repeats it for editors.
constexpr const char kCastArrayDoc[] =
    "cast_array(arr, *, target_dtype, rounding_mode, out_of_range_mode=None, scalar_map_entries=None)\n"
    "--\n"
    "\n"
    "Cast a numpy array to a new dtype, allocating a new output array.\n"
    "\n"
    "# Arguments\n"
    "\n"
    "* `arr` - Input numpy array\n"
    "* `target_dtype` - Target dtype string (e.g. \"uint8\", \"float32\")\n"
    "* `rounding_mode` - Rounding mode string (e.g. \"nearest-even\")\n"
    "* `out_of_range_mode` - Optional out-of-range handling (\"clamp\" or \"wrap\")\n"
    "* `scalar_map_entries` - Optional list of [source, target] pairs\n"
    "\n"
    "# Returns\n"
    "\n"
    "A new numpy array with the target dtype.\n"
    "\n"
    "# Errors\n"
    "\n"
    "Returns `PyValueError` for invalid rounding/out-of-range modes or\n"
    "conversion errors. Returns `PyTypeError` for unsupported dtypes.";

// Kept verbatim: callers match on it.
constexpr const char kCastArrayIntoDoc[] =
    "cast_array_into(arr, out, *, rounding_mode, out_of_range_mode=None, scalar_map_entries=None)\n"
    "--\n"
    "\n"
    "Cast a numpy array into a pre-allocated output array.\n"
    "\n"
    "# Arguments\n"
    "\n"
    "* `arr` - Input numpy array\n"
    "* `out` - Pre-allocated output numpy array (must match input shape)\n"
    "* `rounding_mode` - Rounding mode string (e.g. \"nearest-even\")\n"
    "* `out_of_range_mode` - Optional out-of-range handling (\"clamp\" or \"wrap\")\n"
    "* `scalar_map_entries` - Optional list of [source, target] pairs\n"
    "\n"
    "# Returns\n"
    "\n"
    "None on success.\n"
    "\n"
    "# Errors\n"
    "\n"
    "Returns `PyValueError` for shape mismatch, invalid modes, or conversion\n"
    "errors. Returns `PyTypeError` for unsupported dtypes.";

constexpr std::string_view kCastArrayNames[] = {"arr", "target_dtype", "rounding_mode", "out_of_range_mode",
                                                "scalar_map_entries"};
PyObject* g_cast_array_interned[std::size(kCastArrayNames)] = {};
constexpr Parameters kCastArrayParams = {"cast_array", kCastArrayNames, 5, 1, 2, g_cast_array_interned};

constexpr std::string_view kCastArrayIntoNames[] = {"arr", "out", "rounding_mode", "out_of_range_mode",
                                                    "scalar_map_entries"};
PyObject* g_cast_array_into_interned[std::size(kCastArrayIntoNames)] = {};
constexpr Parameters kCastArrayIntoParams = {"cast_array_into",         kCastArrayIntoNames, 5, 2, 1,
                                             g_cast_array_into_interned};

// Argument conversions. A TypeError of the conversion names the argument.

bool convert_array(PyObject* obj, const char* arg) {
  if (PyArray_Check(obj)) return true;
  raise_cannot_convert(obj, "PyUntypedArray", arg);  // kept verbatim: callers match on it
  return false;
}

// The UTF-8 text of a str (borrowed from `obj`).
bool convert_text(PyObject* obj, const char* arg, std::string_view& text) {
  if (!PyUnicode_Check(obj)) {
    raise_cannot_convert(obj, "PyString", arg);  // kept verbatim: callers match on it
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) return false;  // the encoding error passes unchanged
  text = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

template <class Mode, class Parse>
bool convert_mode(PyObject* obj, const char* arg, Parse parse, Mode& mode) {
  std::string_view text;
  if (!convert_text(obj, arg, text)) return false;
  auto parsed = parse(text);
  if (const Mode* value = std::get_if<Mode>(&parsed)) {
    mode = *value;
    return true;
  }
  set_error(PyExc_ValueError, std::get<std::string>(parsed));
  return false;
}

bool convert_rounding(PyObject* obj, RoundingMode& mode) {
  return convert_mode(obj, "rounding_mode", morvith_plindra::parse_rounding_mode, mode);
}

// Not given or None: an out-of-range value is an error.
bool convert_out_of_range(PyObject* obj, OutOfRangeMode& mode) {
  if (obj == nullptr || obj == Py_None) {
    mode = OutOfRangeMode::Error;
    return true;
  }
  return convert_mode(obj, "out_of_range_mode", morvith_plindra::parse_out_of_range_mode, mode);
}

PyObject* optional_object(PyObject* obj) { return obj == Py_None ? nullptr : obj; }

PyObject* cast_array(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  PyObject* slots[5];
  if (!bind_arguments(kCastArrayParams, args, nargsf, kwnames, slots)) return nullptr;
  PyObject* arr = slots[0];
  std::string_view target;
  RoundingMode rounding{};
  OutOfRangeMode out_of_range{};
  if (!convert_array(arr, "arr") || !convert_text(slots[1], "target_dtype", target) ||
      !convert_rounding(slots[2], rounding) || !convert_out_of_range(slots[3], out_of_range)) {
    return nullptr;
  }
  PyObject* scalar_map_entries = optional_object(slots[4]);

  std::string_view source;
  if (!array_dtype_key(arr, source)) return nullptr;
  return dispatch_alloc(arr, source, target, rounding, out_of_range, scalar_map_entries);
}

PyObject* cast_array_into(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  PyObject* slots[5];
  if (!bind_arguments(kCastArrayIntoParams, args, nargsf, kwnames, slots)) return nullptr;
  PyObject* arr = slots[0];
  PyObject* out = slots[1];
  RoundingMode rounding{};
  OutOfRangeMode out_of_range{};
  if (!convert_array(arr, "arr") || !convert_array(out, "out") || !convert_rounding(slots[2], rounding) ||
      !convert_out_of_range(slots[3], out_of_range)) {
    return nullptr;
  }
  PyObject* scalar_map_entries = optional_object(slots[4]);

  std::string_view source;
  std::string_view target;
  if (!array_dtype_key(arr, source) || !array_dtype_key(out, target)) return nullptr;
  auto* in_array = reinterpret_cast<PyArrayObject*>(arr);
  auto* out_array = reinterpret_cast<PyArrayObject*>(out);
  if (!same_shape(in_array, out_array)) {
    raise_shape_mismatch(in_array, out_array);
    return nullptr;
  }
  return dispatch_into(arr, out, source, target, rounding, out_of_range, scalar_map_entries);
}

PyObject* cast_array_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&] { return cast_array(args, nargsf, kwnames); });
}

PyObject* cast_array_into_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&] { return cast_array_into(args, nargsf, kwnames); });
}

PyMethodDef g_methods[] = {
    {"cast_array", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(cast_array_entry)),
     METH_FASTCALL | METH_KEYWORDS, kCastArrayDoc},
    {"cast_array_into", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(cast_array_into_entry)),
     METH_FASTCALL | METH_KEYWORDS, kCastArrayIntoDoc},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "_plindra",  // m_name
    "",          // m_doc
    0,           // m_size
    nullptr,     // m_methods: added by the module body
    nullptr,     // m_slots
    nullptr,     // m_traverse
    nullptr,     // m_clear
    nullptr,     // m_free
};

// The first interpreter that initialised the module; others are refused.
std::atomic<std::int64_t> g_interpreter_id{-1};
py::PinnedRef g_module;

// Adds one function to the module and its name to __all__.
bool add_function(PyObject* module, PyMethodDef* def) {
  py::Ref module_name = py::Ref::steal(PyModule_GetNameObject(module));
  if (!module_name) return false;
  py::Ref function = py::Ref::steal(PyCMethod_New(def, module, module_name.get(), nullptr));
  if (!function) return false;
  py::Ref name = py::Ref::steal(PyObject_GetAttrString(function.get(), "__name__"));
  if (!name) return false;
  if (!PyUnicode_Check(name.get())) {
    raise_cannot_convert(name.get(), "PyString");  // kept verbatim: callers match on it
    return false;
  }
  py::Ref all = py::Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = py::Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  if (!PyList_Check(all.get())) {
    raise_cannot_convert(all.get(), "PyList");  // kept verbatim: callers match on it
    return false;
  }
  if (PyList_Append(all.get(), name.get()) < 0) return false;
  return PyObject_SetAttr(module, name.get(), function.get()) == 0;
}

PyObject* make_module() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) {
    ensure_error_set();
    return nullptr;
  }
  std::int64_t recorded = -1;
  if (!g_interpreter_id.compare_exchange_strong(recorded, id) && recorded != id) {
    PyErr_SetString(PyExc_ImportError,
                    "_plindra does not support sub-interpreters: it was already initialised in another "
                    "interpreter of this process");
    return nullptr;
  }
  if (g_module) return py::Ref::borrow(g_module.get()).release();

  if (PyArray_ImportNumPyAPI() < 0) return nullptr;
  // A PLINDRA_KERNEL_VARIANT that picks no variant stops the import.
  if (const std::string why = morvith_plindra::variant_environment_error(); !why.empty()) {
    set_error(PyExc_ImportError, why);
    return nullptr;
  }
  py::Ref module = py::Ref::steal(PyModule_Create2(&g_module_def, PYTHON_API_VERSION));
  if (!module) {
    ensure_error_set();
    return nullptr;
  }
#ifdef Py_GIL_DISABLED
  PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_USED);
#endif
  for (PyMethodDef& def : g_methods) {
    if (!add_function(module.get(), &def)) return nullptr;
  }
  g_module.set_once(std::move(module));
  return py::Ref::borrow(g_module.get()).release();
}

}  // namespace

}  // namespace plindra

PyMODINIT_FUNC PyInit__plindra(void) {
  return plindra::guarded([] { return plindra::make_module(); });
}
