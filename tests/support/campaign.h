// Fault and behaviour campaigns as the system tests run them.
#pragma once

#include <cstdint>
#include <cstdlib>

#include <fmt/format.h>

#include "workload/fault_campaign.h"

namespace hbatest {

// With `variable` set in the environment (FAULTS_TRACE=1, say), the bus
// trace of the campaign is printed as it runs.
inline void TraceIfAsked(sim::workload::FaultCampaign& campaign, const char* variable)
{
    if (std::getenv(variable))
        campaign.set_bus_observer([](size_t, const sim::BusEvent& e) { fmt::print("{}\n", sim::to_string(e)); });
}

// How many requests of a campaign's phase ended with SRB status `status`.
inline uint64_t CountWithStatus(const sim::workload::PhaseFigures& f, uint8_t status)
{
    const auto it = f.by_status.find(status);
    return it == f.by_status.end() ? 0 : it->second;
}

}  // namespace hbatest
