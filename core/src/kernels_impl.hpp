// Standard headers and public types the kernel bodies (kernels/*.inc) need; each
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

namespace morvith_plindra::dispatch {
// Sources from this size on are read as streams (prefetched ahead) where the
// vector code supports it. Out of line: a guarded static in the kernels'
// own code changes what the compiler inlines there.
std::size_t stream_bytes() noexcept;
// Whether a masked copy (a one-entry map onto the same type) runs forwards
// rather than from its end.
bool copies_forwards() noexcept;
// Whether large kept outputs are streamed on this CPU at all (see
// streams_output).
bool cpu_streams_outputs() noexcept;
}  // namespace morvith_plindra::dispatch
