// An interrupt request line from a device to the PC.
#pragma once

namespace sim {

// The line is level triggered: the device holds it raised until its cause
// is cleared.
class InterruptLine {
public:
    virtual ~InterruptLine() = default;
    virtual void set_level(bool raised) = 0;
};

}  // namespace sim
