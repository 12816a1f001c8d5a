// What the port driver's start-up scan finds on every adapter's bus: for each
// logical unit that answers INQUIRY with a device, its identity, its capacity
// from READ CAPACITY, and the transfer settings the driver agreed with it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pc/machine.h"

namespace sim::workload {

struct ScannedDevice {
    size_t adapter = 0;  // the port driver's adapter index
    uint8_t path = 0, target = 0, lun = 0;
    uint8_t peripheral_type = 0;  // 0x00 direct access, 0x05 CD-ROM
    std::string vendor, product;
    uint64_t block_count = 0;  // from READ CAPACITY: last LBA + 1
    uint32_t block_size = 0;
    // The last data phase's timing on the bus; 0: asynchronous (or none yet).
    uint32_t period_ns = 0;
    uint8_t offset = 0;
    bool tagged = false;     // its INQUIRY data, as returned, offers tagged queuing
    unsigned tag_depth = 0;  // the depth the adapter's settings give it; 0 untagged

    bool read_only() const { return peripheral_type == 0x05; }
    std::string kind() const;
};

// The port driver's start-up scan (INQUIRY of every ID and LUN, READ
// CAPACITY of the block devices), keeping the disks and CD-ROM units that
// have a capacity, with the transfer timing the bus saw for each.
std::vector<ScannedDevice> scan_machine(Machine& machine);

// Reads the transfer timing the bus saw for `device` now (it changes as SDTR
// is negotiated and after bus resets).
void refresh_settings(const Machine& machine, ScannedDevice& device);

}  // namespace sim::workload
