#include "pc/serial_port.h"

namespace sim {

uint8_t SerialPort::read_byte(uint8_t offset)
{
    if (offset == kReceive) {
        ready_ = false;
        return pending_;
    }
    if (offset == kLineStatus)
        return static_cast<uint8_t>(0x60 | (ready_ ? kDataReady : 0));
    return registers_[offset];
}

uint32_t SerialPort::read_port(uint16_t port, Width width)
{
    ++accesses_;
    uint32_t value = 0;
    for (unsigned i = 0; i < static_cast<unsigned>(width); i++) {
        const unsigned offset = port - base_ + i;
        const uint8_t byte = offset < kPortCount ? read_byte(static_cast<uint8_t>(offset)) : 0xFF;
        value |= static_cast<uint32_t>(byte) << (8 * i);
    }
    return value;
}

void SerialPort::write_port(uint16_t port, Width width, uint32_t value)
{
    ++accesses_;
    for (unsigned i = 0; i < static_cast<unsigned>(width); i++) {
        const unsigned offset = port - base_ + i;
        if (offset < kPortCount && offset != kReceive && offset != kLineStatus)
            registers_[offset] = static_cast<uint8_t>(value >> (8 * i));
    }
}

}  // namespace sim
