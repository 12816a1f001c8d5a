// hbasim's fault campaigns: reading a rate and fault kinds as the command
// line and scenario files give them, and what hbasim reports of a campaign.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "scenario.h"
#include "workload/fault_campaign.h"

namespace hbasim {

// A fraction ("0.01") or a percentage ("1%"), 0-1; nothing when it is neither.
std::optional<double> parse_rate(std::string_view text);
// What is wrong with a rate that parse_rate refused.
std::string rate_problem(std::string_view text);
// `unknown fault kind "NAME" (known: ...)`.
std::string unknown_fault_kind(std::string_view name);

// --faults RATE[:KIND,KIND...]: the rate, and the kinds when given.
struct FaultsOption {
    double rate = 0;
    std::optional<sim::FaultSet> kinds;
};
// The option, or what is wrong with it in `error`.
std::optional<FaultsOption> parse_faults_option(std::string_view text, std::string& error);

// The campaign the scenario's [faults] table or --faults asks for; nothing
// for a plain workload. --faults gives the rate, and the kinds when it names
// them; the devices' own kinds stay theirs.
std::optional<sim::workload::CampaignConfig> campaign_config(const Scenario& scenario,
                                                              const std::optional<FaultsOption>& option);

// The kinds by name, "every kind" for all of them.
std::string kind_names(const sim::FaultSet& kinds);
// The rate and the kinds each device commits, before the run.
std::string campaign_heading(const sim::workload::CampaignConfig& config);
// The verdict line: sound or not, and why not; `devices` is how many the campaign ran against.
std::string campaign_verdict(const sim::workload::CampaignResult& result, size_t devices);
// Event-log entries by error code: {"SP_...": count}.
nlohmann::json event_log_json(const std::map<uint32_t, uint64_t>& logged);
nlohmann::json campaign_json(const sim::workload::CampaignConfig& config, const sim::workload::CampaignResult& result);

}  // namespace hbasim
