// The conversion entry points of the core library.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>

#include "morvith_plindra/cast_error.hpp"
#include "morvith_plindra/cast_float.hpp"
#include "morvith_plindra/config.hpp"
#include "morvith_plindra/modes.hpp"
#include "morvith_plindra/simd/generic.hpp"
#include "morvith_plindra/types.hpp"
#include "morvith_plindra/variants.hpp"

namespace morvith_plindra {

// Converts n = min(src.size(), dst.size()) elements, dst[i] from src[i], under
// `config`. On a CastError the elements before the failing one are written and
// the failing one and all later ones are left as they were. `src` and `dst`
// must not overlap, except that a pair of one type may convert in place
// (the same range): a block written to the output may be read again from the
// source. Defined for all 121 pairs of element types; runs the variant chosen
// for the process (see variants.hpp), through its kernel table.
template <class S, class D>
KernelResult convert_slice(std::span<const S> src, std::span<D> dst, const CastConfig<S, D>& config) {
  static_assert(is_element_v<S> && is_element_v<D>, "not an element type");
  return dispatch::active_table()[pair_index<S, D>](src.data(), src.size(), dst.data(), dst.size(), &config);
}

namespace dispatch {
// Whether an output of out_bytes at dst, converted from in_bytes of source,
// is written with non-temporal stores (see streamed_output.cpp).
bool streams_output(const void* dst, std::size_t in_bytes, std::size_t out_bytes) noexcept;
// Copies `bytes`, a multiple of 64, between 64-byte aligned buffers with
// non-temporal stores.
void stream_lines(void* dst, const void* src, std::size_t bytes) noexcept;
// Orders the non-temporal stores before the stores that follow.
void end_streaming() noexcept;
// Where the kernels prefetch (see stream_bytes), fetches `bytes` of source
// at src into the cache ahead of their conversion.
void prefetch_source(const void* src, std::size_t bytes) noexcept;
// Source and output bytes of one chunk converted into the cache before its
// output is streamed out: within the L1 data cache.
inline constexpr std::size_t kStreamChunkBytes = 8192;
// Whether a pair's kept outputs may stream. Streaming saves reading the
// output's old lines, a fifth or more of the memory traffic where the source
// element is at most three times as wide. Only to integers at most as wide as
// the source: to floats and to wider integers some pairs gained as much and
// others lost up to 1.3x (float16 <-> float32, float16 -> int64) or 1.8x
// (64-bit integers to float64 on x86-64-v4).
template <class S, class D>
inline constexpr bool kStreamsPair = is_int_v<D> && sizeof(D) <= sizeof(S) && sizeof(S) <= 3 * sizeof(D);
// Elements of one chunk of a streamed conversion.
template <class S, class D>
inline constexpr std::size_t kStreamChunk = std::bit_floor(kStreamChunkBytes / (sizeof(S) + sizeof(D)));
// Where in raw[0, 4096) a stage starts (raw 64-byte aligned, with 4 KiB to
// spare): its addresses differ most, modulo 4 KiB, from those of src and
// dst, as loads and stores 4 KiB apart look dependent to the core and stall.
void* place_stage(std::byte* raw, const void* src, const void* dst) noexcept;
}  // namespace dispatch

// For tests only: while the object lives, convert_slice_kept streams every
// output whose conversion reads and writes at least `bytes` together,
// resident or not (nested scopes restore the previous rule). No other thread
// may convert meanwhile.
class ScopedStreamedOutputs {
 public:
  explicit ScopedStreamedOutputs(std::size_t bytes);
  ~ScopedStreamedOutputs();
  ScopedStreamedOutputs(const ScopedStreamedOutputs&) = delete;
  ScopedStreamedOutputs& operator=(const ScopedStreamedOutputs&) = delete;

 private:
  std::size_t previous_;
};

// For tests only: while the object lives, the CPU is taken to gain from
// streamed outputs (`streams`) or not, instead of as its class was measured;
// the size and residence rules still apply (nested scopes restore the
// previous choice). No other thread may convert meanwhile.
class ScopedOutputStreamingCpu {
 public:
  explicit ScopedOutputStreamingCpu(bool streams);
  ~ScopedOutputStreamingCpu();
  ScopedOutputStreamingCpu(const ScopedOutputStreamingCpu&) = delete;
  ScopedOutputStreamingCpu& operator=(const ScopedOutputStreamingCpu&) = delete;

