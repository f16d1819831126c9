// A copy with a one-entry map (a masked copy, in groups of 256 bytes) in
// both orders, whichever the CPU would choose: every element type, lengths
// around a group, keys in every lane position, against one-element runs.
#include "support.hpp"

namespace plindra_test {
namespace {

PLINDRA_VARIANT_SUITE(MaskedCopy);

template <class T>
void check_both_orders(T key, T target, T other) {
  constexpr std::size_t group = 256 / sizeof(T);
  for (const bool forwards : {true, false}) {
    const ScopedCopyOrder order(forwards);
    for (const std::size_t n : {std::size_t(3), group - 1, group, group + 1, 3 * group + 5}) {
      std::vector<T> src(n);
      for (std::size_t i = 0; i < n; ++i) src[i] = i % 3 == 1 ? key : (i % 3 == 2 ? other : static_cast<T>(i % 7));
      SCOPED_TRACE(std::string(ElementTraits<T>::name) + (forwards ? " forwards" : " from the end") + ", n " +
                   std::to_string(n));
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

}  // namespace
}  // namespace plindra_test
