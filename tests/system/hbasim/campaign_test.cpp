// hbasim's fault campaigns: --faults as typed, a scenario's [faults] table and
// its devices' own kinds, and a campaign run as hbasim runs it.
#include <gtest/gtest.h>

#include <numeric>

#include "campaign.h"
#include "support/driver_internals.h"
#include "scenario.h"
#include "linked_driver.h"

namespace hbatest {
namespace {

using sim::FaultKind;
using sim::FaultSet;

FaultSet Kinds(std::initializer_list<FaultKind> kinds)
{
    FaultSet s;
    for (FaultKind k : kinds)
        s.set(static_cast<size_t>(k));
    return s;
}

uint64_t Injected(const sim::workload::CampaignResult& r, FaultKind kind)
{
    return r.injected[static_cast<size_t>(kind)];
}

TEST(FaultsOption, RateAndKindsAsTyped)
{
    struct Case {
        const char* text;
        double rate;
        std::optional<FaultSet> kinds;
    } cases[] = {
        {"0.01", 0.01, std::nullopt},
        {"1%", 0.01, std::nullopt},
        {"0", 0, std::nullopt},
        {"100%", 1, std::nullopt},
        {"2.5%:busy", 0.025, Kinds({FaultKind::Busy})},
        {"0.5:busy,queue-full,busy", 0.5, Kinds({FaultKind::Busy, FaultKind::QueueFull})},
    };
    for (const Case& c : cases) {
        std::string error;
        const auto option = hbasim::parse_faults_option(c.text, error);
        ASSERT_TRUE(option) << c.text << ": " << error;
        EXPECT_DOUBLE_EQ(option->rate, c.rate) << c.text;
        EXPECT_EQ(option->kinds, c.kinds) << c.text;
    }
}

TEST(FaultsOption, MistakesSayWhatIsWrong)
{
    struct Case {
        const char* text;
        const char* error;
    } cases[] = {
        {"", "the rate \"\" is no number"},
        {"often", "the rate \"often\" is no number"},
        {"1%%", "the rate \"1%%\" is no number"},
        {"0.01x", "the rate \"0.01x\" is no number"},
        {"nan", "the rate \"nan\" is no number"},
        {"1.5", "the rate 1.5 is out of range: it must be 0-1 (0%-100%)"},
        {"101%", "the rate 101% is out of range"},
        {"-0.1", "the rate -0.1 is out of range"},
        {":busy", "the rate \"\" is no number"},
        {"1%:", "no fault kind after ':'"},
        {"1%:busy,", "an empty fault kind in the list"},
        {"1%:busy,sulking", "unknown fault kind \"sulking\" (known: parity-error, unknown-message,"},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_FALSE(hbasim::parse_faults_option(c.text, error)) << c.text;
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << c.text << "\n  gave: " << error;
    }
}

TEST(FaultsTable, RateKindsCleanRequestsAndDeviceKindsAreRead)
{
    const auto r = hbasim::parse_scenario(R"(
[[adapter]]
pci_device = 3
[[adapter.device]]
id = 0
[[adapter]]
pci_device = 4
io_base = 0xE400
[[adapter.device]]
id = 2
faults = ["busy", "parity-error"]
[[adapter.device]]
id = 3
faults = []
[faults]
rate = "2%"
kinds = ["queue-full"]
clean_requests = 10
)",
                                          "t.toml");
    ASSERT_TRUE(r.ok()) << r.error;
    const sim::workload::CampaignConfig& c = r.scenario.campaign;
    EXPECT_TRUE(r.scenario.has_faults_table);
    EXPECT_DOUBLE_EQ(c.rate, 0.02);
    EXPECT_EQ(c.kinds, Kinds({FaultKind::QueueFull}));
    EXPECT_EQ(c.clean_requests, 10u);
    // Keyed by the [[adapter]] table's place and the device's ID; devices that name none commit the campaign's.
    const std::map<sim::workload::DeviceKey, FaultSet> want{
        {{1, 2}, Kinds({FaultKind::Busy, FaultKind::ParityError})}, {{1, 3}, FaultSet{}}};
    EXPECT_EQ(c.device_kinds, want);

    // --faults takes over the rate, and the kinds only when it names them.
    std::string error;
    auto merged = hbasim::campaign_config(r.scenario, hbasim::parse_faults_option("5%", error));
    ASSERT_TRUE(merged);
    EXPECT_DOUBLE_EQ(merged->rate, 0.05);
    EXPECT_EQ(merged->kinds, Kinds({FaultKind::QueueFull}));
    merged = hbasim::campaign_config(r.scenario, hbasim::parse_faults_option("5%:busy", error));
    EXPECT_EQ(merged->kinds, Kinds({FaultKind::Busy}));
    EXPECT_EQ(merged->device_kinds, want);

