// Scalar-map entries and the per-call kernel settings.
#pragma once

#include <vector>

#include "morvith_plindra/modes.hpp"
#include "morvith_plindra/types.hpp"

namespace morvith_plindra {

template <class S, class D>
struct MapEntry {
  S source;
  D target;
};

// Settings of one kernel run. Integer->integer runs ignore `rounding`;
// integer->float runs ignore `out_of_range`.
template <class S, class D>
struct CastConfig {
  std::vector<MapEntry<S, D>> scalar_map;
  OutOfRangeMode out_of_range = OutOfRangeMode::Error;
  RoundingMode rounding = RoundingMode::NearestEven;
  // The caller drops the destination when the run fails (a new array): the
  // elements from the failing one on may then hold anything, which lets the
  // kernels write without staging. False keeps them as they were.
  bool discard_on_error = false;
};

}  // namespace morvith_plindra
