// The kernels built for x86-64-v3 (AVX2, F16C), chosen at run time.
#define MORVITH_PLINDRA_VARIANT x86_64_v3
#include "kernels_variant.hpp"
