// The 9 float-to-float driver instances.
#include "drivers.hpp"

namespace plindra {

constinit const DriverTable<kFloatCount, kFloatCount> kFloatToFloatDrivers = driver_table(FloatTypes{}, FloatTypes{});

}  // namespace plindra
