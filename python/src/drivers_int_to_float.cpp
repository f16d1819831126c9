// The 24 integer-to-float driver instances.
#include "drivers.hpp"

namespace plindra {

constinit const DriverTable<kIntCount, kFloatCount> kIntToFloatDrivers = driver_table(IntTypes{}, FloatTypes{});

}  // namespace plindra
