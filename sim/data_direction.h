// Which way a data phase moves bytes, as the bus, the chip and the port
// driver all name it.
#pragma once

#include <cstdint>

namespace sim {

// In is device to memory.
enum class DataDirection : uint8_t { None, In, Out };

}  // namespace sim
