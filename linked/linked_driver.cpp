#include "linked_driver.h"

#include <cstring>

#include "frame.h"

namespace hba {

sim::Miniport::EntryPoint LinkedDriver::load()
{
    std::memset(&::DriverGlobals, 0, sizeof(::DriverGlobals));
    return DriverEntry;
}

LinkedDriver& linked_driver()
{
    static LinkedDriver driver;
    return driver;
}

}  // namespace hba
