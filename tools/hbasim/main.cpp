// hbasim: boots the driver on a simulated PC described by a scenario file,
// runs the port driver's start-up scan and a workload against what it found,
// and reports the figures.
//
//   hbasim [SCENARIO.toml] [--seed N] [--json FILE] [--trace FILE] [--vcd FILE]
//          [--driver PATH.sys] [--faults RATE[:KIND,KIND...]]
//   hbasim [SCENARIO.toml] --seeds FIRST..LAST [--driver PATH.sys] [--faults ...]
//
// --seeds runs the scenario once per seed, each run exactly as --seed N would
// run it, and writes one compact JSON line per seed to standard output (the
// scenario, the seed, the faults of a campaign, ok or not, key figures, and
// the problems of a failed run); standard error ends with one line naming the
// failing seeds. Lines of separate ranges concatenate into one result.
//
// --driver runs the scenario with a built kernel image instead of the
// linked-in driver, on the emulated i386 processor (sim/loader); the report
// and the JSON then add the deepest use of the image's kernel stack.
//
// --faults (or a [faults] table in the scenario) makes the run a fault
// campaign: the workload runs while every device misbehaves at RATE per
// command (0.01 or 1%), committing one of the KINDs named (the fault names of
// sim/bus/faults.cpp; without KINDs the scenario's [faults] kinds, or every
// kind), then a clean phase in which every device must work again. A device
// with a `faults` list of its own commits only those kinds. The report adds
// the faults injected per kind, requests by SRB status with faults and clean,
// time-outs, bus resets, foreign interrupts claimed, requests lost and bytes
// miscompared (both must be 0), and a verdict.
//
// A device's `behaviours` (legal ones: SCSI-2 allows them) are drawn at its
// behaviour_rate in every run, from the start-up scan on; the report counts
// them, and since no request may fail for them the exit status stays as strict.
//
// Exit status: 0 every request completed and every byte read back right (a
// campaign: sound, nothing lost or miscompared, the clean phase clean), 1 not
// (or the models saw a rule broken), 2 a bad scenario or option; with
// --seeds, 1 when any seed failed.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "bus_trace.h"
#include "pc/machine_faults.h"
#include "campaign.h"
#include "driver_image.h"
#include "adapter_table.h"
#include "model_errors.h"
#include "results.h"
#include "scenario.h"
#include "sweep.h"
#include "vcd.h"
#include "linked_driver.h"

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

struct Options {
    std::string scenario;
    std::optional<uint64_t> seed;
    std::string json, trace, vcd;
    std::string driver;  // a kernel image to run instead of the linked-in driver
    std::optional<hbasim::FaultsOption> faults;  // --faults: run a fault campaign
};

// The files asked for, open before anything runs so that a bad path is a usage error.
struct Outputs {
    std::unique_ptr<std::ofstream> json, trace, vcd;
    std::unique_ptr<hbasim::BusTrace> bus_trace;
    std::unique_ptr<hbasim::VcdWriter> waveform;
    const sim::loader::EmulatedDriver* image = nullptr;  // --driver
    std::FILE* report = stdout;  // the report in words
    bool progress = true;        // a progress bar on a terminal

    static std::unique_ptr<std::ofstream> open(const std::string& path)
    {
        if (path.empty())
            return nullptr;
        auto f = std::make_unique<std::ofstream>(path);
        if (!*f)
            throw std::invalid_argument(fmt::format("{}: cannot be written", path));
        return f;
    }

    void observe(size_t adapter, const sim::BusEvent& e) const
    {
        if (bus_trace)
            bus_trace->on(adapter, e);
        if (waveform)
            waveform->on(adapter, e);
    }
};

// The scan runs before the workload runner takes the buses' listeners over.
void watch_scan(sim::Machine& machine, const Outputs& out)
{
    if (!out.bus_trace && !out.waveform)
        return;
    for (size_t a = 0; a < machine.adapters().size(); a++) {
        const int ci = machine.adapters()[a].config_index;
        if (ci >= 0)
            machine.bus(static_cast<size_t>(ci)).set_listener([&out, a](const sim::BusEvent& e) { out.observe(a, e); });
    }
}

