// hbasim: boots the driver on a simulated PC described by a scenario file
// and prints what it found.
//
//   hbasim [SCENARIO.toml] [--seed N]
//
// Exit status: 0 clean, 1 model errors, 2 a bad scenario or option.
#include <cstdio>
#include <optional>
#include <string>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "report.h"
#include "scenario.h"

namespace {

constexpr int kExitModelErrors = 1;
constexpr int kExitUsage = 2;

int run(const std::string& scenario, std::optional<uint64_t> seed)
{
    sim::MachineConfig config = sim::default_machine_config();
    std::string name = "built-in default machine";
    if (!scenario.empty()) {
        hbasim::ScenarioResult r = hbasim::load_scenario(scenario);
        if (!r.ok()) {
            fmt::print(stderr, "hbasim: {}\n", r.error);
            return kExitUsage;
        }
        config = r.config;
        name = scenario;
    }
    if (seed)
        config.seed = *seed;

    sim::Machine machine(config);
    const uint32_t status = machine.boot();
    fmt::print("{}: seed {}, PCI mechanism #1 {}, mechanism #2 {}, {} adapter{} in the machine\n", name, config.seed,
               config.mechanism1 ? "present" : "absent", config.mechanism2 ? "present" : "absent",
               config.adapters.size(), config.adapters.size() == 1 ? "" : "s");
    fmt::print("DriverEntry returned {:#010x} after {:.3f} ms of virtual time\n", status,
               static_cast<double>(machine.clock().now()) / sim::kMillisecond);
    fmt::print("{}", hbasim::describe_adapters(machine));
    const std::string errors = hbasim::describe_errors(machine);
    if (errors.empty())
        return 0;
    fmt::print("{}", errors);
    return kExitModelErrors;
}

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app{"Boot the driver on a simulated PC and print what it found."};
    std::string scenario;
    std::optional<uint64_t> seed;
    app.add_option("scenario", scenario, "Scenario file (TOML); the built-in default machine without one");
    app.add_option("--seed", seed, "Seed for the machine's random number generator");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        fmt::print(stderr, "hbasim: {}\n", e.what());
        return kExitUsage;
    }
    try {
        return run(scenario, seed);
    } catch (const std::invalid_argument& e) {
        fmt::print(stderr, "hbasim: {}\n", e.what());
        return kExitUsage;
    }
}
