// A copy with a one-entry map (a masked copy, in groups of 256 bytes) in
// both orders, whichever the CPU would choose: every element type, lengths
// around a group and a vector, keys in every lane position, every alignment
// of the output, in place, against one-element runs.
#include "support.hpp"

namespace plindra_test {
namespace {

PLINDRA_VARIANT_SUITE(MaskedCopy);

template <class T>
std::string run_name(bool forwards, std::size_t n) {
  return std::string(ElementTraits<T>::name) + (forwards ? " forwards" : " from the end") + ", n " + std::to_string(n);
}

template <class T>
void check_both_orders(T key, T target, T other) {
  constexpr std::size_t group = 256 / sizeof(T);
  for (const bool forwards : {true, false}) {
    const ScopedCopyOrder order(forwards);
    for (const std::size_t n : {std::size_t(3), group - 1, group, group + 1, 3 * group + 5}) {
      std::vector<T> src(n);
      for (std::size_t i = 0; i < n; ++i) src[i] = i % 3 == 1 ? key : (i % 3 == 2 ? other : static_cast<T>(i % 7));
      SCOPED_TRACE(run_name<T>(forwards, n));
      check_run(src, cfg<T, T>(NE, CL, {{key, target}}), n);
    }
  }
}

TEST_P(MaskedCopy, BothOrdersMatchOneElementRuns) {
  for_each_element<IntTypes>([](auto t) {
    using T = decltype(t);
    check_both_orders<T>(std::numeric_limits<T>::max(), T(9), std::numeric_limits<T>::min());
  });
  for_each_element<FloatTypes>([](auto t) {
    using T = decltype(t);
    const auto nan = static_cast<T>(kNaN);
    check_both_orders<T>(nan, static_cast<T>(1.5), static_cast<T>(-0.0));
    check_both_orders<T>(static_cast<T>(0.0), static_cast<T>(-2.0), static_cast<T>(-0.0));
  });
}

// Outputs at every offset within a 64-byte vector, sources at two, lengths
// around a vector of each width: every element written as a one-element run
// writes it, nothing outside the output touched. In place, too.
template <class T>
void check_alignments(T key, T target, T other) {
  constexpr std::size_t widest = 64 / sizeof(T), group = 256 / sizeof(T);
  const auto cfg1 = cfg<T, T>(NE, CL, {{key, target}});
  for (const bool forwards : {true, false}) {
    const ScopedCopyOrder order(forwards);
    for (const std::size_t n : {std::size_t(1), 16 / sizeof(T) - 1, 16 / sizeof(T), 32 / sizeof(T) + 1, widest - 1,
                                widest, widest + 1, 2 * widest + 3, 2 * group + widest / 2 + 1}) {
      if (n == 0) continue;
      std::vector<T> base(n + 2 * widest + 2);
      for (std::size_t i = 0; i < base.size(); ++i) {
        base[i] = i % 5 == 1 ? key : (i % 5 == 3 ? other : static_cast<T>(i % 11));
      }
      for (const std::size_t src_at : {std::size_t(0), std::size_t(1)}) {
        const std::span<const T> src(base.data() + src_at, n);
        std::vector<std::string> want;
        for (const T& x : src) want.push_back(one<T, T>(x, cfg1));
        for (std::size_t dst_at = 0; dst_at <= widest; ++dst_at) {
          SCOPED_TRACE(run_name<T>(forwards, n) + ", source at " + std::to_string(src_at) + ", output at " +
                       std::to_string(dst_at));
          std::vector<T> out(n + widest + 1);
          std::memset(out.data(), 0xA5, out.size() * sizeof(T));
          const std::vector<T> untouched = out;
          ASSERT_FALSE((convert_slice<T, T>(src, std::span<T>(out.data() + dst_at, n), cfg1)));
          for (std::size_t i = 0; i < out.size(); ++i) {
            if (i >= dst_at && i < dst_at + n) {
              ASSERT_EQ(show(out[i]), want[i - dst_at]) << "element " << i - dst_at;
            } else {
              ASSERT_EQ(std::memcmp(&out[i], &untouched[i], sizeof(T)), 0) << "outside the output at " << i;
            }
          }
        }
        std::vector<T> in_place(src.begin(), src.end());
        ASSERT_FALSE((convert_slice<T, T>(std::span<const T>(in_place), std::span<T>(in_place), cfg1)));
        for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(show(in_place[i]), want[i]) << "in place, element " << i;
      }
    }
  }
}

TEST_P(MaskedCopy, EveryAlignmentAndInPlace) {
  for_each_element<IntTypes>([](auto t) {
    using T = decltype(t);
    check_alignments<T>(std::numeric_limits<T>::min(), T(7), std::numeric_limits<T>::max());
  });
  for_each_element<FloatTypes>([](auto t) {
    using T = decltype(t);
    check_alignments<T>(static_cast<T>(kNaN), static_cast<T>(1.5), static_cast<T>(kInf));
    check_alignments<T>(static_cast<T>(-0.0), static_cast<T>(-2.0), static_cast<T>(0.0));
    check_alignments<T>(static_cast<T>(3.0), static_cast<T>(kNaN), static_cast<T>(-3.0));
  });
}

}  // namespace
}  // namespace plindra_test
