// The fuzzer's view of a fault campaign: one run whose every choice comes
// from a string of bytes.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>

#include "workload/fault_campaign.h"

namespace sim::workload {

// One hostile run chosen entirely by `bytes` (the fuzzer's input): the
// machine's seed (whose top bits also say whether the driver gets a
// parameter string, and which), its timing, the workload, the fault kinds (legal behaviours among
// them) and rate, the requests with flags of their own (an optional byte
// after the legal behaviours'), then every choice the devices make. Boots
// its own machine with a tagged disk and an optical drive. `devices` is how many the scan found (2 unless the run broke).
struct HostileRun {
    CampaignResult result;
    size_t devices = 0;
    bool sound() const { return result.sound() && devices == 2; }
};
// The fault kinds an input selects, from its kind bytes on (after the
// machine's seven): each kind by the bit its row in the kind table gives it
// (FaultKindRow::hostile_bit); and the unusual requests' byte, when the kind
// bytes ask for one. `in` moves past what was read.
struct HostileKinds {
    FaultSet kinds;
    std::optional<uint8_t> unusual;
};
HostileKinds hostile_kinds(std::span<const uint8_t>& in);

// `miniport` is booted; `end_check` is the campaign's (CampaignConfig::end_check).
HostileRun run_hostile_input(std::span<const uint8_t> bytes, Miniport& miniport,
                             std::function<void(const Machine&, std::vector<std::string>&)> end_check = {},
                             std::function<void(size_t adapter, const BusEvent&)> observer = {});

}  // namespace sim::workload
