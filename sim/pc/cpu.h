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

    bool interrupts_enabled() const { return flag_ ? flag_->read() : enabled_; }
    size_t depth() const { return saved_.size(); }

    // Called when a driver routine returns to its caller: the routine must
    // leave the flag and the save depth as it found them. Reports and repairs.
    void check_returned(std::string_view routine, size_t depth_at_entry, bool enabled_at_entry);

    // Runs when RestoreFlags turns the flag on.
    void on_enable(std::function<void()> hook) { on_enable_ = std::move(hook); }

    // A processor whose interrupt flag lives elsewhere: an emulated i386 that
    // runs the kernel image, with the flag in its EFLAGS. From now on the flag
    // is read and repaired there; the platform hooks are not used (the image
    // does CLI and STI itself), and the processor says when an instruction of
    // its own has turned the flag on. Null goes back to this model's flag.
    struct ExternalFlag {
        virtual ~ExternalFlag() = default;
        virtual bool read() const = 0;
        virtual void write(bool enabled) = 0;
    };
    void attach(ExternalFlag* flag) { flag_ = flag; }
    void flag_turned_on()
    {
        if (on_enable_)
            on_enable_();
    }

private:
    ModelErrors& errors_;
    bool enabled_ = true;
    std::vector<uint32_t> saved_;
    std::function<void()> on_enable_;
    ExternalFlag* flag_ = nullptr;
};

}  // namespace sim
