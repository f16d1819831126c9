// The kernels built for x86-64-v4 (AVX-512), chosen at run time.
#define MORVITH_PLINDRA_VARIANT x86_64_v4
#include "kernels_variant.hpp"
