#include "workload/fault_campaign.h"

#include <fmt/format.h>

namespace sim::workload {

bool CampaignResult::sound() const
{
    return lost() == 0 && bytes_miscompared() == 0 && problems.empty();
}

FaultCampaign::FaultCampaign(Machine& machine, CampaignConfig config, Choices* choices)
    : machine_(machine),
      config_(std::move(config)),
      rng_choices_(machine.rng()),
      faults_(machine, choices ? *choices : rng_choices_),
      devices_(scan_machine(machine))
{
}

PhaseFigures FaultCampaign::run_phase(const WorkloadConfig& config)
{
    Runner runner(machine_, devices_, config);
    if (observer_)
        runner.set_bus_observer(observer_);
    const Results r = runner.run();
    PhaseFigures f;
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

CampaignResult FaultCampaign::run()
{
    CampaignResult result;
    PortDriver& port = machine_.port_driver();
    const uint64_t timeouts_before = port.timeouts().time_outs();
    uint64_t resets_before = 0;
    for (size_t i = 0; i < port.adapter_count(); i++)
        resets_before += port.adapter(i).resets_detected;

    faults_.set_random(config_.kinds, config_.rate);
    result.faulty = run_phase(config_.workload);
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
    result.clean = run_phase(clean);
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

// With the bus idle every block is free, no LUN owns the bus, the ring is
// empty and every LUN can start a command.
void FaultCampaign::check_ledger(CampaignResult& result) const
{
    const PortDriver& port = machine_.port_driver();
    if (port.outstanding() || port.waiting())
        result.problems.push_back(fmt::format("{} requests outstanding, {} waiting at the end", port.outstanding(),
                                              port.waiting()));
    for (const Machine::FoundAdapter& a : machine_.adapters()) {
        const AdapterExtension* e = a.extension;
        int free_blocks = 0;
        for (const CommandBlock* b = e->FreeBlocks; b && free_blocks <= COMMAND_BLOCK_COUNT; b = b->Next)
            free_blocks++;
        if (free_blocks != COMMAND_BLOCK_COUNT)
            result.problems.push_back(fmt::format("{} of {} command blocks free at the end", free_blocks,
                                                  COMMAND_BLOCK_COUNT));
        if (e->ActiveLun || e->ServiceCursor)
            result.problems.push_back("a LUN still owns the bus or the service ring is not empty at the end");
        for (const auto& target : e->Lun)
            for (const LunRecord& lun : target)
                if (lun.QueueDepth < 1 || lun.IssuedCount || lun.QueuedCount || lun.QueueHead)
                    result.problems.push_back(fmt::format("target {} LUN record left unable to start (depth {}, "
                                                          "issued {}, queued {})",
                                                          lun.TargetId, lun.QueueDepth, lun.IssuedCount,
                                                          lun.QueuedCount));
    }
    if (!machine_.errors().empty())
        result.problems.push_back(machine_.errors().summary());
}

std::string summary(const CampaignResult& r)
{
    std::string out = "faults injected:\n";
    for (size_t i = 0; i < kFaultKinds; i++)
        if (r.injected[i])
            out += fmt::format("  {:<32} {}\n", fault_name(static_cast<FaultKind>(i)), r.injected[i]);
    auto phase = [&](const char* name, const PhaseFigures& f) {
        out += fmt::format("{}: {} requests ({} short), {} BUSY retries, {} lost, {} bytes miscompared\n", name,
                           f.requests, f.short_transfers, f.busy_retries, f.lost, f.bytes_miscompared);
        for (const auto& [status, n] : f.by_status)
            out += fmt::format("  {:<32} {}\n", srb_status_name(status), n);
    };
    phase("with faults", r.faulty);
    phase("clean", r.clean);
    out += fmt::format("time-outs {}, bus resets {}, foreign interrupts {}\n", r.time_outs, r.bus_resets,
                       r.foreign_interrupts);
    for (const std::string& p : r.problems)
        out += "problem: " + p + "\n";
    return out;
}

}  // namespace sim::workload
