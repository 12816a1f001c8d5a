// The kernel image carries real work: the port driver's start-up scan, a
// verified read/write mix on four tagged, disconnecting, synchronous disks
// and an optical drive, and a bus reset in the middle of it. Every run ends
// with nothing outstanding, nothing lost, every byte read back right and no
// rule broken, and with exactly the figures the linked-in driver gives on
// the same machine and seed: it is the same code.
#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <optional>

#include "linked_driver.h"
#include "pc/startup_scan.h"
#include "scenario.h"
#include "support/kernel_image.h"
#include "support/pe_image.h"
#include "workload/hostile_input.h"
#include "workload/workload.h"

namespace {

using hbatest::KernelImage;
using sim::workload::DeviceResult;
using sim::workload::Results;

// What the bus showed during a workload.
struct BusCounts {
    uint64_t reselections = 0;
    uint64_t tag_messages = 0;  // SIMPLE/HEAD OF QUEUE/ORDERED QUEUE TAG out
    uint64_t sdtr_messages = 0;
    uint64_t resets = 0;
    std::array<uint8_t, 2> before{};  // the two message bytes before this one (they travel one by one)

    void on(const sim::BusEvent& e)
    {
        using Kind = sim::BusEvent::Kind;
        if (e.kind == Kind::Reselection)
            reselections++;
        if (e.kind == Kind::Reset)
            resets++;
        if (e.kind != Kind::MessageOut && e.kind != Kind::MessageIn)
            return;
        if (e.kind == Kind::MessageOut && e.byte >= 0x20 && e.byte <= 0x22)
            tag_messages++;
        if (before[0] == 0x01 && before[1] == 0x03 && e.byte == 0x01)
            sdtr_messages++;
        before = {before[1], e.byte};
    }
};

struct Outcome {
    uint32_t status = 0;
    std::vector<sim::workload::ScannedDevice> devices;
    Results results;
    BusCounts bus;
    uint64_t resets_detected = 0;
    uint64_t next_lu_requests = 0;  // tagged LUNs the driver kept open for their next request
    uint64_t port_accesses = 0;
    uint64_t timing_mismatches = 0;  // data phases run at a rate the target was not using
    std::string model_errors;
    size_t outstanding = 0, waiting = 0;
};

hbasim::Scenario Scenario(uint64_t requests)
{
    hbasim::Scenario s = hbasim::default_scenario();
    s.workload.requests = requests;
    return s;
}

// Calls HwResetBus `delay` after the workload starts, as the port driver's own
// reset does: never inside a miniport routine, so a moment that falls in one
// waits a microsecond at a time until it has returned.
void ResetBusAfter(sim::Machine& machine, sim::Nanoseconds delay)
{
    machine.clock().after(delay, [&machine] {
        if (machine.port_driver().in_routine()) {
            ResetBusAfter(machine, sim::kMicrosecond);
            return;
        }
        machine.port_driver().reset_bus(0);
    });
}

// Boots the scenario's machine with the image (or the linked-in driver when
// null), scans it and runs the workload.
Outcome RunMachine(const hbasim::Scenario& scenario, KernelImage* image, std::optional<sim::Nanoseconds> reset_after)
{
    sim::Machine machine(scenario.machine);
    Outcome o;
    o.status = image ? machine.boot(image->driver()) : machine.boot(hba::linked_driver());
    o.devices = sim::workload::scan_machine(machine);
    {
        sim::workload::Runner runner(machine, o.devices, scenario.workload);
        runner.set_bus_observer([&o](size_t, const sim::BusEvent& e) { o.bus.on(e); });
        if (reset_after)
            ResetBusAfter(machine, *reset_after);
        o.results = runner.run();
    }
    for (size_t a = 0; a < machine.port_driver().adapter_count(); a++) {
        o.resets_detected += machine.port_driver().adapter(a).resets_detected;
        o.next_lu_requests += machine.port_driver().adapter(a).next_lu_requests;
    }
    o.port_accesses = machine.ports().access_count();
    for (size_t b = 0; b < scenario.machine.adapters.size(); b++)
        o.timing_mismatches += machine.bus(b).timing_mismatches();
    o.model_errors = machine.errors().summary();
    o.outstanding = machine.port_driver().outstanding();
    o.waiting = machine.port_driver().waiting();
    return o;
}

Outcome RunLoaded(const hbasim::Scenario& scenario, std::optional<sim::Nanoseconds> reset_after = {})
{
    KernelImage image;  // a fresh load for every machine
    EXPECT_TRUE(image.ok());
    if (!image.ok())
        return {};
    return RunMachine(scenario, &image, reset_after);
}

void ExpectSound(const Outcome& o)
{
    EXPECT_EQ(o.status, 0u);
    EXPECT_EQ(o.model_errors, "");
    EXPECT_EQ(o.outstanding, 0u) << "the ledger still holds requests";
    EXPECT_EQ(o.waiting, 0u);
    EXPECT_EQ(o.results.total.lost, 0u);
    EXPECT_EQ(o.timing_mismatches, 0u);
    EXPECT_EQ(o.results.total.bytes_miscompared, 0u);
    EXPECT_EQ(o.results.total.blocks_miscompared, 0u);
}

void ExpectSameDevice(const DeviceResult& loaded, const DeviceResult& linked)
{
    SCOPED_TRACE(::testing::Message() << "target " << int(linked.device.target));
    EXPECT_EQ(loaded.device.period_ns, linked.device.period_ns);
    EXPECT_EQ(loaded.device.offset, linked.device.offset);
    EXPECT_EQ(loaded.device.tag_depth, linked.device.tag_depth);
    EXPECT_EQ(loaded.requests, linked.requests);
    EXPECT_EQ(loaded.reads, linked.reads);
    EXPECT_EQ(loaded.writes, linked.writes);
    EXPECT_EQ(loaded.bytes, linked.bytes);
    EXPECT_EQ(loaded.errors, linked.errors);
    EXPECT_EQ(loaded.busy_retries, linked.busy_retries);
    EXPECT_EQ(loaded.latency.p50, linked.latency.p50);
    EXPECT_EQ(loaded.latency.p99, linked.latency.p99);
    EXPECT_EQ(loaded.latency.max, linked.latency.max);
}

void ExpectSameFigures(const Outcome& loaded, const Outcome& linked)
{
    EXPECT_EQ(loaded.results.elapsed, linked.results.elapsed);
    EXPECT_EQ(loaded.port_accesses, linked.port_accesses);
    EXPECT_EQ(loaded.results.port_accesses, linked.results.port_accesses);
    EXPECT_EQ(loaded.bus.reselections, linked.bus.reselections);
    EXPECT_EQ(loaded.bus.tag_messages, linked.bus.tag_messages);
    EXPECT_EQ(loaded.bus.sdtr_messages, linked.bus.sdtr_messages);
    EXPECT_EQ(loaded.resets_detected, linked.resets_detected);
    ASSERT_EQ(loaded.results.adapters.size(), linked.results.adapters.size());
    for (size_t a = 0; a < linked.results.adapters.size(); a++) {
        EXPECT_EQ(loaded.results.adapters[a].interrupts, linked.results.adapters[a].interrupts);
        EXPECT_EQ(loaded.results.adapters[a].data_bytes, linked.results.adapters[a].data_bytes);
    }
    ASSERT_EQ(loaded.results.devices.size(), linked.results.devices.size());
    for (size_t d = 0; d < linked.results.devices.size(); d++)
        ExpectSameDevice(loaded.results.devices[d], linked.results.devices[d]);
    ExpectSameDevice(loaded.results.total, linked.results.total);
}

TEST(ImageEndToEnd, StartupScanFindsWhatTheLinkedDriverFinds)
{
    const hbasim::Scenario scenario = Scenario(0);
    auto scan = [&](KernelImage* image) {
        sim::Machine machine(scenario.machine);
        EXPECT_EQ(image ? machine.boot(image->driver()) : machine.boot(hba::linked_driver()), 0u);
        auto found = sim::scan_devices(machine);
        EXPECT_EQ(machine.errors().summary(), "");
        EXPECT_EQ(machine.port_driver().outstanding(), 0u);
        EXPECT_EQ(machine.port_driver().waiting(), 0u);
        return std::make_pair(found, machine.ports().access_count());
    };
    const auto [linked, linked_accesses] = scan(nullptr);
    KernelImage image;
    ASSERT_TRUE(image.ok());
    const auto [loaded, loaded_accesses] = scan(&image);

    ASSERT_EQ(linked.size(), 5u) << "four disks and the optical drive";
    ASSERT_EQ(loaded.size(), linked.size());
    EXPECT_EQ(loaded_accesses, linked_accesses);
    for (size_t i = 0; i < linked.size(); i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(loaded[i].id, linked[i].id);
        EXPECT_EQ(loaded[i].lun, linked[i].lun);
        EXPECT_EQ(loaded[i].peripheral, linked[i].peripheral);
        EXPECT_EQ(loaded[i].vendor, linked[i].vendor);
        EXPECT_EQ(loaded[i].product, linked[i].product);
        EXPECT_TRUE(loaded[i].capacity_known);
        EXPECT_EQ(loaded[i].block_count, linked[i].block_count);
        EXPECT_EQ(loaded[i].block_size, linked[i].block_size);
        EXPECT_EQ(loaded[i].period_ns, linked[i].period_ns);
        EXPECT_EQ(loaded[i].offset, linked[i].offset);
        EXPECT_EQ(loaded[i].tagged, linked[i].tagged);
    }
    // The disks ran synchronous during the scan and offer tagged queuing.
    for (size_t i = 0; i < 4; i++) {
        EXPECT_NE(loaded[i].offset, 0) << i;
        EXPECT_TRUE(loaded[i].tagged) << i;
    }
}

struct WorkloadCase {
    const char* name;
    sim::workload::Pattern pattern;
    uint32_t block_size;  // 32 KiB: eight pages, most of them not contiguous, so several scatter-gather entries
    uint64_t requests;    // per device
};

void PrintTo(const WorkloadCase& c, std::ostream* os)
{
    *os << c.name;
}

class ImageWorkload : public ::testing::TestWithParam<WorkloadCase> {};

TEST_P(ImageWorkload, VerifiedMixWithDisconnectionTagsAndSynchronousTransfer)
{
    hbasim::Scenario scenario = Scenario(GetParam().requests);
    scenario.workload.pattern = GetParam().pattern;
    scenario.workload.block_size = GetParam().block_size;
    const Outcome loaded = RunLoaded(scenario);
    const Outcome linked = RunMachine(scenario, nullptr, {});

    ExpectSound(loaded);
    ExpectSound(linked);
    EXPECT_TRUE(loaded.results.clean());
    for (const std::string& p : loaded.results.problems())
        ADD_FAILURE() << p;
    EXPECT_EQ(loaded.results.total.requests, 5u * GetParam().requests);
    EXPECT_GT(loaded.results.total.writes, 0u);
    for (size_t d = 0; d < 4; d++) {
        EXPECT_GT(loaded.results.devices[d].device.period_ns, 0u) << d;
        EXPECT_GT(loaded.results.devices[d].device.tag_depth, 1u) << d;
    }
    EXPECT_GT(loaded.bus.reselections, GetParam().requests) << "the disks disconnected to seek";
    // Those that forbid disconnection go untagged, alone on their LUN.
    EXPECT_GE(loaded.bus.tag_messages, 4u * GetParam().requests - loaded.results.total.unusual.no_disconnect)
        << "every other disk command carried a tag";
    // The image's NextLuRequest reaches the port with its LU, as the linked driver's does.
    EXPECT_GT(loaded.next_lu_requests, 0u);
    EXPECT_EQ(loaded.next_lu_requests, linked.next_lu_requests);
    ExpectSameFigures(loaded, linked);
}

INSTANTIATE_TEST_SUITE_P(Mixes, ImageWorkload,
                         ::testing::Values(WorkloadCase{"random_4k", sim::workload::Pattern::Random, 4096, 300},
                                           WorkloadCase{"random_32k_scatter_gather", sim::workload::Pattern::Random,
                                                        32768, 150}),
                         [](const auto& p) { return std::string(p.param.name); });

// Requests the reset ends are sent again by the class driver and succeed:
// no request fails, every byte arrives, the disks' contents stay known, and
// the workload goes on to the end, every read after the reset verified.
TEST(ImageEndToEnd, BusResetInTheMiddleThenTheWorkloadContinuesVerified)
{
    const hbasim::Scenario scenario = Scenario(300);
    const sim::Nanoseconds reset_after = 40 * sim::kMillisecond;
    const Outcome loaded = RunLoaded(scenario, reset_after);
    const Outcome linked = RunMachine(scenario, nullptr, reset_after);

    ExpectSound(loaded);
    ExpectSound(linked);
    EXPECT_GT(loaded.results.elapsed, 4 * reset_after) << "the reset fell in the middle of the run";
    EXPECT_EQ(loaded.bus.resets, 1u);
    EXPECT_EQ(loaded.resets_detected, 1u);
    const DeviceResult& total = loaded.results.total;
    EXPECT_EQ(total.requests, 5u * 300u);
    EXPECT_TRUE(total.errors.empty()) << "a request failed";
    EXPECT_GE(total.resent_after_reset, 1u);
    EXPECT_LE(total.resent_after_reset, 5u * scenario.workload.outstanding);
    EXPECT_EQ(total.bytes, total.requests * scenario.workload.block_size);
    ExpectSameFigures(loaded, linked);
}

// The fuzzer's seed inputs (hostile devices, machine faults and legal
// behaviours drawn from their bytes) through the image: each run sound, and
// each the linked-in driver's run to the figure.
TEST(ImageEndToEnd, FuzzerSeedInputsRunAsOnTheLinkedDriver)
{
    size_t inputs = 0;
    for (const auto& entry : std::filesystem::directory_iterator(HBA_SOURCE_DIR "/fuzz/corpus")) {
        SCOPED_TRACE(entry.path().filename().string());
        const std::vector<uint8_t> input = hbatest::ReadBytes(entry.path().string());
        KernelImage image;
        ASSERT_TRUE(image.ok());
        const auto loaded = sim::workload::run_hostile_input(input, image.driver());
        const auto linked = sim::workload::run_hostile_input(input, hba::linked_driver());
        for (const std::string& p : loaded.result.problems)
            ADD_FAILURE() << p;
        EXPECT_TRUE(loaded.sound());
        EXPECT_EQ(loaded.sound(), linked.sound());
        EXPECT_EQ(loaded.result.faults_injected(), linked.result.faults_injected());
        EXPECT_EQ(loaded.result.faulty.by_status, linked.result.faulty.by_status);
        EXPECT_EQ(loaded.result.clean.by_status, linked.result.clean.by_status);
        EXPECT_EQ(loaded.result.faulty.results.elapsed, linked.result.faulty.results.elapsed);
        EXPECT_EQ(loaded.result.bus_resets, linked.result.bus_resets);
        EXPECT_EQ(loaded.result.logged, linked.result.logged);
        inputs++;
    }
    EXPECT_GE(inputs, 8u);
}

}  // namespace
