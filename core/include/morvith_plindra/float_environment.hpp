// FloatEnvironmentScope: the library's own floating-point settings for the
// life of a scope, the caller's handed back after it.
#pragma once

#if defined(__x86_64__)
#include <xmmintrin.h>
#else
#include <cfenv>
#endif

#include "morvith_plindra/modes.hpp"

namespace morvith_plindra {
#include "morvith_plindra/impl/float_environment.inc"
}  // namespace morvith_plindra
