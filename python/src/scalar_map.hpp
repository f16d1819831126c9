// Parsing of the scalar_map_entries argument into typed map entries.
#pragma once

#include <vector>

#include "morvith_plindra/config.hpp"
#include "pyref.hpp"

namespace plindra {

// Fills `out` from `entries` (null or None: empty, no Python call). Returns
// false with a Python exception set on failure; `out` is then unspecified.
// `source_name`/`target_name` are canonical dtype names, used in messages.
template <class S, class D>
bool parse_map_entries(PyObject* entries, const char* source_name, const char* target_name,
                       std::vector<morvith_plindra::MapEntry<S, D>>& out) {
  (void)source_name;
  (void)target_name;
  out.clear();
  if (entries == nullptr || entries == Py_None) return true;
  PyErr_SetString(PyExc_NotImplementedError, "scalar_map_entries is not supported yet");
  return false;
}

}  // namespace plindra