// A progress bar on standard error, shown only on a terminal.
struct ProgressBar {
    explicit ProgressBar(const Outputs& out) : shown(out.progress && isatty(STDERR_FILENO) != 0) {}
    bool shown;

    // Nothing to call when not shown.
    std::function<void(double)> callback() const
    {
        if (!shown)
            return {};
        return [](double done) { fmt::print(stderr, "\r{}", hbasim::progress_bar(done)); };
    }
    void clear() const
    {
        if (shown)
            fmt::print(stderr, "\r{}\r", std::string(50, ' '));
    }
};

void write_json(const Outputs& out, nlohmann::json& json, const sim::Machine& machine,
                const std::vector<std::string>& problems, bool clean)
{
    if (out.image) {
        fmt::print(out.report, "{}", hbasim::stack_table(*out.image));
        json["driver_stack"] = hbasim::stack_json(*out.image);
    }
    json["event_log"] = hbasim::event_log_json(sim::workload::logged_by_code(machine.port_driver()));
    json["model_errors"] = machine.errors().count();
    json["problems"] = problems;
    json["clean"] = clean;
    if (out.json)
        *out.json << json.dump(2) << "\n";
}

void print_failures(std::FILE* report, const sim::workload::Results& results, const char* phase)
{
    for (const sim::workload::DeviceResult& d : results.devices)
        for (const std::string& f : d.failures)
            fmt::print(report, "  {}{}:{}:{}: {}\n", phase, d.device.adapter, d.device.target, d.device.lun, f);
}

// The legal behaviours drawn, per kind, when the devices have any.
std::string behaviours_report(const sim::workload::CampaignConfig& campaign, const sim::MachineFaults& faults,
                              nlohmann::json& json)
{
    sim::FaultSet kinds;
    for (const auto& [key, legal] : campaign.device_behaviours)
        kinds |= legal.first;
    if (kinds.none())
        return {};
    const sim::workload::KindsCounted counted = sim::workload::kinds_counted(sim::Conduct::Legal, kinds, faults.counts());
    nlohmann::json drawn = nlohmann::json::object();
    for (const auto& [kind, n] : counted.rows)
        drawn[std::string(sim::fault_name(kind))] = n;
    json["behaviours_drawn"] = drawn;
    json["behaviours_drawn_total"] = counted.total;
    return sim::workload::counted_table(counted);
}

int run_workload(sim::Machine& machine, const std::vector<sim::workload::ScannedDevice>& devices,
                 const hbasim::Scenario& scenario, const Outputs& out, std::vector<std::string> problems,
                 nlohmann::json& json, const sim::MachineFaults* behaviours)
{
    sim::workload::Runner runner(machine, devices, scenario.workload);
    runner.set_bus_observer([&out](size_t a, const sim::BusEvent& e) { out.observe(a, e); });
    const ProgressBar bar(out);
    runner.set_progress(bar.callback());
    const sim::workload::Results results = runner.run();
    bar.clear();
    if (out.waveform)
        out.waveform->finish();

    fmt::print(out.report, "\n{}", hbasim::results_table(results));
    if (behaviours)
        fmt::print(out.report, "\n{}", behaviours_report(scenario.campaign, *behaviours, json));
    fmt::print(out.report, "{}", sim::workload::log_summary(sim::workload::logged_by_code(machine.port_driver())));
    for (std::string& p : results.problems())
        problems.push_back(std::move(p));
    print_failures(out.report, results, "");
    json["results"] = hbasim::results_json(results);
    const std::string errors = hbasim::describe_errors(machine);
    const bool clean = problems.empty() && errors.empty();
    write_json(out, json, machine, problems, clean);
    if (clean) {
        if (devices.empty())
            fmt::print(out.report, "no block devices on any bus: nothing to run a workload against\n");
        else
            fmt::print(out.report, "every request completed{}\n",
                       scenario.workload.verify ? " and every byte read back verified" : "");
        return 0;
    }
    for (const std::string& p : problems)
        fmt::print(out.report, "FAILED: {}\n", p);
    fmt::print(out.report, "{}", errors);
    return kExitFailed;
}

