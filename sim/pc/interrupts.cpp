#include "pc/interrupts.h"

#include <algorithm>

namespace sim {

InterruptLine& InterruptController::connect(uint8_t irq)
{
    sources_.push_back(std::make_unique<Source>(irq, raised_sources_));
    return *sources_.back();
}

bool InterruptController::raised(uint8_t irq) const
{
    return std::any_of(sources_.begin(), sources_.end(),
                       [irq](const auto& s) { return s->irq() == irq && s->raised(); });
}

std::vector<uint8_t> InterruptController::raised_lines() const
{
    std::vector<uint8_t> lines;
    for (const auto& s : sources_)
        if (s->raised() && !masked(s->irq()))
            lines.push_back(s->irq());
    std::sort(lines.begin(), lines.end());
    lines.erase(std::unique(lines.begin(), lines.end()), lines.end());
    return lines;
}

bool InterruptController::masked(uint8_t irq) const
{
    return std::find(masked_.begin(), masked_.end(), irq) != masked_.end();
}

}  // namespace sim
