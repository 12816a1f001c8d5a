// The processor's interrupt flag as the driver's critical sections use it:
// SaveFlagsAndDisableInterrupts / RestoreFlags, strictly nested.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "model_error.h"

namespace sim {

class Cpu {
public:
    static constexpr uint32_t kInterruptFlag = 0x200;
    static constexpr uint32_t kReservedOne = 0x002;  // EFLAGS bit 1 always reads 1

    explicit Cpu(ModelErrors& errors) : errors_(errors) {}

    uint32_t save_and_disable();
    void restore(uint32_t flags);

    bool interrupts_enabled() const { return enabled_; }
    size_t depth() const { return saved_.size(); }

    // Called when a driver routine returns to its caller: the routine must
    // leave the flag and the save depth as it found them. Reports and repairs.
    void check_returned(std::string_view routine, size_t depth_at_entry, bool enabled_at_entry);

    // Runs when RestoreFlags turns the flag on.
    void on_enable(std::function<void()> hook) { on_enable_ = std::move(hook); }

private:
    ModelErrors& errors_;
    bool enabled_ = true;
    std::vector<uint32_t> saved_;
    std::function<void()> on_enable_;
};

}  // namespace sim
