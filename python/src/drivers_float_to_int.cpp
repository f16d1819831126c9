// The float-to-integer driver instances.
#include "drivers.hpp"

namespace plindra {

constinit const DriverTable kFloatToIntDrivers = family_driver_table<Family::FloatToInt>();

}  // namespace plindra
