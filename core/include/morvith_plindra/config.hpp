// Scalar-map entries and the per-call kernel settings.
#pragma once

#include <cstddef>
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
  OutOfRangeMode out_of_range = OutOfRangeMode::Absent;
  RoundingMode rounding = RoundingMode::NearestEven;
};

// True when `x` is caught by `source`: exact equality for integers; IEEE
// equality for floats (0.0 matches -0.0), and any NaN matches any NaN.
template <class S>
inline bool map_source_matches(S source, S x) {
  if constexpr (is_float_v<S>) {
    return source == x || (x != x && source != source);
  } else {
    return source == x;
  }
}

// First entry whose source catches `x`, or null.
template <class S, class D>
inline const MapEntry<S, D>* find_map_entry(const std::vector<MapEntry<S, D>>& map, S x) {
  for (const auto& entry : map) {
    if (map_source_matches(entry.source, x)) return &entry;
  }
  return nullptr;
}

}  // namespace morvith_plindra
