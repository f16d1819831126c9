// Standard headers and public types the kernel bodies (impl/*.inc) need; each
// instruction-set variant includes the bodies into a namespace of its own.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <span>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#else
#include <cfenv>
#endif

#include "morvith_plindra/cast_error.hpp"
#include "morvith_plindra/config.hpp"
#include "morvith_plindra/modes.hpp"
#include "morvith_plindra/simd/generic.hpp"
#include "morvith_plindra/types.hpp"
