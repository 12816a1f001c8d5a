// What hbasim prints about a booted machine: per adapter found, where it is,
// what its settings EEPROM holds for each target, and the timing the bus last
// saw each target's data phases run at.
#pragma once

#include <string>

#include "pc/machine.h"

namespace hbasim {

// The tag depth the driver uses on a tagged LUN: 2 << shift, at most 16.
unsigned tag_depth(uint8_t shift);
// The configuration mechanism the driver's scan order finds the adapter under:
// #2 first (devices 0-15 only), then #1.
int found_under_mechanism(const sim::MachineConfig& config, const sim::AdapterConfig& adapter);

std::string describe_adapters(sim::Machine& machine);

}  // namespace hbasim