// A workload while the devices misbehave, then a clean one; sound when nothing
// was lost or miscompared and every device works again.
int run_campaign(sim::Machine& machine, const std::vector<sim::workload::ScannedDevice>& devices,
                 const sim::workload::CampaignConfig& config, const Outputs& out, std::vector<std::string> problems,
                 nlohmann::json& json)
{
    fmt::print(out.report, "\n{}", hbasim::campaign_heading(config));
    sim::workload::FaultCampaign campaign(machine, config, devices);
    campaign.set_bus_observer([&out](size_t a, const sim::BusEvent& e) { out.observe(a, e); });
    const ProgressBar bar(out);
    campaign.set_progress(bar.callback());
    sim::workload::CampaignResult result = campaign.run();
    bar.clear();
    if (out.waveform)
        out.waveform->finish();

    fmt::print(out.report, "\nwith faults, {}", hbasim::results_table(result.faulty.results));
    for (std::string& p : problems)
        result.problems.push_back(std::move(p));
    // Failures are expected while the faults last; they tell something only when the campaign went wrong.
    if (!result.sound())
        print_failures(out.report, result.faulty.results, "with faults: ");
    print_failures(out.report, result.clean.results, "clean: ");
    fmt::print(out.report, "\n{}", sim::workload::summary(result));  // the problems among the figures
    json["results"] = hbasim::results_json(result.faulty.results);
    json["campaign"] = hbasim::campaign_json(config, result);
    const std::string errors = hbasim::describe_errors(machine);
    const bool sound = result.sound() && errors.empty();
    write_json(out, json, machine, result.problems, sound);
    fmt::print(out.report, "{}{}", errors, hbasim::campaign_verdict(result, campaign.devices().size()));
    return sound ? 0 : kExitFailed;
}

std::string scenario_name(const Options& options)
{
    return options.scenario.empty() ? "built-in default machine" : options.scenario;
}

