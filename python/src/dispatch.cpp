#include "dispatch.hpp"

#include <string>

#include "drivers.hpp"

namespace plindra {

namespace {

py::PinnedRef g_dtype_attr;
py::PinnedRef g_name_attr;

PyObject* interned(py::PinnedRef& cache, const char* text) {
  if (!cache) cache.set_once(py::Ref::steal(PyUnicode_InternFromString(text)));
  return cache.get();
}

// The canonical index of a plain ndarray's dtype name, computed without the
// attribute lookups: a plain ndarray's `dtype` is its descriptor, and a
// built-in numeric descriptor's `name` is its kind and width. -1 when this
// shortcut does not apply.
int known_dtype_index(PyObject* obj) noexcept {
  if (!PyArray_CheckExact(obj)) return -1;
  PyArray_Descr* descr = PyArray_DESCR(reinterpret_cast<PyArrayObject*>(obj));
  const int type_num = descr->type_num;
  if (type_num < 0 || type_num >= kBuiltinTypeNums) return -1;
  const int index = builtin_type_index(type_num);
  if (index < 0) return -1;
  static py::PinnedRef builtin[kBuiltinTypeNums];
  py::PinnedRef& reference = builtin[type_num];
  if (!reference) {
    reference.set_once(py::Ref::steal(reinterpret_cast<PyObject*>(PyArray_DescrFromType(type_num))));
    if (!reference) {
      PyErr_Clear();
      return -1;
    }
  }
  // Only the built-in descriptor classes; anything else goes through `name`.
  return Py_TYPE(descr) == Py_TYPE(reference.get()) ? index : -1;
}

void raise_unsupported(const char* what, std::string_view name) {
  std::string message(what);
  message.append(name);
  set_error(PyExc_TypeError, message);
}

// The driver tables in the order of Family.
constexpr const DriverTable* kFamilyDrivers[] = {&kIntToIntDrivers, &kFloatToIntDrivers, &kIntToFloatDrivers,
                                                 &kFloatToFloatDrivers};
static_assert(int(Family::IntToInt) == 0 && int(Family::FloatToInt) == 1 && int(Family::IntToFloat) == 2 &&
              int(Family::FloatToFloat) == 3);

struct Selected {
  const DriverEntry* drivers = nullptr;
  const char* source_name = nullptr;
  const char* target_name = nullptr;
};

// The source name is matched before the target name.
Selected select_drivers(std::string_view source, std::string_view target) {
  const int s = canonical_index(source);
  if (s < 0) {
    raise_unsupported("Unsupported source dtype: ", source);
    return {};
  }
  const int t = canonical_index(target);
  if (t < 0) {
    raise_unsupported("Unsupported target dtype: ", target);
    return {};
  }
  const auto si = static_cast<std::size_t>(s);
  const auto ti = static_cast<std::size_t>(t);
  const std::size_t pair = morvith_plindra::pair_index_of(si, ti);
  const DriverTable& family = *kFamilyDrivers[static_cast<std::size_t>(morvith_plindra::kPairFamilies[pair])];
  return {&family[pair], kCanonicalNames[si].data(), kCanonicalNames[ti].data()};
}

}  // namespace

bool array_dtype_key(PyObject* obj, std::string_view& name) {
  if (const int index = known_dtype_index(obj); index >= 0) {
    name = kCanonicalNames[static_cast<std::size_t>(index)];
    return true;
  }
  PyObject* dtype_attr = interned(g_dtype_attr, "dtype");
  PyObject* name_attr = interned(g_name_attr, "name");
  if (dtype_attr == nullptr || name_attr == nullptr) return false;
  py::Ref dtype = py::Ref::steal(PyObject_GetAttr(obj, dtype_attr));
  if (!dtype) return false;
  py::Ref name_obj = py::Ref::steal(PyObject_GetAttr(dtype.get(), name_attr));
  if (!name_obj) return false;
  if (!PyUnicode_Check(name_obj.get())) {
    raise_cannot_convert(name_obj.get(), "PyString");  // kept verbatim: callers match on it
    return false;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name_obj.get(), &size);
  if (text == nullptr) return false;
  const std::string_view extracted(text, static_cast<std::size_t>(size));
  const int index = canonical_index(extracted);
  if (index < 0) {
    raise_unsupported("Unsupported numpy dtype: ", extracted);
    return false;
  }
  name = kCanonicalNames[static_cast<std::size_t>(index)];
  return true;
}

PyObject* dispatch_alloc(PyObject* arr, std::string_view source, std::string_view target,
                         morvith_plindra::RoundingMode rounding, morvith_plindra::OutOfRangeMode out_of_range,
                         PyObject* scalar_map_entries) {
  const Selected selected = select_drivers(source, target);
  if (selected.drivers == nullptr) return nullptr;
  return selected.drivers->alloc(arr, rounding, out_of_range, scalar_map_entries, selected.source_name,
                                 selected.target_name);
}

PyObject* dispatch_into(PyObject* arr, PyObject* out, std::string_view source, std::string_view target,
                        morvith_plindra::RoundingMode rounding, morvith_plindra::OutOfRangeMode out_of_range,
                        PyObject* scalar_map_entries) {
  const Selected selected = select_drivers(source, target);
  if (selected.drivers == nullptr) return nullptr;
  return selected.drivers->into(arr, out, rounding, out_of_range, scalar_map_entries, selected.source_name,
                                selected.target_name);
}

}  // namespace plindra
