#include "pc/interrupts.h"

#include <algorithm>

namespace sim {

InterruptLine& InterruptController::connect(uint8_t irq)
{
    sources_.push_back(std::make_unique<Source>(irq, *this));
    return *sources_.back();
}

bool InterruptController::raised(uint8_t irq) const
{
    return level_[irq] != 0;
}

InterruptController::Lines InterruptController::raised_lines() const
{
    Lines lines;
    if (!raised_sources_)
        return lines;
    for (const auto& s : sources_) {
        if (!s->raised() || masked(s->irq()))
            continue;
        uint8_t* const first = lines.irq.data();
        uint8_t* const last = first + lines.count;
        uint8_t* const at = std::lower_bound(first, last, s->irq());
        if (at != last && *at == s->irq())
            continue;
        std::copy_backward(at, last, last + 1);
        *at = s->irq();
        lines.count++;
    }
    return lines;
}

bool InterruptController::masked(uint8_t irq) const
{
    return std::find(masked_.begin(), masked_.end(), irq) != masked_.end();
}

}  // namespace sim
