// Coverage-guided fuzzing of the driver against hostile devices. The input
// bytes choose the machine's timing, the workload, the fault kinds (each by
// the bit its row in the kind table, sim/bus/fault_kinds.h, gives it) and
// rate, and then every choice a misbehaving device makes. Whatever they
// choose, the driver must lose no request, complete none twice, leave its
// ledger clean, keep every LUN able to start, return the right data and
// break no rule of the simulated hardware; otherwise the run aborts. A
// finding is replayed in tests/faults as a regression test.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

#include "support/driver_internals.h"
#include "linked_driver.h"
#include "workload/hostile_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const sim::workload::HostileRun run = sim::workload::run_hostile_input(std::span<const uint8_t>(data, size), hba::linked_driver(), internals::DriverHoldsNothing);
    if (!run.sound()) {
        std::fprintf(stderr, "devices found: %zu\n%s", run.devices, sim::workload::summary(run.result).c_str());
        std::abort();
    }
    return 0;
}