 private:
  int previous_;
};

// For tests only: while the object lives, a copy with a one-entry map runs
// forwards (`forwards`) or from its end on every CPU, instead of in the
// order chosen for the CPU's vendor (nested scopes restore the previous
// order). No other thread may convert meanwhile.
class ScopedCopyOrder {
 public:
  explicit ScopedCopyOrder(bool forwards);
  ~ScopedCopyOrder();
  ScopedCopyOrder(const ScopedCopyOrder&) = delete;
  ScopedCopyOrder& operator=(const ScopedCopyOrder&) = delete;

 private:
  int previous_;
};

// convert_slice into an output the caller keeps, with the same results,
// errors and partial writes. A large output whose pages are in memory is
// converted a chunk at a time into a buffer in the cache and streamed on to
// memory, without its old contents being read first. `dst` is aligned for D.
template <class S, class D>
KernelResult convert_slice_kept(std::span<const S> src, std::span<D> dst, const CastConfig<S, D>& config) {
  const std::size_t n = std::min(src.size(), dst.size());
  if (!dispatch::kStreamsPair<S, D> || !dispatch::streams_output(dst.data(), n * sizeof(S), n * sizeof(D))) {
    return convert_slice<S, D>(src, dst, config);
  }
  constexpr std::size_t kLine = 64;
  constexpr std::size_t kChunk = dispatch::kStreamChunk<S, D>;
  // Plain stores up to the output's first line boundary.
  const std::size_t head =
      std::min(n, (kLine - reinterpret_cast<std::uintptr_t>(dst.data()) % kLine) % kLine / sizeof(D));
  if (KernelResult error = convert_slice<S, D>(src.first(head), dst.first(head), config)) return error;
  // The stage is scratch: the kernels need not keep it intact past a failure.
  CastConfig<S, D> staged = config;
  staged.discard_on_error = true;
  alignas(kLine) std::byte raw[kChunk * sizeof(D) + 4096];
  const std::span<D> stage(static_cast<D*>(dispatch::place_stage(raw, src.data() + head, dst.data() + head)), kChunk);
  std::size_t i = head;
  for (; i + kChunk <= n; i += kChunk) {
    // 8-byte sources: the next chunk's, while this one converts (a chunk is
    // too short for the kernels to prefetch their own). Narrower ones ran
    // 1.01-1.05x as long with it.
    if constexpr (sizeof(S) == 8) {
      dispatch::prefetch_source(src.data() + i + kChunk, (std::min(n - i, 2 * kChunk) - kChunk) * sizeof(S));
    }
    // A failing chunk is converted again in place, with the rest.
    if (convert_slice<S, D>(src.subspan(i, kChunk), stage, staged)) break;
    dispatch::stream_lines(dst.data() + i, stage.data(), stage.size_bytes());
  }
  dispatch::end_streaming();
  return convert_slice<S, D>(src.subspan(i, n - i), dst.subspan(i, n - i), config);
}

// The same conversion, restricted to one family each.
template <class S, class D>
KernelResult convert_slice_int_to_int(std::span<const S> src, std::span<D> dst, const CastConfig<S, D>& config) {
  static_assert(family_of<S, D> == Family::IntToInt);
  return convert_slice<S, D>(src, dst, config);
}
template <class S, class D>
KernelResult convert_slice_float_to_int(std::span<const S> src, std::span<D> dst, const CastConfig<S, D>& config) {
  static_assert(family_of<S, D> == Family::FloatToInt);
  return convert_slice<S, D>(src, dst, config);
}
template <class S, class D>
KernelResult convert_slice_int_to_float(std::span<const S> src, std::span<D> dst, const CastConfig<S, D>& config) {
  static_assert(family_of<S, D> == Family::IntToFloat);
  return convert_slice<S, D>(src, dst, config);
}
template <class S, class D>
KernelResult convert_slice_float_to_float(std::span<const S> src, std::span<D> dst, const CastConfig<S, D>& config) {
  static_assert(family_of<S, D> == Family::FloatToFloat);
  return convert_slice<S, D>(src, dst, config);
}

}  // namespace morvith_plindra
