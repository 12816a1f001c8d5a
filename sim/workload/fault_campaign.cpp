#include "workload/fault_campaign.h"

#include <algorithm>
#include <set>

#include <fmt/format.h>

namespace sim::workload {

bool CampaignResult::sound() const
{
    return lost() == 0 && bytes_miscompared() == 0 && problems.empty();
}

FaultCampaign::FaultCampaign(Machine& machine, CampaignConfig config, Choices* choices)
    : FaultCampaign(machine, std::move(config), scan_machine(machine), choices)
{
}

FaultCampaign::FaultCampaign(Machine& machine, CampaignConfig config, std::vector<ScannedDevice> devices,
                             Choices* choices)
    : machine_(machine),
      config_(std::move(config)),
      rng_choices_(machine.rng()),
      faults_(machine, choices ? *choices : rng_choices_),
      devices_(std::move(devices))
{
}

PhaseFigures FaultCampaign::run_phase(const WorkloadConfig& config, const std::function<void(double)>& progress)
{
    Runner runner(machine_, devices_, config);
    if (observer_)
        runner.set_bus_observer(observer_);
    if (progress)
        runner.set_progress(progress);
    PhaseFigures f;
    f.results = runner.run();
    const Results& r = f.results;
    f.requests = r.total.requests;
    f.busy_retries = r.total.busy_retries;
    f.short_transfers = r.total.short_transfers;
    f.lost = r.total.lost;
    f.bytes_miscompared = r.total.bytes_miscompared;
    uint64_t failed = 0;
    for (const auto& [status, n] : r.total.errors) {
        f.by_status[status] += n;
        failed += n;
    }
    if (f.requests > failed)
        f.by_status[SRB_STATUS_SUCCESS] += f.requests - failed;
    return f;
}

// Every device commits the campaign's kinds or its own, at the campaign's rate.
void FaultCampaign::start_faults(CampaignResult& result)
{
    faults_.set_random(config_.kinds, config_.rate);
    const auto& adapters = machine_.config().adapters;
    for (size_t a = 0; a < adapters.size(); a++)
        for (const DeviceConfig& d : adapters[a].devices) {
            const auto own = config_.device_kinds.find({a, d.id});
            if (own != config_.device_kinds.end())
                faults_.device(a, d.id).set_random(own->second, config_.rate);
            if (config_.rate > 0)
                result.kinds |= own != config_.device_kinds.end() ? own->second : config_.kinds;
        }
    for (const auto& [key, kinds] : config_.device_kinds)
        if (key.first >= adapters.size() || std::none_of(adapters[key.first].devices.begin(),
                                                         adapters[key.first].devices.end(),
                                                         [id = key.second](const DeviceConfig& d) { return d.id == id; }))
            result.problems.push_back(fmt::format("fault kinds given for adapter {} ID {}, where there is no device",
                                                  key.first, key.second));
}

CampaignResult FaultCampaign::run()
{
    CampaignResult result;
    PortDriver& port = machine_.port_driver();
    const uint64_t timeouts_before = port.timeouts().time_outs();
    uint64_t resets_before = 0;
    for (size_t i = 0; i < port.adapter_count(); i++)
        resets_before += port.adapter(i).resets_detected;

    start_faults(result);
    result.faulty = run_phase(config_.workload, progress_);
    faults_.stop();
    // Ghost commands still waiting to reselect were dropped by stop().
    port.run_for(10 * kMillisecond);
    // The clean phase verifies against the devices' original contents.
    for (size_t a = 0; a < machine_.config().adapters.size(); a++)
        for (const DeviceConfig& d : machine_.config().adapters[a].devices)
            if (auto* device = dynamic_cast<BlockDevice*>(machine_.bus(a).target(d.id)))
                device->store().forget_writes();

    WorkloadConfig clean = config_.workload;
    clean.requests = config_.clean_requests;
    clean.duration = 0;
    clean.seed = config_.workload.seed + 1;
    result.clean = run_phase(clean, {});
    const uint64_t whole = result.clean.by_status[SRB_STATUS_SUCCESS] - result.clean.short_transfers;
    if (result.clean.requests != config_.clean_requests * devices_.size() || whole != result.clean.requests)
        result.problems.push_back(fmt::format("clean phase: {} of {} requests succeeded in full", whole,
                                              config_.clean_requests * devices_.size()));

    result.injected = faults_.counts();
    result.time_outs = port.timeouts().time_outs() - timeouts_before;
    for (size_t i = 0; i < port.adapter_count(); i++)
        result.bus_resets += port.adapter(i).resets_detected;
    result.bus_resets -= resets_before;
    result.foreign_interrupts = faults_.foreign_interrupts_claimed();
    check_ledger(result);
    return result;
}

// With the bus idle nothing is left with the port driver, and whatever the
// end check finds inside the driver.
void FaultCampaign::check_ledger(CampaignResult& result) const
{
    const PortDriver& port = machine_.port_driver();
    if (port.outstanding() || port.waiting())
        result.problems.push_back(fmt::format("{} requests outstanding, {} waiting at the end", port.outstanding(),
                                              port.waiting()));
    if (config_.end_check)
        config_.end_check(machine_, result.problems);
    // One line: the first error tells the story, and a broken run can see thousands.
    const auto& errors = machine_.errors().all();
    if (!errors.empty())
        result.problems.push_back(fmt::format("{} model error{}, the first: {}", errors.size(),
                                              errors.size() == 1 ? "" : "s", errors.front().to_string()));
}

std::string summary(const CampaignResult& r)
{
    uint64_t injected = 0;
    for (uint64_t n : r.injected)
        injected += n;
    std::string out = fmt::format("faults injected: {} in all\n", injected);
    for (size_t i = 0; i < kFaultKinds; i++)
        if (r.kinds.test(i) || r.injected[i])
            out += fmt::format("  {:<34} {:>12}\n", fault_name(static_cast<FaultKind>(i)), r.injected[i]);
    auto row = [&](const std::string& what, uint64_t faulty, uint64_t clean) {
        out += fmt::format("{:<36} {:>12} {:>12}\n", what, faulty, clean);
    };
    auto status = [](const PhaseFigures& f, uint8_t s) {
        const auto it = f.by_status.find(s);
        return it == f.by_status.end() ? uint64_t{0} : it->second;
    };
    out += fmt::format("{:<36} {:>12} {:>12}\n", "requests by SRB status", "with faults", "clean");
    std::set<uint8_t> statuses;
    for (const PhaseFigures* f : {&r.faulty, &r.clean})
        for (const auto& [s, n] : f->by_status)
            statuses.insert(s);
    for (const uint8_t s : statuses) {
        row("  " + srb_status_name(s), status(r.faulty, s), status(r.clean, s));
        if (s == SRB_STATUS_SUCCESS)
            row("    of them short transfers", r.faulty.short_transfers, r.clean.short_transfers);
    }
    row("  in all", r.faulty.requests, r.clean.requests);
    row("BUSY retries", r.faulty.busy_retries, r.clean.busy_retries);
    row("requests lost", r.faulty.lost, r.clean.lost);
    row("bytes miscompared", r.faulty.bytes_miscompared, r.clean.bytes_miscompared);
    out += fmt::format("time-outs {}, bus resets {}, foreign interrupts claimed {}\n", r.time_outs, r.bus_resets,
                       r.foreign_interrupts);
    for (const std::string& p : r.problems)
        out += "problem: " + p + "\n";
    return out;
}

}  // namespace sim::workload
