// The 64 integer-to-integer driver instances.
#include "drivers.hpp"

namespace plindra {

constinit const DriverTable<kIntCount, kIntCount> kIntToIntDrivers = driver_table(IntTypes{}, IntTypes{});

}  // namespace plindra
