// Kept outputs written with non-temporal stores (convert_slice_kept on large
// conversions into resident memory): the same bytes and errors as plain
// convert_slice for every pair, from every destination alignment, and the
// partial-write contract around the chunks' boundaries.
#include <array>
#include <random>

#include "support.hpp"

namespace plindra_test {
namespace {

PLINDRA_VARIANT_SUITE(StreamedOutputs);

// Streams every run of a streamed pair, however short.
constexpr std::size_t kStreamAll = 2;

// Ordinary values, and in the second half every 97th any bit pattern (the
// first failure then falls after at least one streamed chunk).
template <class S>
std::vector<S> mixed_inputs(std::mt19937_64& rng, std::size_t n) {
  std::vector<S> v(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (i % 97 == 96 && i > n / 2) {
      const auto bits = static_cast<bits_t<S>>(rng());
      std::memcpy(&v[i], &bits, sizeof(S));
    } else {
      v[i] = static_cast<S>(is_float_v<S> ? static_cast<double>(rng() % 1001) / 10 : static_cast<double>(rng() % 101));
    }
  }
  return v;
}

// A 64-byte aligned buffer filled with 0xA5 after converting src into it
// from element `offset` on (plainly, or as a kept output), and the error.
template <class S, class D>
std::pair<std::vector<unsigned char>, std::string> run_at(const std::vector<S>& src, const CastConfig<S, D>& c,
                                                          std::size_t offset, bool kept) {
  struct alignas(64) Line {
    unsigned char bytes[64];
  };
  std::vector<Line> buffer((src.size() + offset) * sizeof(D) / 64 + 2);
  std::memset(buffer.data(), 0xA5, buffer.size() * sizeof(Line));
  const std::span<D> dst(reinterpret_cast<D*>(buffer.data()) + offset, src.size());
  const auto err = kept ? convert_slice_kept<S, D>(src, dst, c) : convert_slice<S, D>(src, dst, c);
  std::vector<unsigned char> bytes(reinterpret_cast<unsigned char*>(buffer.data()),
                                   reinterpret_cast<unsigned char*>(buffer.data() + buffer.size()));
  return {bytes, err ? err->message() : ""};
}

template <class S, class D>
void expect_same_as_plain(const std::vector<S>& src, const CastConfig<S, D>& c, std::size_t offset) {
  const auto want = run_at<S, D>(src, c, offset, false);
  const auto got = run_at<S, D>(src, c, offset, true);
  ASSERT_EQ(got.second, want.second);
  ASSERT_EQ(got.first, want.first) << ElementTraits<S>::name << " -> " << ElementTraits<D>::name << " n " << src.size()
                                   << " offset " << offset;
}

TEST_P(StreamedOutputs, AgreeWithPlainStoresOnEveryPair) {
  const ScopedStreamedOutputs streamed(kStreamAll);
  std::mt19937_64 rng(77);
  for_each_element<ElementTypes>([&](auto s) {
    for_each_element<ElementTypes>([&](auto d) {
      using S = decltype(s);
      using D = decltype(d);
      // Shorter than the head before the first line boundary; two chunks and
      // a tail (pairs that never stream keep plain stores).
      for (const std::size_t n : {std::size_t(5), 2 * dispatch::kStreamChunk<S, D> + 37}) {
        const auto src = mixed_inputs<S>(rng, n);
        D target;
        const auto target_bits = static_cast<bits_t<D>>(rng());
        std::memcpy(&target, &target_bits, sizeof(D));
        for (const auto& c : {cfg<S, D>(NE, CL), cfg<S, D>(NA, AB), cfg<S, D>(TZ, WR),
                              cfg<S, D>(TP, CL, {{src[5 % n], target}}), cfg<S, D>(TN, WR, {{src[1], target}})}) {
          for (const std::size_t offset : std::array<std::size_t, 3>{0, 1, 64 / sizeof(D) - 1}) {
            expect_same_as_plain<S, D>(src, c, offset);
          }
        }
      }
    });
  });
}

// A failure just before, at and after the head's end and each chunk's
// boundary: the chunks before it streamed, the rest of its own left alone.
template <class S, class D>
void check_chunk_boundaries(S good, S bad, const CastConfig<S, D>& c) {
  static_assert(dispatch::kStreamsPair<S, D>);
  constexpr std::size_t k = dispatch::kStreamChunk<S, D>;
  for (const std::size_t offset : std::array<std::size_t, 2>{0, 3}) {
    const std::size_t head = (64 / sizeof(D) - offset) % (64 / sizeof(D));
    for (const std::size_t at : {std::size_t(0), head, head + k - 1, head + k, head + k + 1, head + 2 * k, 3 * k - 1}) {
      std::vector<S> src(3 * k, good);
      src[at] = bad;
      SCOPED_TRACE("failure at " + std::to_string(at) + ", offset " + std::to_string(offset));
      expect_same_as_plain<S, D>(src, c, offset);
    }
  }
}

TEST_P(StreamedOutputs, FailuresAroundChunkBoundaries) {
  const ScopedStreamedOutputs streamed(kStreamAll);
  check_chunk_boundaries<double, i32>(7.5, 3e9, cfg<double, i32>(NE, AB));
  check_chunk_boundaries<float, i16>(-3, float(kNaN), cfg<float, i16>(NE, CL));
  check_chunk_boundaries<float, u16>(2.5f, -1, cfg<float, u16>(NA, AB, {{7, 2}}));
  check_chunk_boundaries<i64, i32>(5, 0x80000000LL, cfg<i64, i32>(NE, AB));
  check_chunk_boundaries<u16, i16>(5, 40000, cfg<u16, i16>(NE, AB, {{200, 1}, {7, 2}}));
  check_chunk_boundaries<u8, i8>(5, 200, cfg<u8, i8>(NE, AB));
}

// Large resident outputs stream on CPUs of a class that gains from it, and
// never on others; the forced threshold streams on either.
TEST(StreamedOutputs, OnlyLargeResidentOutputsStreamAndOnlyOnCpusThatGain) {
  constexpr std::size_t kBytes = std::size_t(32) << 20;
  std::vector<float> small(1000);
  std::vector<std::uint64_t> fresh;
  fresh.reserve(kBytes / 8);
  std::vector<std::uint64_t> written(kBytes / 8, 1);
  for (const bool cpu_gains : {true, false}) {
    SCOPED_TRACE(cpu_gains ? "a CPU that gains" : "a CPU that does not gain");
    const ScopedOutputStreamingCpu cpu(cpu_gains);
    // Below the threshold nothing is streamed, whatever the pages.
    EXPECT_FALSE(dispatch::streams_output(small.data(), small.size() * 8, small.size() * 4));
    // A large output whose pages were never touched is not resident.
    EXPECT_FALSE(dispatch::streams_output(fresh.data(), kBytes, kBytes));
#if defined(__linux__) && defined(__SSE2__)
    EXPECT_EQ(dispatch::streams_output(written.data(), kBytes, kBytes), cpu_gains);
#endif
    const ScopedStreamedOutputs streamed(kStreamAll);
    EXPECT_TRUE(dispatch::streams_output(small.data(), small.size() * 8, small.size() * 4));
  }
}

}  // namespace
}  // namespace plindra_test
