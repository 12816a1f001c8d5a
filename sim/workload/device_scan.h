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
    uint32_t period_ns = 0;  // the agreed synchronous period; 0 asynchronous
    uint8_t offset = 0;      // the agreed REQ/ACK offset; 0 asynchronous
    unsigned tag_depth = 0;  // commands the driver keeps queued; 0 untagged

    bool read_only() const { return peripheral_type == 0x05; }
    std::string kind() const;
};

// The port driver's start-up scan (INQUIRY of every ID and LUN, READ
// CAPACITY of the block devices), keeping the disks and CD-ROM units that
// have a capacity, with the transfer settings the driver holds for each.
std::vector<ScannedDevice> scan_machine(Machine& machine);

// Reads the transfer settings the driver holds for `device` now (they change
// as SDTR is negotiated and after bus resets).
void refresh_settings(const Machine& machine, ScannedDevice& device);

}  // namespace sim::workload
