// Shared loop shapes of the kernels.
//
// Error-checking conversions run block by block: a branch-free pass computes
// a block into a small buffer while OR-ing a "some element needs attention"
// flag; a clean block is stored at once, a flagged one is redone element by
// element with the exact rule, which stops at the first failing element. So
// the destination holds exactly the elements before a failure, and the hot
// loop stays free of branches the compiler cannot vectorise.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <span>
#include <vector>

#include "morvith_plindra/cast_error.hpp"
#include "morvith_plindra/config.hpp"

namespace morvith_plindra::detail {

inline constexpr std::size_t kBlockBytes = 2048;

// fast(x, bad) -> D, OR-ing into `bad` when x needs the exact rule;
// slow(x, D& out) -> KernelResult, writing `out` only on success.
template <class S, class D, class Fast, class Slow>
inline KernelResult run_blocked(const S* src, D* dst, std::size_t n, Fast fast, Slow slow) {
  constexpr std::size_t B = kBlockBytes / (sizeof(S) > sizeof(D) ? sizeof(S) : sizeof(D));
  alignas(64) D tmp[B];
  for (std::size_t i = 0; i < n; i += B) {
    const std::size_t m = std::min(B, n - i);
    unsigned bad = 0;
    for (std::size_t j = 0; j < m; ++j) tmp[j] = fast(src[i + j], bad);
    if (!bad) {
      std::memcpy(dst + i, tmp, m * sizeof(D));
      continue;
    }
    for (std::size_t j = 0; j < m; ++j) {
      if (auto err = slow(src[i + j], dst[i + j])) return err;
    }
  }
  return std::nullopt;
}

// Per element: the first matching map entry, else the exact rule.
template <class S, class D, class Slow>
inline KernelResult run_mapped(const S* src, D* dst, std::size_t n,
                               const std::vector<MapEntry<S, D>>& map, Slow slow) {
  for (std::size_t i = 0; i < n; ++i) {
    if (const auto* entry = find_map_entry(map, src[i])) {
      dst[i] = entry->target;
    } else if (auto err = slow(src[i], dst[i])) {
      return err;
    }
  }
  return std::nullopt;
}

// Conversion that is exact for every value (identity, lossless widening):
// the map, then a plain value conversion; identities copy the bits.
template <class S, class D>
inline void convert_exact(std::span<const S> src, std::span<D> dst,
                          const std::vector<MapEntry<S, D>>& map) {
  const std::size_t n = std::min(src.size(), dst.size());
  if (!map.empty()) {
    for (std::size_t i = 0; i < n; ++i) {
      const auto* entry = find_map_entry(map, src[i]);
      if (entry) {
        dst[i] = entry->target;
      } else if constexpr (std::is_same_v<S, D>) {
        std::memcpy(&dst[i], &src[i], sizeof(S));
      } else {
        dst[i] = static_cast<D>(src[i]);
      }
    }
  } else if constexpr (std::is_same_v<S, D>) {
    if (n) std::memmove(dst.data(), src.data(), n * sizeof(S));
  } else {
    for (std::size_t i = 0; i < n; ++i) dst[i] = static_cast<D>(src[i]);
  }
}

// Calls f with the rounding mode as a compile-time constant.
template <class F>
inline decltype(auto) with_rounding(RoundingMode mode, F&& f) {
  switch (mode) {
    case RoundingMode::TowardsZero: return f(std::integral_constant<RoundingMode, RoundingMode::TowardsZero>{});
    case RoundingMode::TowardsPositive: return f(std::integral_constant<RoundingMode, RoundingMode::TowardsPositive>{});
    case RoundingMode::TowardsNegative: return f(std::integral_constant<RoundingMode, RoundingMode::TowardsNegative>{});
    case RoundingMode::NearestAway: return f(std::integral_constant<RoundingMode, RoundingMode::NearestAway>{});
    case RoundingMode::NearestEven: break;
  }
  return f(std::integral_constant<RoundingMode, RoundingMode::NearestEven>{});
}

template <class F>
inline decltype(auto) with_out_of_range(OutOfRangeMode mode, F&& f) {
  switch (mode) {
    case OutOfRangeMode::Clamp: return f(std::integral_constant<OutOfRangeMode, OutOfRangeMode::Clamp>{});
    case OutOfRangeMode::Wrap: return f(std::integral_constant<OutOfRangeMode, OutOfRangeMode::Wrap>{});
    case OutOfRangeMode::Absent: break;
  }
  return f(std::integral_constant<OutOfRangeMode, OutOfRangeMode::Absent>{});
}

}  // namespace morvith_plindra::detail
