// The integer-to-integer driver instances.
#include "drivers.hpp"

namespace plindra {

constinit const DriverTable kIntToIntDrivers = family_driver_table<Family::IntToInt>();

}  // namespace plindra