// One run, its report in words to `report`; `record` (when given) takes what
// the sweep's line needs. Returns the exit status.
int run(const Options& options, sim::loader::EmulatedDriver* driver, const std::string& driver_description,
        std::FILE* report = stdout, hbasim::SeedRun* record = nullptr)
{
    hbasim::Scenario scenario = hbasim::default_scenario();
    const std::string name = scenario_name(options);
    if (!options.scenario.empty()) {
        hbasim::ScenarioResult r = hbasim::load_scenario(options.scenario);
        if (!r.ok()) {
            fmt::print(stderr, "hbasim: {}\n", r.error);
            return kExitUsage;
        }
        scenario = r.scenario;
    }
    if (options.seed) {
        scenario.machine.seed = *options.seed;
        scenario.workload.seed = *options.seed;
    }
    const sim::MachineConfig& config = scenario.machine;
    const std::optional<sim::workload::CampaignConfig> campaign = hbasim::campaign_config(scenario, options.faults);

    Outputs out;
    out.json = Outputs::open(options.json);
    out.trace = Outputs::open(options.trace);
    out.vcd = Outputs::open(options.vcd);
    if (out.trace)
        out.bus_trace = std::make_unique<hbasim::BusTrace>(*out.trace);
    out.image = driver;
    out.report = report;
    out.progress = !record;

    sim::Machine machine(config);
    // Legal behaviours in an ordinary run, from the scan on (a campaign sets its own).
    sim::RngChoices behaviour_choices(machine.rng());
    std::unique_ptr<sim::MachineFaults> behaviours;
    if (!campaign && !scenario.campaign.device_behaviours.empty()) {
        behaviours = std::make_unique<sim::MachineFaults>(machine, behaviour_choices);
        for (const auto& [key, legal] : scenario.campaign.device_behaviours)
            behaviours->device(key.first, key.second).set_behaviours(legal.first, legal.second);
    }
    if (driver)
        fmt::print(out.report, "{}\n", driver_description);
    const uint32_t status = driver ? machine.boot(*driver) : machine.boot(hba::linked_driver());
    if (out.vcd) {
        // One scope per adapter the driver found, numbered as everywhere else in the report.
        const auto& found = machine.adapters();
        const int first = found.empty() ? -1 : found[0].config_index;
        out.waveform = std::make_unique<hbasim::VcdWriter>(
            *out.vcd, found.size(), first < 0 ? sim::BusTiming{} : config.adapters[static_cast<size_t>(first)].bus_timing);
    }
    fmt::print(out.report, "{}: seed {}, PCI mechanism #1 {}, mechanism #2 {}, {} adapter{} in the machine\n", name,
               config.seed, config.mechanism1 ? "present" : "absent", config.mechanism2 ? "present" : "absent",
               config.adapters.size(), config.adapters.size() == 1 ? "" : "s");
    fmt::print(out.report, "DriverEntry returned {:#010x} after {:.3f} ms of virtual time\n", status,
               static_cast<double>(machine.clock().now()) / sim::kMillisecond);

    watch_scan(machine, out);
    const std::vector<sim::workload::ScannedDevice> devices = sim::workload::scan_machine(machine);
    // After the scan, so that each target's timing is the one it ran at.
    fmt::print(out.report, "{}", hbasim::describe_adapters(machine));
    fmt::print(out.report, "\n{}", hbasim::device_table(devices));

    nlohmann::json json = {{"scenario", name},
                           {"seed", config.seed},
                           {"driver_entry_status", status},
                           {"devices", hbasim::devices_json(devices)}};
    std::vector<std::string> problems = hbasim::missing_devices(machine, devices);
    const int exit_status = campaign ? run_campaign(machine, devices, *campaign, out, std::move(problems), json)
                                     : run_workload(machine, devices, scenario, out, std::move(problems), json,
                                                    behaviours.get());
    if (record) {
        record->ok = exit_status == 0;
        record->scenario = name;
        record->seed = config.seed;
        if (campaign) {
            record->fault_rate = campaign->rate;
            record->fault_kinds = campaign->kinds;
        }
        record->virtual_time_ns = machine.clock().now();
        record->figures = std::move(json);
        const auto& errors = machine.errors().all();
        for (size_t i = 0; i < std::min<size_t>(errors.size(), 3); i++)
            record->model_errors.push_back(errors[i].to_string());
    }
    return exit_status;
}

// The kernel image --driver names, opened afresh (nothing when none is
// named); false, with the reason printed, when it cannot be.
bool open_image(const Options& options, std::unique_ptr<sim::loader::EmulatedDriver>& driver,
                std::string& description)
{
    if (options.driver.empty())
        return true;
    std::string error;
    driver = hbasim::open_driver(options.driver, description, error);
    if (!driver)
        fmt::print(stderr, "hbasim: {}\n", error);
    return driver != nullptr;
}

