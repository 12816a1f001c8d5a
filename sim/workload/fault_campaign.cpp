#include "workload/fault_campaign.h"

#include <algorithm>
#include <set>

#include <fmt/format.h>

namespace sim::workload {

bool CampaignResult::sound() const
{
    return lost() == 0 && bytes_miscompared() == 0 && problems.empty();
}

uint64_t CampaignResult::faults_injected() const { return kinds_counted(Conduct::Fault, {}, injected).total; }

uint64_t CampaignResult::behaviours_drawn() const { return kinds_counted(Conduct::Legal, {}, injected).total; }

KindsCounted kinds_counted(Conduct conduct, const FaultSet& shown, const FaultCounts& counts)
{
    KindsCounted out{conduct};
    for (const FaultKindRow& row : kFaultKindTable) {
        if (row.conduct != conduct)
            continue;
        const size_t i = static_cast<size_t>(row.kind);
        out.total += counts[i];
        if (shown.test(i) || counts[i])
            out.rows.push_back({row.kind, counts[i]});
    }
    return out;
}

std::string counted_table(const KindsCounted& counted)
{
    std::string out = counted.conduct == Conduct::Legal
                          ? fmt::format("legal behaviours drawn: {} in all\n", counted.total)
                          : fmt::format("faults injected: {} in all\n", counted.total);
    for (const auto& [kind, n] : counted.rows)
        out += fmt::format("  {:<34} {:>12}\n", fault_name(kind), n);
    return out;
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
    f.busy_failed = r.total.busy_failed;
    f.resent_after_reset = r.total.resent_after_reset;
    f.short_transfers = r.total.short_transfers;
    f.lost = r.total.lost;
    f.bytes_miscompared = r.total.bytes_miscompared;
    f.unusual = r.total.unusual;
    f.linked_on_bus = r.linked_on_bus;
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
            const auto legal = config_.device_behaviours.find({a, d.id});
            if (legal != config_.device_behaviours.end()) {
                faults_.device(a, d.id).set_behaviours(legal->second.first, legal->second.second);
                if (legal->second.second > 0)
                    result.kinds |= legal->second.first & legal_behaviours();
            }
        }
    std::vector<DeviceKey> keys;
    for (const auto& [key, kinds] : config_.device_kinds)
        keys.push_back(key);
    for (const auto& [key, behaviours] : config_.device_behaviours)
        keys.push_back(key);
    for (const DeviceKey& key : keys)
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
    const std::map<uint32_t, uint64_t> log_before = port.logged_by_code();
    uint64_t resets_before = 0;
    for (size_t i = 0; i < port.adapter_count(); i++)
        resets_before += port.adapter(i).resets_detected;

    start_faults(result);
    WorkloadConfig faulty = config_.workload;
    // A target that breaks the rules may end a command without its data.
    if (config_.rate > 0 && (result.kinds & ~legal_behaviours()).any())
        faulty.unusual.data_phase_certain = false;
    result.faulty = run_phase(faulty, progress_);
    faults_.stop();
    // Ghost commands still waiting to reselect were dropped by stop().
    port.run_for(10 * kMillisecond);
    // The clean phase verifies against the devices' original contents.
    for (size_t a = 0; a < machine_.config().adapters.size(); a++)
        for (const DeviceConfig& d : machine_.config().adapters[a].devices)
            if (auto* device = dynamic_cast<BlockDevice*>(machine_.bus(a).target(d.id)))
                for (uint8_t lun = 0; lun < d.options.luns; lun++)
                    device->store(lun).forget_writes();

    WorkloadConfig clean = config_.workload;
    clean.unusual.data_phase_certain = true;
    clean.requests = config_.clean_requests;
    clean.duration = 0;
    clean.seed = config_.workload.seed + 1;
    result.clean = run_phase(clean, {});
    const uint64_t whole = result.clean.by_status[SRB_STATUS_SUCCESS] - result.clean.short_transfers;
    if (result.clean.requests != config_.clean_requests * devices_.size() || whole != result.clean.requests)
        result.problems.push_back(fmt::format("clean phase: {} of {} requests succeeded in full", whole,
                                              config_.clean_requests * devices_.size()));

    for (const auto& [phase, f] : {std::pair{"with faults", &result.faulty}, std::pair{"clean", &result.clean}}) {
        if (f->unusual.wrong)
            result.problems.push_back(fmt::format("{}: {} request{} the driver had to refuse ended otherwise", phase,
                                                  f->unusual.wrong, f->unusual.wrong == 1 ? "" : "s"));
        if (f->unusual.flags_ignored)
            result.problems.push_back(fmt::format("{}: {} selection{} ignored the request's DISABLE_DISCONNECT or "
                                                  "DISABLE_SYNCH_TRANSFER",
                                                  phase, f->unusual.flags_ignored,
                                                  f->unusual.flags_ignored == 1 ? "" : "s"));
        if (f->linked_on_bus)
            result.problems.push_back(fmt::format("{}: {} command{} with the link bit reached the bus", phase,
                                                  f->linked_on_bus, f->linked_on_bus == 1 ? "" : "s"));
    }
    result.injected = faults_.counts();
    // Legal behaviours alone fail nothing, but for a request the device
    // still answered BUSY or QUEUE FULL when the port driver had sent it
    // again as often as it does: a real port driver fails that one too.
    // Nor do they end any request by a bus reset, though the class driver's
    // sending again would hide that in the figures above.
    if ((result.kinds & ~legal_behaviours()).none() && result.faults_injected() == 0) {
        const uint64_t good = result.faulty.by_status[SRB_STATUS_SUCCESS] - result.faulty.short_transfers;
        if (good + result.faulty.busy_failed != result.faulty.requests)
            result.problems.push_back(fmt::format("with legal behaviours only, {} of {} requests succeeded in full",
                                                  good, result.faulty.requests));
        if (result.faulty.resent_after_reset)
            result.problems.push_back(fmt::format("with legal behaviours only, a bus reset ended {} request{}",
                                                  result.faulty.resent_after_reset,
                                                  result.faulty.resent_after_reset == 1 ? "" : "s"));
    }
    result.time_outs = port.timeouts().time_outs() - timeouts_before;
    for (size_t i = 0; i < port.adapter_count(); i++)
        result.bus_resets += port.adapter(i).resets_detected;
    result.bus_resets -= resets_before;
    result.foreign_interrupts = faults_.foreign_interrupts_claimed();
    for (const auto& [code, n] : port.logged_by_code()) {
        const auto before = log_before.find(code);
        if (const uint64_t added = n - (before == log_before.end() ? 0 : before->second))
            result.logged[code] = added;
    }
    check_ledger(result);
    check_logged(result);
    return result;
}

