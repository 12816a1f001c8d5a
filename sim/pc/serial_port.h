// A serial port's receiver, as firmware often places one in the I/O range
// PCI windows also come from: eight ports, the received byte at offset 0 and
// the line status at offset 5 (bit 0: a byte is waiting). Reading offset 0
// takes the byte: whoever reads it blindly loses it for the port's real
// owner. Every access from the driver is counted; nothing should ever come.
#pragma once

#include <cstdint>

#include "port_space.h"

namespace sim {

class SerialPort : public PortDevice {
public:
    static constexpr uint32_t kPortCount = 8;
    static constexpr uint8_t kReceive = 0;
    static constexpr uint8_t kLineStatus = 5;
    static constexpr uint8_t kDataReady = 0x01;

    explicit SerialPort(uint16_t base) : base_(base) {}

    uint16_t base() const { return base_; }
    // A byte arrives from the line.
    void receive(uint8_t byte)
    {
        pending_ = byte;
        ready_ = true;
    }
    bool byte_waiting() const { return ready_; }
    uint64_t accesses() const { return accesses_; }

    uint32_t read_port(uint16_t port, Width width) override;
    void write_port(uint16_t port, Width width, uint32_t value) override;

private:
    uint8_t read_byte(uint8_t offset);

    uint16_t base_;
    uint8_t pending_ = 0;
    bool ready_ = false;
    uint8_t registers_[kPortCount] = {};
    uint64_t accesses_ = 0;
};

}  // namespace sim