// --seeds: a run per seed, each as --seed N alone (a fresh machine, and a
// fresh copy of a --driver image whose stack figures are its own), its report
// in words discarded and its JSON line written as soon as it ends, so that a
// sweep cut short keeps the lines of the seeds it finished.
int sweep(const Options& base, const hbasim::SeedRange& range)
{
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> discard(std::fopen("/dev/null", "w"), &std::fclose);
    if (!discard) {
        fmt::print(stderr, "hbasim: /dev/null cannot be written\n");
        return kExitUsage;
    }
    const bool progress = isatty(STDERR_FILENO) != 0;
    std::vector<uint64_t> failed;
    uint64_t runs = 0;
    for (uint64_t seed = range.first;; seed++) {
        Options options = base;
        options.seed = seed;
        std::string description;
        std::unique_ptr<sim::loader::EmulatedDriver> driver;
        if (!open_image(options, driver, description))
            return kExitUsage;
        hbasim::SeedRun record;
        int status = 0;
        try {
            status = run(options, driver.get(), description, discard.get(), &record);
        } catch (const std::invalid_argument&) {
            throw;  // the scenario's mistake, the same for every seed
        } catch (const std::exception& e) {
            // A run that stopped on an exception is this seed's failure; the
            // next seed gets a fresh machine all the same.
            record = {};
            record.scenario = scenario_name(options);
            record.seed = seed;
            record.figures["problems"] = {fmt::format("the run stopped: {}", e.what())};
            status = kExitFailed;
        }
        if (status == kExitUsage)
            return kExitUsage;
        fmt::print("{}\n", hbasim::seed_line(record).dump());
        std::fflush(stdout);
        runs++;
        if (status != 0)
            failed.push_back(seed);
        if (progress)
            fmt::print(stderr, "\rseed {}: {} run, {} failed", seed, runs, failed.size());
        if (seed == range.last)
            break;
    }
    if (progress)
        fmt::print(stderr, "\r{}\r", std::string(60, ' '));
    if (failed.empty())
        fmt::print(stderr, "hbasim: seeds {}..{}: all {} ok\n", range.first, range.last, runs);
    else
        fmt::print(stderr, "hbasim: seeds {}..{}: {} of {} failed: {}\n", range.first, range.last, failed.size(), runs,
                   hbasim::seed_list(failed));
    return failed.empty() ? 0 : kExitFailed;
}

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app{"Boot the driver on a simulated PC, scan its buses, run a workload and report."};
    Options options;
    app.add_option("scenario", options.scenario, "Scenario file (TOML); the built-in default machine without one");
    app.add_option("--seed", options.seed, "Seed for the machine and the workload");
    std::optional<std::string> seeds;
    app.add_option("--seeds", seeds,
                   "Run once per seed FIRST..LAST (inclusive), one JSON line per run on standard output; "
                   "the failing seeds are named on standard error")
        ->type_name("FIRST..LAST");
    app.add_option("--json", options.json, "Write the figures as JSON to FILE");
    app.add_option("--trace", options.trace, "Write a decoded SCSI bus trace to FILE");
    app.add_option("--vcd", options.vcd, "Write the bus signals as a VCD waveform to FILE");
    app.add_option("--driver", options.driver, "Run the kernel image PATH.sys instead of the linked-in driver");
    std::optional<std::string> faults;
    app.add_option("--faults", faults,
                   "Run a fault campaign: devices misbehave at RATE (0.01 or 1%) per command, with the fault "
                   "KINDs named (every kind when none is)")
        ->type_name("RATE[:KIND,...]");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        fmt::print(stderr, "hbasim: {}\n", e.what());
        return kExitUsage;
    }
    if (faults) {
        std::string error;
        options.faults = hbasim::parse_faults_option(*faults, error);
        if (!options.faults) {
            fmt::print(stderr, "hbasim: --faults {}: {}\n", *faults, error);
            return kExitUsage;
        }
    }
    if (seeds) {
        std::string error;
        const std::optional<hbasim::SeedRange> range = hbasim::parse_seed_range(*seeds, error);
        if (!range) {
            fmt::print(stderr, "hbasim: --seeds {}: {}\n", *seeds, error);
            return kExitUsage;
        }
        // Options that name one run's files have no meaning over many runs.
        for (const auto& [name, given] : {std::pair{"--seed", options.seed.has_value()},
                                          {"--json", !options.json.empty()},
                                          {"--trace", !options.trace.empty()},
                                          {"--vcd", !options.vcd.empty()}}) {
            if (given) {
                fmt::print(stderr, "hbasim: --seeds runs many seeds: {} is for a single run (the figures of each "
                                   "seed are the JSON lines on standard output)\n", name);
                return kExitUsage;
            }
        }
        try {
            return sweep(options, *range);
        } catch (const std::invalid_argument& e) {
            fmt::print(stderr, "hbasim: {}\n", e.what());
            return kExitUsage;
        }
    }
    std::string driver_description;
    std::unique_ptr<sim::loader::EmulatedDriver> driver;
    if (!open_image(options, driver, driver_description))
        return kExitUsage;
    try {
        return run(options, driver.get(), driver_description);
    } catch (const std::invalid_argument& e) {
        fmt::print(stderr, "hbasim: {}\n", e.what());
        return kExitUsage;
    }
}
