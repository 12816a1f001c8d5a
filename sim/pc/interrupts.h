// The PC's interrupt request lines. Each device gets its own source on an
// IRQ; a line is raised while any of its sources is. Lines are level
// triggered and may be shared by several adapters.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "interrupt_line.h"

namespace sim {

class InterruptController {
public:
    InterruptController() = default;
    InterruptController(const InterruptController&) = delete;  // the sources count into it
    InterruptController& operator=(const InterruptController&) = delete;

    // A new source on `irq`, for one device.
    InterruptLine& connect(uint8_t irq);

    bool raised(uint8_t irq) const;
    // Whether any source is raised, masked or not: the cheap test before raised_lines().
    bool any_raised() const { return raised_sources_ != 0; }
    // Raised lines, lowest IRQ first (the PIC's fixed priority). A value, not
    // a vector: interrupts are delivered often enough that the allocation showed.
    struct Lines {
        std::array<uint8_t, 256> irq{};
        size_t count = 0;
        const uint8_t* begin() const { return irq.data(); }
        const uint8_t* end() const { return irq.data() + count; }
    };
    Lines raised_lines() const;

    // A line that nobody claims is masked, as a port driver would disable it.
    void mask(uint8_t irq) { masked_.push_back(irq); }
    bool masked(uint8_t irq) const;

private:
    class Source : public InterruptLine {
    public:
        Source(uint8_t irq, size_t& raised_sources) : irq_(irq), raised_sources_(raised_sources) {}
        void set_level(bool raised) override
        {
            if (raised != raised_)
                raised ? ++raised_sources_ : --raised_sources_;
            raised_ = raised;
        }
        uint8_t irq() const { return irq_; }
        bool raised() const { return raised_; }

    private:
        uint8_t irq_;
        bool raised_ = false;
        size_t& raised_sources_;
    };
    std::vector<std::unique_ptr<Source>> sources_;
    size_t raised_sources_ = 0;
    std::vector<uint8_t> masked_;
};

}  // namespace sim
