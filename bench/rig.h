// The machines the benchmarks measure: one adapter, a number of identical
// disks, booted and scanned, ready for a workload.
#pragma once

#include <memory>

#include "workload/workload.h"

namespace bench {

struct DiskModel {
    sim::Nanoseconds track_seek = 0, full_seek = 0, revolution = 0;  // zero: media faster than the bus
};

class Rig {
public:
    // With `driver`, that miniport (the kernel image on the emulated
    // processor, say) instead of the linked-in driver.
    // `lenient`: the port driver's rules relaxed (all strict by default).
    Rig(unsigned disks, bool tagged, DiskModel media = {}, sim::Miniport* driver = nullptr,
        sim::PortDriver::Lenient lenient = {});
    sim::workload::Results run(const sim::workload::WorkloadConfig& w);
    sim::Machine& machine() { return *machine_; }
    const std::vector<sim::workload::ScannedDevice>& devices() const { return devices_; }

private:
    std::unique_ptr<sim::Machine> machine_;
    std::vector<sim::workload::ScannedDevice> devices_;
};

// Reads of `size` bytes, `outstanding` per device, `requests` per device.
sim::workload::WorkloadConfig reads(uint32_t size, bool random, unsigned outstanding, uint64_t requests, bool verify);

}  // namespace bench
