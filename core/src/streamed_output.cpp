// Non-temporal stores for large outputs the caller keeps (convert_slice_kept).
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>

#include "kernels_impl.hpp"
#include "morvith_plindra/kernels.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace morvith_plindra {

namespace {

// Source and output bytes from which an output is streamed.
constexpr std::size_t kStreamBytes = std::size_t(24) << 20;
constexpr std::size_t kNotForced = ~std::size_t(0);
// A test's threshold (ScopedStreamedOutputs), or kNotForced.
std::atomic<std::size_t> g_forced_stream_bytes{kNotForced};
}  // namespace

// Non-temporal stores write whole lines to memory without reading them into
// the cache first. Where the CPU gains from them (cpu_streams_outputs, with
// the other choices made per CPU), that
// pays once source and output no longer fit the last-level cache (below 24
// MiB it was slower on AMD Zen 4, whose L3 holds 32 MiB), and only into
// resident pages: a page the kernel has just zeroed arrives in the cache,
// where plain stores finish it sooner. Three pages spread over the output
// are probed.
bool dispatch::streams_output(const void* dst, std::size_t in_bytes, std::size_t out_bytes) noexcept {
  const std::size_t forced = g_forced_stream_bytes.load(std::memory_order_relaxed);
  if (forced != kNotForced) return in_bytes + out_bytes >= forced;
  if (!dispatch::cpu_streams_outputs() || in_bytes + out_bytes < kStreamBytes) return false;
#if defined(__linux__) && defined(__SSE2__)
  static const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto start = reinterpret_cast<std::uintptr_t>(dst);
  for (std::size_t quarter = 1; quarter <= 3; ++quarter) {
    const std::uintptr_t probe = (start + out_bytes / 4 * quarter) & ~(page - 1);
    unsigned char resident = 0;
    if (mincore(reinterpret_cast<void*>(probe), 1, &resident) != 0 || !(resident & 1)) return false;
  }
  return true;
#else
  static_cast<void>(dst);
  return false;
#endif
}

void dispatch::stream_lines(void* dst, const void* src, std::size_t bytes) noexcept {
#if defined(__SSE2__)
  auto* out = static_cast<__m128i*>(dst);
  const auto* in = static_cast<const __m128i*>(src);
  for (std::size_t i = 0; i < bytes / sizeof(__m128i); i += 4) {
    const __m128i a = _mm_load_si128(in + i), b = _mm_load_si128(in + i + 1);
    const __m128i c = _mm_load_si128(in + i + 2), d = _mm_load_si128(in + i + 3);
    _mm_stream_si128(out + i, a);
    _mm_stream_si128(out + i + 1, b);
    _mm_stream_si128(out + i + 2, c);
    _mm_stream_si128(out + i + 3, d);
  }
#else
  std::memcpy(dst, src, bytes);
#endif
}

void* dispatch::place_stage(std::byte* raw, const void* src, const void* dst) noexcept {
  constexpr std::uintptr_t kPage = 4096, kLine = 64;
  const auto at = [](const void* p) { return reinterpret_cast<std::uintptr_t>(p) % kPage; };
  // Distance, modulo 4 KiB, from address offset a to b.
  const auto gap = [](std::uintptr_t a, std::uintptr_t b) {
    const std::uintptr_t g = (a + kPage - b) % kPage;
    return std::min(g, kPage - g);
  };
  const std::uintptr_t r = at(raw), s = at(src), d = at(dst);
  std::uintptr_t best = 0, best_gap = 0;
  for (std::uintptr_t o = 0; o < kPage; o += kLine) {
    const std::uintptr_t g = std::min(gap(r + o, s), gap(r + o, d));
    if (g > best_gap) best = o, best_gap = g;
  }
  return raw + best;
}

// Into resident memory on an Intel Xeon, 8-byte sources took 0.71-0.99x
// the time with it (10^7 elements, x86-64-v3 and v4).
void dispatch::prefetch_source(const void* src, std::size_t bytes) noexcept {
#if defined(__SSE2__)
  if (stream_bytes() == ~std::size_t(0)) return;
  for (std::size_t k = 0; k < bytes; k += 64) _mm_prefetch(static_cast<const char*>(src) + k, _MM_HINT_T0);
#else
  static_cast<void>(src);
  static_cast<void>(bytes);
#endif
}

void dispatch::end_streaming() noexcept {
#if defined(__SSE2__)
  _mm_sfence();
#endif
}

ScopedStreamedOutputs::ScopedStreamedOutputs(std::size_t bytes) : previous_(g_forced_stream_bytes.load()) {
  g_forced_stream_bytes.store(bytes);
}

ScopedStreamedOutputs::~ScopedStreamedOutputs() { g_forced_stream_bytes.store(previous_); }

}  // namespace morvith_plindra
