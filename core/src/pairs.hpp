// X-macros over the element types, for explicit instantiation.
#pragma once

#define MORVITH_PLINDRA_INT_TARGETS(X, S)                                                                   \
  X(S, std::int8_t) X(S, std::uint8_t) X(S, std::int16_t) X(S, std::uint16_t) X(S, std::int32_t) \
      X(S, std::uint32_t) X(S, std::int64_t) X(S, std::uint64_t)
#define MORVITH_PLINDRA_FLOAT_TARGETS(X, S) X(S, ::morvith_plindra::f16) X(S, float) X(S, double)
#define MORVITH_PLINDRA_EACH_INT(M, X)                                                                      \
  M(X, std::int8_t) M(X, std::uint8_t) M(X, std::int16_t) M(X, std::uint16_t) M(X, std::int32_t) \
      M(X, std::uint32_t) M(X, std::int64_t) M(X, std::uint64_t)
#define MORVITH_PLINDRA_EACH_FLOAT(M, X) M(X, ::morvith_plindra::f16) M(X, float) M(X, double)

// X(S, D) for the pairs of each family, and for all 121.
#define MORVITH_PLINDRA_INT_TO_INT(X) MORVITH_PLINDRA_EACH_INT(MORVITH_PLINDRA_INT_TARGETS, X)
#define MORVITH_PLINDRA_FLOAT_TO_INT(X) MORVITH_PLINDRA_EACH_FLOAT(MORVITH_PLINDRA_INT_TARGETS, X)
#define MORVITH_PLINDRA_INT_TO_FLOAT(X) MORVITH_PLINDRA_EACH_INT(MORVITH_PLINDRA_FLOAT_TARGETS, X)
#define MORVITH_PLINDRA_FLOAT_TO_FLOAT(X) MORVITH_PLINDRA_EACH_FLOAT(MORVITH_PLINDRA_FLOAT_TARGETS, X)
#define MORVITH_PLINDRA_ALL_PAIRS(X) \
  MORVITH_PLINDRA_INT_TO_INT(X) MORVITH_PLINDRA_FLOAT_TO_INT(X) MORVITH_PLINDRA_INT_TO_FLOAT(X) MORVITH_PLINDRA_FLOAT_TO_FLOAT(X)