    // Without [faults] or --faults the run is a plain workload.
    const auto plain = hbasim::parse_scenario("[[adapter]]\n[[adapter.device]]\nid = 0\nfaults = [\"busy\"]\n", "t.toml");
    ASSERT_TRUE(plain.ok()) << plain.error;
    EXPECT_FALSE(hbasim::campaign_config(plain.scenario, std::nullopt));
}

// Two small disks, as a scenario gives them (with each disk's extra keys), booted.
struct Campaign {
    Campaign(const std::string& disk0, const std::string& disk1, const char* option)
    {
        const auto r = hbasim::parse_scenario(R"(
seed = 5
[[adapter]]
pci_device = 3
[[adapter.device]]
id = 0
capacity = 4096
revolution_us = 2000
)" + disk0 + R"(
[[adapter.device]]
id = 1
capacity = 4096
revolution_us = 2000
)" + disk1 + R"(
[workload]
requests = 150
outstanding = 4
[faults]
rate = 0.05
clean_requests = 16
)",
                                              "t.toml");
        EXPECT_TRUE(r.ok()) << r.error;
        std::string error;
        config = hbasim::campaign_config(r.scenario, option ? hbasim::parse_faults_option(option, error)
                                                            : std::nullopt)
                     .value();
        machine = std::make_unique<sim::Machine>(r.scenario.machine);
        machine->boot(hba::linked_driver());
    }
    sim::workload::CampaignResult Run()
    {
        config.end_check = internals::DriverHoldsNothing;
        sim::workload::FaultCampaign campaign(*machine, config);
        return campaign.run();
    }
    sim::workload::CampaignConfig config;
    std::unique_ptr<sim::Machine> machine;
};

TEST(FaultCampaign, ReportCarriesTheFiguresAndTheVerdict)
{
    Campaign c("", "", "10%:busy,queue-full,parity-error,short-data-phase,foreign-interrupt");
    const sim::workload::CampaignResult r = c.Run();
    const std::string text = sim::workload::summary(r);
    SCOPED_TRACE(text);
    ASSERT_TRUE(r.sound());
    EXPECT_EQ(r.faulty.requests, 300u);
    EXPECT_EQ(r.clean.requests, 32u);
    const uint64_t injected = std::accumulate(r.injected.begin(), r.injected.end(), uint64_t{0});
    EXPECT_GT(injected, 10u);

    // QUEUE FULL and BUSY are legal behaviours, counted apart from the faults.
    const size_t legal = text.find("legal behaviours drawn: "), faults = text.find("faults injected: ");
    ASSERT_NE(legal, std::string::npos);
    ASSERT_NE(faults, std::string::npos);
    EXPECT_LT(text.find("  busy "), faults);
    EXPECT_LT(text.find("  queue-full "), faults);
    EXPECT_GT(text.find("  parity-error "), faults);
    EXPECT_EQ(r.behaviours_drawn(), Injected(r, FaultKind::Busy) + Injected(r, FaultKind::QueueFull));
    for (const char* line : {"faults injected: ", "  busy ", "  queue-full ", "  parity-error ", "  short-data-phase ",
                             "requests by SRB status", "  success ", "    of them short transfers", "BUSY retries",
                             "requests lost ", "bytes miscompared ", "time-outs "})
        EXPECT_NE(text.find(line), std::string::npos) << line;
    EXPECT_EQ(text.find("  never-returns"), std::string::npos) << "a kind not in play is not listed";
    EXPECT_EQ(hbasim::campaign_verdict(r, 2).rfind("campaign sound", 0), 0u);

    const nlohmann::json j = hbasim::campaign_json(c.config, r);
    EXPECT_EQ(j["injected_total"], injected);
    EXPECT_EQ(j["behaviours_drawn"], r.behaviours_drawn());
    EXPECT_EQ(j["faults_injected"], r.faults_injected());
    EXPECT_EQ(j["legal_behaviours"], nlohmann::json::array({"queue-full", "busy"}));
    EXPECT_EQ(j["injected"]["busy"], Injected(r, FaultKind::Busy));
    EXPECT_EQ(j["with_faults"]["requests"], 300u);
    EXPECT_EQ(j["clean"]["by_status"]["success"], 32u);
    EXPECT_EQ(j["lost"], 0u);
    EXPECT_EQ(j["bytes_miscompared"], 0u);
    EXPECT_TRUE(j["sound"]);
    // The runner's own figures per device stay with the phase.
    ASSERT_EQ(r.faulty.results.devices.size(), 2u);
    EXPECT_EQ(r.faulty.results.total.requests, r.faulty.requests);
}

// A device's own list is all it commits; the other, with an empty list, commits nothing.
TEST(FaultCampaign, OnlyTheDevicesOwnKindsAreInjected)
{
    Campaign c("faults = [\"busy\"]", "faults = []", nullptr);
    const sim::workload::CampaignResult r = c.Run();
    SCOPED_TRACE(sim::workload::summary(r));
    ASSERT_TRUE(r.sound());
    EXPECT_EQ(r.kinds, Kinds({FaultKind::Busy}));
    const uint64_t busy = Injected(r, FaultKind::Busy);
    EXPECT_GT(busy, 0u);
    EXPECT_EQ(std::accumulate(r.injected.begin(), r.injected.end(), uint64_t{0}), busy);
    // Every BUSY came from the disk at ID 0 and was sent again there.
    const auto& devices = r.faulty.results.devices;
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0].device.target, 0);
    EXPECT_EQ(devices[0].busy_retries, busy);
    EXPECT_EQ(devices[1].busy_retries, 0u);
}

}  // namespace
}  // namespace hbatest
