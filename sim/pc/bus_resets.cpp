// Bus resets: the port driver's own, for a request past its time-out, and
// those the miniport reports; after either the adapter is held off a while.
#include "pc/port_driver.h"

#include <fmt/format.h>

#include "pc/port_driver_internal.h"

namespace sim {

using namespace port_internal;

void PortDriver::reset_detected(PVOID extension)
{
    const int a = adapter_of(extension);
    if (a < 0) {
        errors_.report(kWho, "ResetDetected from an extension that is no adapter");
        return;
    }
    adapters_[a]->resets_detected++;
    hold_after_reset(*adapters_[a]);
}

// A bus reset: the targets need time to come back, and the port driver gives
// the adapter no new request until then.
void PortDriver::hold_after_reset(Adapter& a)
{
    if (options_.lenient.no_reset_hold)
        return;
    a.hold_until = clock_.now() + kResetHold;
    // Wake the machine when the hold ends, should nothing else be due then.
    clock_.after(kResetHold, [] {});
}

void PortDriver::reset_bus(size_t index, ULONG path)
{
    Adapter& a = *adapters_.at(index);
    call(Routine::ResetBus, "HwResetBus", [&] { return registration_.HwResetBus(a.extension, path); });
    hold_after_reset(a);
    pump();
}

void PortDriver::service_timeouts()
{
    if (in_routine() || !timeouts_.due())
        return;
    for (uint64_t id : timeouts_.take_lost())
        errors_.report(kWho, fmt::format("request {} still outstanding a whole time-out after the bus reset its "
                                         "time-out caused: the miniport lost it",
                                         id));
    for (const RequestTimeouts::Due& due : timeouts_.take_due())
        reset_bus(due.adapter, due.path);
}

}  // namespace sim
