// The 24 float-to-integer driver instances.
#include "drivers.hpp"

namespace plindra {

constinit const DriverTable<kFloatCount, kIntCount> kFloatToIntDrivers = driver_table(FloatTypes{}, IntTypes{});

}  // namespace plindra
