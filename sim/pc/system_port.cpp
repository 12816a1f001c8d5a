#include "pc/system_port.h"

namespace sim {

uint8_t SystemControlPort::read()
{
    reads_++;
    clock_.advance(read_cost_);
    if (!present_)
        return 0xFF;
    return (clock_.now() / kRefreshPeriod) % 2 ? kRefreshToggle : 0;
}

}  // namespace sim
