// A fault campaign: a verified workload over every scanned device while the
// devices misbehave at a rate over a set of kinds, then a clean phase in
// which every device must work again. Whatever the faults, no request may be
// lost and no byte read back may differ from what was written; the legal
// behaviours among the kinds (choices SCSI-2 leaves to a target) may fail no
// request at all, so a campaign of legal behaviours alone must succeed in full.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "bus/faults.h"
#include "pc/machine_faults.h"
#include "workload/workload.h"

namespace sim::workload {

// A device on the bus of the machine's adapter `config_index` (its place in
// the machine's configuration), at SCSI ID `target`.
using DeviceKey = std::pair<size_t, uint8_t>;

struct CampaignConfig {
    FaultSet kinds = all_faults();
    double rate = 0.01;          // per command, per device
    // Devices that commit kinds of their own (at `rate`) instead of `kinds`;
    // an empty set keeps that device well behaved.
    std::map<DeviceKey, FaultSet> device_kinds;
    // Devices' own legal behaviours and their rate, in both phases (as in an ordinary run).
    std::map<DeviceKey, std::pair<FaultSet, double>> device_behaviours;
    WorkloadConfig workload{};   // the phase with faults (requests per device)
    uint64_t clean_requests = 64;  // per device, after the faults stop
    // In a campaign of one fault kind, a kind the driver recovers from by
    // itself must, once injected, be in the event log. Off where the devices'
    // every choice is hostile (the fuzzer), where that is no invariant.
    bool check_log = true;
    // Run at the end with the machine idle: adds what it finds wrong. Tests
    // and the fuzzer look inside the driver here (its inspection module).
    std::function<void(const Machine&, std::vector<std::string>& problems)> end_check;
};

struct PhaseFigures {
    uint64_t requests = 0;                // completed, whatever their status
    std::map<uint8_t, uint64_t> by_status;  // SRB status (success included) -> requests
    uint64_t short_transfers = 0;         // of the successes: less data than asked for
    uint64_t busy_retries = 0;
    uint64_t busy_failed = 0;         // still BUSY or QUEUE FULL after the port driver's retries
    uint64_t resent_after_reset = 0;  // sent again by the class driver after a bus reset ended them
    uint64_t lost = 0;                // submitted and never completed
    uint64_t bytes_miscompared = 0;
    UnusualCounts unusual;            // requests with flags of their own, by class
    uint64_t linked_on_bus = 0;       // commands with the link bit that reached the bus
    Results results;                  // the runner's own figures, per device and in total
};

struct CampaignResult {
    FaultSet kinds;                   // every kind some device was set to commit
    FaultCounts injected{};           // per kind, faults and legal behaviours alike
    uint64_t faults_injected() const;
    uint64_t behaviours_drawn() const;
    PhaseFigures faulty, clean;
    uint64_t time_outs = 0;           // requests the port driver timed out
    uint64_t bus_resets = 0;          // resets the driver reported (ResetDetected)
    uint64_t foreign_interrupts = 0;  // raised by the other device on the line, claimed by it
    std::map<uint32_t, uint64_t> logged;  // event-log entries the driver wrote, by error code (SP_...)
    std::vector<std::string> problems;  // model errors, requests left, a failing clean phase, the end check's

    uint64_t lost() const { return faulty.lost + clean.lost; }
    uint64_t bytes_miscompared() const { return faulty.bytes_miscompared + clean.bytes_miscompared; }
    // Nothing lost, nothing miscompared, a clean phase without a failure, no problem found.
    bool sound() const;
};

// Runs a campaign on a booted machine. The machine's seeded Rng drives the
// faults unless `choices` is given.
class FaultCampaign {
public:
    FaultCampaign(Machine& machine, CampaignConfig config, Choices* choices = nullptr);
    // Against the devices a start-up scan already found, instead of scanning again.
    FaultCampaign(Machine& machine, CampaignConfig config, std::vector<ScannedDevice> devices,
                  Choices* choices = nullptr);
    // The fault layer: force kinds on single devices before run().
    MachineFaults& faults() { return faults_; }
    const std::vector<ScannedDevice>& devices() const { return devices_; }
    // Sees every bus event of both phases.
    void set_bus_observer(std::function<void(size_t adapter, const BusEvent&)> observer) { observer_ = std::move(observer); }
    // Called now and then during the phase with faults with the share of it done (0-1).
    void set_progress(std::function<void(double)> progress) { progress_ = std::move(progress); }
    CampaignResult run();

private:
    PhaseFigures run_phase(const WorkloadConfig& config, const std::function<void(double)>& progress);
    void start_faults(CampaignResult& result);
    void check_ledger(CampaignResult& result) const;
    void check_logged(CampaignResult& result) const;

    Machine& machine_;
    CampaignConfig config_;
    RngChoices rng_choices_;
    MachineFaults faults_;
    std::vector<ScannedDevice> devices_;
    std::function<void(size_t, const BusEvent&)> observer_;
    std::function<void(double)> progress_;
};

// The error code the driver must log when it recovers from a fault of `kind`
// (0: none; the fault is either harmless or not one the driver can tell):
// the kind table's.
uint32_t expected_log_code(FaultKind kind);

// The kinds of one conduct (legal behaviours or faults) that were in play
// (in `shown`) or counted, in the table's order, with their counts; and the
// total of the counts of every kind of that conduct.
struct KindsCounted {
    Conduct conduct;
    uint64_t total = 0;
    std::vector<std::pair<FaultKind, uint64_t>> rows;
};
KindsCounted kinds_counted(Conduct conduct, const FaultSet& shown, const FaultCounts& counts);
// "legal behaviours drawn: N in all" or "faults injected: N in all", then a
// line per row: as a campaign's summary and hbasim's report of an ordinary
// run (its devices' own legal behaviours) print them.
std::string counted_table(const KindsCounted& counted);

// The figures as a table: legal behaviours drawn and faults injected per kind (every kind in play, none
// injected included), requests by SRB status with faults and clean, the
// requests with flags of their own by class, BUSY retries, losses,
// miscompares, time-outs, resets and the problems found.
std::string summary(const CampaignResult& result);

// Event-log entries by error code: a heading line, then one line per code.
std::string log_summary(const std::map<uint32_t, uint64_t>& logged);
std::map<uint32_t, uint64_t> logged_by_code(const PortDriver& port);

}  // namespace sim::workload
