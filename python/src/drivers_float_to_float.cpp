// The float-to-float driver instances.
#include "drivers.hpp"

namespace plindra {

constinit const DriverTable kFloatToFloatDrivers = family_driver_table<Family::FloatToFloat>();

}  // namespace plindra
