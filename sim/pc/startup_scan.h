// The port driver's start-up scan: before anything else it asks LUNs 0-7 of
// every target ID of every adapter what is there (INQUIRY, 36 bytes, sent
// again twice when it fails unless the selection timed out; a peripheral
// qualifier of 3 means nothing can be there), and the class drivers ask the
// capacity of every block device found (READ CAPACITY). The scan also leaves
// the driver's per-LUN settings as a real boot would: synchronous agreements
// from the first READ CAPACITY (the port driver's INQUIRY goes with
// SRB_FLAGS_DISABLE_SYNCH_TRANSFER), tagged queuing switched on by the
// INQUIRY answers.
// What it reports of them is what the bus saw and the port driver was told.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

class Machine;

// A logical unit that answered the scan's INQUIRY with a device, as the
// port driver found it (the workload's view of it is workload::ScannedDevice).
struct FoundUnit {
    size_t adapter = 0;  // port driver's adapter index
    uint8_t id = 0;
    uint8_t lun = 0;
    uint8_t peripheral = 0;  // INQUIRY byte 0: qualifier and device type
    std::string vendor, product, revision;  // trailing blanks removed
    bool capacity_known = false;
    uint64_t block_count = 0;
    uint32_t block_size = 0;
    // The timing of the last data phase with the target during the scan, as
    // the bus saw it: the period in ns and the offset (0: asynchronous).
    uint32_t period_ns = 0;
    uint8_t offset = 0;
    // The INQUIRY data as returned says the unit takes tagged commands.
    bool tagged = false;
};

// Scans every adapter of a booted machine, one request at a time, and
// returns what answered, in adapter, ID, LUN order.
std::vector<FoundUnit> scan_devices(Machine& machine);

}  // namespace sim
