#include "pc/cpu.h"

#include <fmt/format.h>

namespace sim {

uint32_t Cpu::save_and_disable()
{
    const uint32_t flags = kReservedOne | (enabled_ ? kInterruptFlag : 0);
    saved_.push_back(flags);
    enabled_ = false;
    return flags;
}

void Cpu::restore(uint32_t flags)
{
    if (saved_.empty()) {
        errors_.report("cpu", "RestoreFlags without a matching SaveFlagsAndDisableInterrupts");
        return;
    }
    if (flags != saved_.back())
        errors_.report("cpu", fmt::format("RestoreFlags({:#x}) is not the value last saved ({:#x})", flags,
                                          saved_.back()));
    saved_.pop_back();
    const bool was_enabled = enabled_;
    enabled_ = (flags & kInterruptFlag) != 0;
    if (enabled_ && !was_enabled && on_enable_)
        on_enable_();
}

void Cpu::check_returned(std::string_view routine, size_t depth_at_entry, bool enabled_at_entry)
{
    if (saved_.size() != depth_at_entry) {
        errors_.report("cpu", fmt::format("{} returned with {} saved flags not restored", routine,
                                          static_cast<long>(saved_.size()) - static_cast<long>(depth_at_entry)));
        saved_.resize(std::min(saved_.size(), depth_at_entry));
    }
    const bool enabled = interrupts_enabled();
    if (enabled != enabled_at_entry) {
        errors_.report("cpu", fmt::format("{} returned with interrupts {}", routine,
                                          enabled ? "enabled" : "disabled"));
        if (flag_)
            flag_->write(enabled_at_entry);
        else
            enabled_ = enabled_at_entry;
    }
}

}  // namespace sim
