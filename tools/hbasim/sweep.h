// hbasim --seeds A..B: a scenario run once per seed, each run as --seed N
// alone would run it, and one compact JSON line per run on standard output.
// Lines from separate ranges concatenate into one result, so a long range can
// be split into shards run on separate processes or machines.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "workload/fault_campaign.h"

namespace hbasim {

struct SeedRange {
    uint64_t first = 0, last = 0;  // both run
};

// "A..B" with A <= B; nothing with `error` (what is wrong, in words) otherwise.
std::optional<SeedRange> parse_seed_range(std::string_view text, std::string& error);

// Seeds in ascending order, runs of consecutive ones as ranges: "3, 11..13, 18".
std::string seed_list(const std::vector<uint64_t>& seeds);

// What one run of a sweep ended with.
struct SeedRun {
    std::string scenario;  // as named on the command line
    uint64_t seed = 0;
    std::optional<double> fault_rate;  // a fault campaign's rate,
    sim::FaultSet fault_kinds;         // and its kinds
    bool ok = false;
    nlohmann::json figures;  // the run's --json object
    uint64_t virtual_time_ns = 0;  // the machine's clock when the run ended
    std::vector<std::string> model_errors;  // the first few, in words
};

// The run's line: scenario, seed, the faults when a campaign, ok, the key
// figures, and when not ok the problems and the first model errors.
nlohmann::ordered_json seed_line(const SeedRun& run);

}  // namespace hbasim
