// Scenario files: a TOML description of the machine hbasim boots.
//
//   seed = 1
//   port61 = true                 # system control port 0x61 present
//   wanted_base = 0xE800          # optional: the port driver hands in this access range
//   hold_interrupts_during_reset = false
//   [pci]
//   mechanism1 = true
//   mechanism2 = false
//   [costs]
//   port_access_ns = 500
//   port61_read_ns = 1000
//   interrupt_entry_ns = 2000
//   [[adapter]]
//   bus = 0, device = 3, io_base = 0xE800, irq = 11
//   initiator_id = 7, options = 0, tag_depth_shift = 2, damaged_eeprom = false
//   [[adapter.target]]            # every target starts with all features on, speed 0
//   id = 3, parity = true, sync = false, disconnect = true, tagged = false, speed_index = 2
#pragma once

#include <string>
#include <string_view>

#include "pc/machine.h"

namespace hbasim {

struct ScenarioResult {
    sim::MachineConfig config;
    std::string error;  // one line, "name:line: what is wrong"; empty when parsed
    bool ok() const { return error.empty(); }
};

ScenarioResult parse_scenario(std::string_view text, const std::string& name);
ScenarioResult load_scenario(const std::string& path);

}  // namespace hbasim
