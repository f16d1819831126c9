// Integral rounding (CastFloat), float16 conversions, next_up / next_down,
// the rounding-mode correction adjust_to_mode and round_to_float.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>

#include "morvith_plindra/float_environment.hpp"
#include "morvith_plindra/modes.hpp"
#include "morvith_plindra/types.hpp"

namespace morvith_plindra {
#include "morvith_plindra/impl/cast_float.inc"
}  // namespace morvith_plindra
