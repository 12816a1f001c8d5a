// The model errors of a run (rules of the hardware, the bus or the port
// driver that the driver broke) as hbasim prints them after the results.
#pragma once

#include <string>

#include "pc/machine.h"

namespace hbasim {

// Empty when there were none.
std::string describe_errors(const sim::Machine& machine);

}  // namespace hbasim