uint32_t expected_log_code(FaultKind kind) { return fault_row(kind).log_code; }

// Every kind of fault the driver recovers from, once injected, is in the log.
// Only where one kind is in play: among several, one fault's recovery can
// end the command another fault was waiting in (a reset for an invalid
// reselection flushes the command that never returns, before its time-out),
// and then the log rightly holds the one recovery only.
void FaultCampaign::check_logged(CampaignResult& result) const
{
    if (!config_.check_log || result.kinds.count() != 1)
        return;
    for (const FaultKindRow& row : kFaultKindTable) {
        const uint64_t injected = result.injected[static_cast<size_t>(row.kind)];
        if (row.log_code == 0 || injected == 0 || result.logged.contains(row.log_code))
            continue;
        const LogCode* c = find_log_code(row.log_code);
        result.problems.push_back(fmt::format("{} was injected {} times, and the event log has no {}", row.name,
                                              injected, c ? c->name : "entry"));
    }
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
    const ModelErrors& errors = machine_.errors();
    if (!errors.empty())
        result.problems.push_back(fmt::format("{} model error{}, the first: {}", errors.count(),
                                              errors.count() == 1 ? "" : "s", errors.all().front().to_string()));
}

std::string log_summary(const std::map<uint32_t, uint64_t>& logged)
{
    uint64_t entries = 0;
    for (const auto& [code, n] : logged)
        entries += n;
    std::string out = fmt::format("event log: {} entr{} written by the driver\n", entries, entries == 1 ? "y" : "ies");
    for (const auto& [code, n] : logged) {
        const LogCode* c = find_log_code(code);
        out += fmt::format("  {:<34} {:>12}  {}\n", c ? c->name : fmt::format("code {:#x}", code), n,
                           c ? c->meaning : "not a published code");
    }
    return out;
}

std::map<uint32_t, uint64_t> logged_by_code(const PortDriver& port)
{
    return port.logged_by_code();
}

std::string summary(const CampaignResult& r)
{
    std::string out;
    const KindsCounted drawn = kinds_counted(Conduct::Legal, r.kinds, r.injected);
    if (!drawn.rows.empty())
        out += counted_table(drawn);
    out += counted_table(kinds_counted(Conduct::Fault, r.kinds, r.injected));
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
    const UnusualCounts& fu = r.faulty.unusual;
    const UnusualCounts& cu = r.clean.unusual;
    row("of them with flags of their own", fu.open_direction + fu.no_disconnect + fu.no_synch,
        cu.open_direction + cu.no_disconnect + cu.no_synch);
    row("  direction left open", fu.open_direction, cu.open_direction);
    row("  no disconnection", fu.no_disconnect, cu.no_disconnect);
    row("  no synchronous negotiation", fu.no_synch, cu.no_synch);
    row("refused requests", fu.against() + fu.linked, cu.against() + cu.linked);
    row("  read flagged DATA_OUT", fu.read_flagged_out, cu.read_flagged_out);
    row("  read flagged for no data", fu.read_unflagged, cu.read_unflagged);
    row("  write flagged DATA_IN", fu.write_flagged_in, cu.write_flagged_in);
    row("  write flagged for no data", fu.write_unflagged, cu.write_unflagged);
    row("  linked TEST UNIT READY", fu.linked, cu.linked);
    row("  of them not refused", fu.wrong, cu.wrong);
    row("selections ignoring DISABLE_* flags", fu.flags_ignored, cu.flags_ignored);
    row("BUSY retries", r.faulty.busy_retries, r.clean.busy_retries);
    row("  failed still BUSY or QUEUE FULL", r.faulty.busy_failed, r.clean.busy_failed);
    row("sent again after a bus reset", r.faulty.resent_after_reset, r.clean.resent_after_reset);
    row("requests lost", r.faulty.lost, r.clean.lost);
    row("bytes miscompared", r.faulty.bytes_miscompared, r.clean.bytes_miscompared);
    out += fmt::format("time-outs {}, bus resets {}, foreign interrupts claimed {}\n", r.time_outs, r.bus_resets,
                       r.foreign_interrupts);
    out += log_summary(r.logged);
    for (const std::string& p : r.problems)
        out += "problem: " + p + "\n";
    return out;
}

}  // namespace sim::workload
