// The HwTimer call the miniport asks for with RequestTimerCall.
#include "pc/port_driver.h"

#include <utility>

#include <fmt/format.h>

#include "pc/port_driver_internal.h"

namespace sim {

using namespace port_internal;

void PortDriver::request_timer(PVOID extension, PHW_TIMER routine, ULONG microseconds)
{
    const int index = adapter_of(extension);
    if (index < 0) {
        errors_.report(kWho, "RequestTimerCall from an extension that is no adapter");
        return;
    }
    if (!routine && microseconds != 0) {
        errors_.report(kWho, fmt::format("RequestTimerCall for {} us without a routine to call", microseconds));
        return;
    }
    Adapter& a = *adapters_[static_cast<size_t>(index)];
    if (a.timer_event)
        clock_.cancel(a.timer_event);
    if (a.timer_due)
        timers_due_--;
    a.timer_event = 0;
    a.timer_due = false;
    a.timer = microseconds == 0 ? nullptr : routine;
    if (!a.timer)
        return;
    Adapter* adapter = &a;
    a.timer_event = clock_.after(Nanoseconds{microseconds} * kMicrosecond, [this, adapter] {
        adapter->timer_event = 0;
        adapter->timer_due = true;
        timers_due_++;
    });
}

// A due timer call runs as the interrupt routine does: between miniport
// routines, with interrupts enabled, never beside HwInterrupt.
bool PortDriver::run_due_timers()
{
    if (timers_due_ == 0 || in_routine() || !cpu_.interrupts_enabled())
        return false;
    for (const auto& a : adapters_) {
        if (!a->timer_due)
            continue;
        a->timer_due = false;
        timers_due_--;
        const PHW_TIMER routine = std::exchange(a->timer, nullptr);
        a->timer_calls++;
        call(Routine::Timer, "HwTimer", [&] {
            routine(a->extension);
            return 0;
        });
        deliver_interrupts();
    }
    return true;
}

}  // namespace sim
