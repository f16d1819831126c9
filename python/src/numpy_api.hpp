// NumPy C API access shared by every source file of the module. Exactly one
// file (module.cpp) defines PLINDRA_NUMPY_IMPORT and imports the API table.
#pragma once

#include "pyref.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL plindra_ARRAY_API
#ifndef PLINDRA_NUMPY_IMPORT
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
