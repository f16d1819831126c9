// Integral rounding (CastFloat), float16 conversions, next_up / next_down and
// the rounding-mode correction adjust_to_mode.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>

#include "morvith_plindra/modes.hpp"
#include "morvith_plindra/types.hpp"

namespace morvith_plindra {
#include "morvith_plindra/impl/cast_float.inc"
}  // namespace morvith_plindra
