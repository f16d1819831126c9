// The integer-to-float driver instances.
#include "drivers.hpp"

namespace plindra {

constinit const DriverTable kIntToFloatDrivers = family_driver_table<Family::IntToFloat>();

}  // namespace plindra
