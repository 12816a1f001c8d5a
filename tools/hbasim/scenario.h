// Scenario files: a TOML description of the machine hbasim boots.
//
//   seed = 1
//   port61 = true                 # system control port 0x61 present
//   wanted_base = 0xE800          # optional: the port driver hands in this access range
//   interrupts_inside_reset_wait = false  # lenient: HwResetBus's reset wait takes the interrupt
//   serial_ports = [0xC100]       # serial receivers (8 ports each); a read of the data port takes its byte
//   argument_string = "..."      # optional: the driver-parameter string HwFindAdapter gets
//   [pci]
//   mechanism1 = true
//   mechanism2 = false
//   [costs]
//   port_access_ns = 500
//   port61_read_ns = 1000
//   interrupt_entry_ns = 2000
//   [[adapter]]
//   bus = 0, pci_device = 3, io_base = 0xE800, irq = 11  # device = 3 also names the PCI slot
//   initiator_id = 7, options = 0, tag_depth_shift = 2, damaged_eeprom = false
//   [[adapter.target]]            # every target starts with all features on, speed 0
//   id = 3, parity = true, sync = false, disconnect = true, tagged = false, speed_index = 2
//   [[adapter.device]]            # a device on this adapter's SCSI bus
//   id = 0, kind = "disk"         # "disk" or "optical" (read only, 2048-byte blocks)
//   capacity = 65536              # blocks; or image = "file.img" (its size gives the capacity)
//   block_size = 512, vendor = "SIM", product = "DISK"
//   luns = 1                      # logical units 0 to luns - 1, each a medium of its own (1-8)
//   disconnect = true, disconnect_threshold_us = 50
//   tagged = true, tag_depth = 8  # tagged queuing, and commands held before QUEUE FULL
//   sdtr = "agree"                # "agree", "reject", "offset0", "slower" (with min_period_ns = 200)
//   track_seek_us = 0, full_seek_us = 0, revolution_us = 0
//   faults = ["busy", "queue-full"]  # in a fault campaign: the kinds this device commits
//                                    # (instead of the campaign's); [] keeps it well behaved
//   behaviours = ["bare-disconnect"] # legal behaviours (SCSI-2 allows them), in every run,
//   behaviour_rate = 0.1             # each command with this chance (0-1 or "10%"; 0.1 when not given)
//   [workload]
//   pattern = "mixed"             # "read", "write" or "mixed" (with read_percent = 70)
//   random = true, block_size = 4096, outstanding = 4  # per device
//   requests = 1000               # per device; or duration_ms = 500 (virtual)
//   verify = true, seed = 1       # seed: the machine's when not given
//   [faults]                      # makes the run a fault campaign (as --faults does)
//   rate = 0.01                   # per command, per device: a fraction 0-1, or a string "1%"
//   kinds = ["busy", ...]         # fault kinds by name (sim/bus/faults.cpp); every kind when not given
//   clean_requests = 64           # per device, after the faults stop; every one must succeed
#pragma once

#include <string>
#include <string_view>

#include "pc/machine.h"
#include "workload/fault_campaign.h"
#include "workload/workload.h"

namespace hbasim {

struct Scenario {
    sim::MachineConfig machine;
    sim::workload::WorkloadConfig workload;
    // A fault campaign's rate, kinds and clean requests ([faults]), the
    // devices' own kinds (their `faults` keys) and their legal behaviours
    // (`behaviours`, which ordinary runs keep too); its workload is `workload`.
    sim::workload::CampaignConfig campaign;
    bool has_faults_table = false;  // the file asks for a campaign
};

struct ScenarioResult {
    Scenario scenario;
    std::string error;  // one line, "name:line: what is wrong"; empty when parsed
    bool ok() const { return error.empty(); }
};

ScenarioResult parse_scenario(std::string_view text, const std::string& name);
ScenarioResult load_scenario(const std::string& path);
// No file: one adapter with four tagged, disconnecting, synchronous disks at
// IDs 0-3 and an optical drive at ID 4, under a verified 70/30 random mix.
Scenario default_scenario();

}  // namespace hbasim
