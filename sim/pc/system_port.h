// System control port B (I/O port 0x61): bit 0x10 toggles with every memory
// refresh, every 15 us of virtual time. The driver reads it directly as a
// delay source, not through the port driver, so its reads are counted here
// and not in the port recorder.
#pragma once

#include <cstdint>

#include "clock.h"

namespace sim {

class SystemControlPort {
public:
    static constexpr Nanoseconds kRefreshPeriod = 15 * kMicrosecond;
    static constexpr uint8_t kRefreshToggle = 0x10;

    SystemControlPort(Clock& clock, bool present, Nanoseconds read_cost)
        : clock_(clock), present_(present), read_cost_(read_cost) {}

    // One read: costs virtual time, then samples the toggle. Absent: the bus floats.
    uint8_t read();
    uint64_t reads() const { return reads_; }

private:
    Clock& clock_;
    bool present_;
    Nanoseconds read_cost_;
    uint64_t reads_ = 0;
};

}  // namespace sim
