// Dtype identification by name and the 11x11 dispatch to the typed drivers.
#pragma once

#include <string_view>

#include "morvith_plindra/modes.hpp"
#include "numpy_api.hpp"

namespace plindra {

// The canonical dtype name of `obj.dtype.name` (a static string), or false
// with the lookup's error or TypeError "Unsupported numpy dtype: {name}".
bool array_dtype_key(PyObject* obj, std::string_view& name);

// Runs the allocating driver of (source, target); target is the caller's text.
PyObject* dispatch_alloc(PyObject* arr, std::string_view source, std::string_view target,
                         morvith_plindra::RoundingMode rounding, morvith_plindra::OutOfRangeMode out_of_range,
                         PyObject* scalar_map_entries);

// Runs the into driver of (source, target); both are canonical names.
PyObject* dispatch_into(PyObject* arr, PyObject* out, std::string_view source, std::string_view target,
                        morvith_plindra::RoundingMode rounding, morvith_plindra::OutOfRangeMode out_of_range,
                        PyObject* scalar_map_entries);

}  // namespace plindra
