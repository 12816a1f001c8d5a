// The PC's interrupt request lines. Each device gets its own source on an
// IRQ; a line is raised while any of its sources is. Lines are level
// triggered and may be shared by several adapters.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "interrupt_line.h"

namespace sim {

class InterruptController {
public:
    // A new source on `irq`, for one device.
    InterruptLine& connect(uint8_t irq);

    bool raised(uint8_t irq) const;
    // Raised lines, lowest IRQ first (the PIC's fixed priority).
    std::vector<uint8_t> raised_lines() const;

    // A line that nobody claims is masked, as a port driver would disable it.
    void mask(uint8_t irq) { masked_.push_back(irq); }
    bool masked(uint8_t irq) const;

private:
    class Source : public InterruptLine {
    public:
        explicit Source(uint8_t irq) : irq_(irq) {}
        void set_level(bool raised) override { raised_ = raised; }
        uint8_t irq() const { return irq_; }
        bool raised() const { return raised_; }

    private:
        uint8_t irq_;
        bool raised_ = false;
    };
    std::vector<std::unique_ptr<Source>> sources_;
    std::vector<uint8_t> masked_;
};

}  // namespace sim
