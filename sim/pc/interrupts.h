// The PC's interrupt request lines. Each device gets its own source on an
// IRQ; a line is raised while any of its sources is. A line connected level
// sensitive interrupts for as long as it is raised, and may be shared by
// several adapters; one connected latched (edge) interrupts once per rising
// edge, so each line also remembers whether it rose since its last edge was
// taken. An edge that falls again before it is taken is gone, as with the
// PC's interrupt controller in edge mode.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
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

    // The line rose since its edge was last taken, and is still raised.
    bool edge_pending(uint8_t irq) const { return edge_[irq]; }
    // Takes the pending edge: true when there was one.
    bool take_edge(uint8_t irq) { return std::exchange(edge_[irq], false); }

    // A line that nobody claims is masked, as a port driver would disable it.
    void mask(uint8_t irq) { masked_.push_back(irq); }
    bool masked(uint8_t irq) const;

private:
    class Source : public InterruptLine {
    public:
        Source(uint8_t irq, InterruptController& lines) : irq_(irq), lines_(lines) {}
        void set_level(bool raised) override
        {
            if (raised == raised_)
                return;
            raised_ = raised;
            raised ? lines_.source_rose(irq_) : lines_.source_fell(irq_);
        }
        uint8_t irq() const { return irq_; }
        bool raised() const { return raised_; }

    private:
        uint8_t irq_;
        bool raised_ = false;
        InterruptController& lines_;
    };
    // The line rises with its first raised source and falls with its last.
    void source_rose(uint8_t irq)
    {
        ++raised_sources_;
        if (level_[irq]++ == 0)
            edge_[irq] = true;
    }
    void source_fell(uint8_t irq)
    {
        --raised_sources_;
        if (--level_[irq] == 0)
            edge_[irq] = false;
    }
    std::vector<std::unique_ptr<Source>> sources_;
    size_t raised_sources_ = 0;
    std::array<uint16_t, 256> level_{};  // raised sources per line
    std::array<bool, 256> edge_{};
    std::vector<uint8_t> masked_;
};

}  // namespace sim
