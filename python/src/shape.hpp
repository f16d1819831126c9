// Shape comparison and the shape-mismatch error.
#pragma once

#include "numpy_api.hpp"

namespace plindra {

bool same_shape(PyArrayObject* a, PyArrayObject* b) noexcept;

// ValueError "Shape mismatch: input shape [..] != output shape [..]".
void raise_shape_mismatch(PyArrayObject* input, PyArrayObject* output);

}  // namespace plindra
