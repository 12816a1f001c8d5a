#include <gtest/gtest.h>

#include <algorithm>
#include <array>

#include <cstdio>
#include <fstream>

#include <fmt/ranges.h>

#include "support/machines.h"
#include "workload/workload.h"
#include "linked_driver.h"

namespace hbatest {
namespace {

using sim::workload::BlockModel;
using sim::workload::Pattern;
using sim::workload::Runner;
using sim::workload::WorkloadConfig;

struct Fixture {
    explicit Fixture(sim::MachineConfig config) : machine(std::move(config))
    {
        machine.boot(hba::linked_driver());
        devices = sim::workload::scan_machine(machine);
    }
    sim::workload::Results Go(const WorkloadConfig& w)
    {
        Runner runner(machine, devices, w);
        return runner.run();
    }
    sim::Machine machine;
    std::vector<sim::workload::ScannedDevice> devices;
};

WorkloadConfig Mixed(uint64_t requests)
{
    WorkloadConfig w;
    w.requests = requests;
    w.read_percent = 50;
    w.block_size = 4096;
    w.outstanding = 4;
    return w;
}

TEST(Scan, FindsDisksAndOpticalWithCapacityAndAgreement)
{
    Fixture r(OneAdapter({Disk(0, 4096), Optical(4)}));
    ASSERT_EQ(r.devices.size(), 2u);
    EXPECT_EQ(r.devices[0].target, 0);
    EXPECT_EQ(r.devices[0].kind(), "disk");
    EXPECT_EQ(r.devices[0].block_count, 4096u);
    EXPECT_EQ(r.devices[0].block_size, 512u);
    EXPECT_EQ(r.devices[1].target, 4);
    EXPECT_TRUE(r.devices[1].read_only());
    EXPECT_EQ(r.devices[1].block_size, 2048u);
    EXPECT_EQ(r.devices[0].period_ns, 100u);  // the disk agrees to 100 ns, offset 15
    EXPECT_EQ(r.devices[0].offset, 15u);
    EXPECT_TRUE(r.machine.errors().empty()) << r.machine.errors().summary();
}

TEST(Runner, VerifiedMixedRunCompletesCleanlyAndCountsEveryRequest)
{
    Fixture r(OneAdapter({Disk(0), Disk(1), Optical(4)}));
    const auto res = r.Go(Mixed(200));
    EXPECT_TRUE(res.clean()) << fmt::format("{}", fmt::join(res.problems(), "\n"));
    ASSERT_EQ(res.devices.size(), 3u);
    for (const auto& d : res.devices)
        EXPECT_EQ(d.requests, 200u);
    EXPECT_GT(res.devices[0].writes, 0u);
    EXPECT_GT(res.devices[0].reads, 0u);
    EXPECT_EQ(res.devices[2].writes, 0u);  // the optical drive only reads
    EXPECT_EQ(res.total.requests, 600u);
    EXPECT_GT(res.total.latency.p50, 0u);
    EXPECT_LE(res.total.latency.p50, res.total.latency.p99);
    EXPECT_LE(res.total.latency.p99, res.total.latency.max);
    EXPECT_TRUE(r.machine.errors().empty()) << r.machine.errors().summary();
}

// The requests with flags of their own, each class drawn often: the legal
// ones succeed with the right data and count among the requests; the linked
// ones come back invalid without reaching the bus, the ones against their
// direction fail without a byte moved (a model error otherwise) and come on
// top of the requests asked for.
TEST(Runner, UnusualRequestsEachEndByTheirOwnRule)
{
    sim::DeviceConfig seeking = SeekingDiskAt(1, {}, 300 * kUs, 2 * kMs, 2 * kMs);
    seeking.options.unit_attention = true;
    Fixture r(OneAdapter({Disk(0, 4096), seeking, Optical(4)}));
    ASSERT_EQ(r.devices.size(), 3u);
    WorkloadConfig w = Mixed(150);
    w.unusual.legal_flags = 0.3;
    w.unusual.against_direction = 0.2;
    w.unusual.linked = 0.1;
    const sim::workload::Results res = r.Go(w);
    EXPECT_TRUE(res.clean()) << fmt::format("{}", fmt::join(res.problems(), "\n"));
    for (const auto& d : res.devices) {
        SCOPED_TRACE(int(d.device.target));
        EXPECT_EQ(d.requests, 150u);
        EXPECT_GT(d.unusual.open_direction, 0u);
        EXPECT_GT(d.unusual.no_disconnect, 0u);
        EXPECT_GT(d.unusual.no_synch, 0u);
        EXPECT_GT(d.unusual.read_flagged_out, 0u);
        EXPECT_GT(d.unusual.read_unflagged, 0u);
        EXPECT_GT(d.unusual.linked, 0u);
        if (!d.device.read_only()) {
            EXPECT_GT(d.unusual.write_flagged_in, 0u);
            EXPECT_GT(d.unusual.write_unflagged, 0u);
        }
        EXPECT_EQ(d.unusual.wrong, 0u);
        for (const std::string& f : d.failures)
            ADD_FAILURE() << f;
    }
    EXPECT_EQ(res.linked_on_bus, 0u);
    EXPECT_TRUE(r.machine.errors().empty()) << r.machine.errors().summary();
}

TEST(Runner, BusFiguresAgreeWithTheDataMoved)
{
    Fixture r(OneAdapter({Disk(0)}));
    WorkloadConfig w = Mixed(100);
    w.read_percent = 100;
    w.pattern = Pattern::Sequential;
    // Refused reads may see their data phase drained: bytes on the bus no request moved.
    w.unusual.against_direction = 0;
    const auto res = r.Go(w);
    ASSERT_TRUE(res.clean()) << fmt::format("{}", fmt::join(res.problems(), "\n"));
    ASSERT_EQ(res.adapters.size(), 1u);
    const auto& a = res.adapters[0];
    EXPECT_EQ(a.data_bytes, res.total.bytes);
    EXPECT_EQ(a.bus_limit, 10e6);  // 100 ns agreed: one byte per period
    EXPECT_GT(a.bus_share, 0.0);
    EXPECT_LE(a.bus_share, a.bus_busy);  // data phases are part of the busy time
    EXPECT_LE(a.bus_busy, 1.0);
    EXPECT_GE(a.interrupts_per_request, 1.0);
    EXPECT_GT(res.port_accesses_per_request, 1.0);
}

TEST(Runner, BusyAnswersAreRetriedUntilTheyGoThrough)
{
    sim::DeviceConfig d = Disk(0);
    Fixture r(OneAdapter({d}));
    r.machine.bus(0).target(0)->pending_faults().busy_answers = 3;
    const auto res = r.Go(Mixed(20));
    EXPECT_TRUE(res.clean()) << fmt::format("{}", fmt::join(res.problems(), "\n"));
    EXPECT_EQ(res.total.busy_retries, 3u);
    EXPECT_EQ(res.total.requests, 20u);
}

// More outstanding than the driver queues for a LUN: the driver answers busy
// and the requests go again until there is room, however long that takes.
// A target that takes the first `count` commands and leaves the bus at once,
// without a status.
class LeavesTheBus : public sim::TargetFaultHooks {
public:
    explicit LeavesTheBus(unsigned count) : left_(count) {}
    void command_planned(sim::Target& /*target*/, sim::PlannedCommand& command) override
    {
        if (left_ == 0)
            return;
        left_--;
        command.steps = {{sim::Target::Step::Kind::Free}};
    }

private:
    unsigned left_;
};

// A device that keeps failing on the link loses, as a disk class driver
// treats it, tags and synchronous transfer after 4 failures and
// disconnection after 8: every request sent after that many failures
// carries the flags, none before.
TEST(Runner, ADeviceThatKeepsFailingLosesTagsThenDisconnection)
{
    Fixture r(OneAdapter({Disk(0, 8192)}));
    ASSERT_TRUE(r.devices.at(0).tagged);
    LeavesTheBus leaves(10);
    r.machine.bus(0).target(0)->set_fault_hooks(&leaves);
    WorkloadConfig w = Mixed(300);
    w.read_percent = 100;
    r.machine.port_driver().record_completions();
    const size_t before = r.machine.port_driver().completed().size();
    const auto res = r.Go(w);
    r.machine.bus(0).target(0)->set_fault_hooks(nullptr);
    EXPECT_EQ(res.total.errors.at(SRB_STATUS_ERROR), 10u);
    EXPECT_EQ(res.total.requests, 300u);
    EXPECT_EQ(res.total.lost + res.total.bytes_miscompared, 0u);

    const auto& completed = r.machine.port_driver().completed();
    std::vector<sim::Nanoseconds> failures;
    for (size_t i = before; i < completed.size(); i++)
        if ((completed[i]->srb.SrbStatus & 0x3F) == SRB_STATUS_ERROR && completed[i]->srb.ScsiStatus == 0)
            failures.push_back(completed[i]->completed);
    std::array<unsigned, 3> seen{};
    for (size_t i = before; i < completed.size(); i++) {
        const sim::Request& q = *completed[i];
        const auto failed_before = std::count_if(failures.begin(), failures.end(),
                                                 [&q](sim::Nanoseconds at) { return at <= q.submitted; });
        const ULONG f = q.srb.SrbFlags;
        const bool tagged = f & SRB_FLAGS_QUEUE_ACTION_ENABLE, no_synch = f & SRB_FLAGS_DISABLE_SYNCH_TRANSFER,
                   no_disconnect = f & SRB_FLAGS_DISABLE_DISCONNECT;
        SCOPED_TRACE(testing::Message() << "request " << q.id << " after " << failed_before << " failures");
        if (failed_before >= 8) {
            seen[2]++;
            EXPECT_TRUE(!tagged && no_synch && no_disconnect);
        } else if (failed_before >= 4) {
            seen[1]++;
            EXPECT_TRUE(!tagged && no_synch);
        } else if (tagged) {
            seen[0]++;
            EXPECT_FALSE(no_synch || no_disconnect);
        }
    }
    for (unsigned n : seen)
        EXPECT_GT(n, 0u);
    EXPECT_TRUE(r.machine.errors().empty()) << r.machine.errors().summary();
}

// More requests than the driver's queue for the LUN holds: the driver tells
// the port driver when the LU can take more (NextLuRequest), so nothing is
// refused. A port driver that sends whatever waits meets BUSY instead, and
// sends those requests again: flow control either way, not failure.
TEST(Runner, AFullDriverQueueIsFlowControlNotFailure)
{
    for (bool any_lu_request : {false, true}) {
        SCOPED_TRACE(any_lu_request ? "lenient port" : "strict port");
        sim::MachineConfig config = OneAdapter({Disk(0, 8192)});
        config.port_lenient.any_lu_request = any_lu_request;
        Fixture r(config);
        WorkloadConfig w = Mixed(100);
        w.outstanding = 32;
        w.block_size = 65536;
        const auto res = r.Go(w);
        EXPECT_TRUE(res.clean()) << fmt::format("{}", fmt::join(res.problems(), "\n"));
        EXPECT_EQ(res.total.busy_retries > 0, any_lu_request);
        EXPECT_TRUE(r.machine.errors().empty()) << r.machine.errors().summary();
    }
}

// BUSY for ever: the port driver sends each request again 20 times, a
// second apart, then fails it; the class driver sends it again 4 times, and
// then it fails for good.
TEST(Runner, BusyOutlastingThePortAndTheClassDriverFails)
{
    Fixture r(OneAdapter({Disk(0)}));
    r.machine.bus(0).target(0)->pending_faults().busy_answers = 100000;
    WorkloadConfig w = Mixed(2);
    w.outstanding = 1;
    w.timeout_seconds = 1;
    const auto res = r.Go(w);
    EXPECT_EQ(res.total.errors.size(), 1u);
    EXPECT_EQ(res.total.requests, 2u);
    EXPECT_EQ(res.total.busy_failed, 2u);
    EXPECT_EQ(res.total.resent_busy, 2u * sim::kClassDriverRetries);
    EXPECT_EQ(res.total.busy_retries, 2u * (sim::kClassDriverRetries + 1) * sim::PortDriver::kBusyRetryLimit);
    EXPECT_FALSE(res.clean());
}

TEST(Runner, ABlockChangedBehindTheDriversBackIsReportedAsAMiscompare)
{
    const std::string image = ::testing::TempDir() + "workload_image.bin";
    {
        std::ofstream out(image, std::ios::binary);
        std::vector<char> blocks(64 * 512);
        for (size_t i = 0; i < blocks.size(); i++)
            blocks[i] = static_cast<char>(i * 7);
        out.write(blocks.data(), static_cast<std::streamsize>(blocks.size()));
    }
    sim::DeviceConfig d = Disk(0, 64);
    d.options.image_path = image;
    Fixture r(OneAdapter({d}));
    auto* disk = dynamic_cast<sim::BlockDevice*>(r.machine.bus(0).target(0));
    ASSERT_NE(disk, nullptr);
    const std::vector<uint8_t> junk(512, 0xEE);
    disk->store().write(5, junk.data(), 1);
    WorkloadConfig w = Mixed(16);
    w.read_percent = 100;
    w.pattern = Pattern::Sequential;
    w.block_size = 2048;
    const auto res = r.Go(w);
    EXPECT_FALSE(res.clean());
    EXPECT_EQ(res.total.blocks_miscompared, 1u);  // 16 reads of 4 blocks cover the 64 once
    EXPECT_GT(res.total.bytes_miscompared, 500u);
    ASSERT_FALSE(res.devices[0].failures.empty());
    EXPECT_NE(res.devices[0].failures[0].find("LBA 5"), std::string::npos) << res.devices[0].failures[0];
    std::remove(image.c_str());
}

TEST(Runner, RequestsStillOutstandingAtTheDrainLimitAreLost)
{
    Fixture r(OneAdapter({Disk(0)}));
    WorkloadConfig w = Mixed(8);
    w.drain_limit = 1;  // no time at all to finish the last ones
    const auto res = r.Go(w);
    EXPECT_GT(res.total.lost, 0u);
    EXPECT_EQ(res.total.requests + res.total.lost, 8u);
    EXPECT_FALSE(res.clean());
}

TEST(Runner, DurationBoundsTheIssuingAndTheSeedMakesRunsRepeat)
{
    auto once = [] {
        Fixture r(OneAdapter({Disk(0), Disk(1)}));
        WorkloadConfig w = Mixed(0);
        w.duration = 20 * sim::kMillisecond;
        w.seed = 42;
        return r.Go(w);
    };
    const auto a = once();
    const auto b = once();
    EXPECT_TRUE(a.clean());
    EXPECT_GE(a.elapsed, 20 * sim::kMillisecond);
    EXPECT_GT(a.total.requests, 10u);
    EXPECT_EQ(a.total.requests, b.total.requests);
    EXPECT_EQ(a.elapsed, b.elapsed);
    EXPECT_EQ(a.total.latency.max, b.total.latency.max);
}

// The patterns tell the right block from a stale one, a misplaced one and one
// of another device; blocks whose write failed are not judged.
TEST(BlockModel, TellsWhatAWrongBlockHolds)
{
    BlockModel m(1, 512);
    BlockModel other(2, 512);
    m.written(10, 1, m.next_generation());  // generation 1
    m.written(10, 1, m.next_generation());  // generation 2
    m.written(11, 1, BlockModel::kUnknown);
    std::vector<uint8_t> b(512);
    struct Case {
        const char* name;
        uint64_t lba;
        std::function<void()> make;
        bool wrong;
        const char* says;
    } cases[] = {
        {"current", 10, [&] { m.fill(10, 2, b.data()); }, false, ""},
        {"stale", 10, [&] { m.fill(10, 1, b.data()); }, true, "holds generation 1"},
        {"misplaced", 10, [&] { m.fill(9, 2, b.data()); }, true, "generation 2 of LBA 9"},
        {"other device", 10, [&] { other.fill(10, 2, b.data()); }, true, "of device 0x2"},
        {"damaged", 10, [&] { m.fill(10, 2, b.data()); b[300] ^= 1; }, true, "damaged"},
        {"never written", 12, [&] { std::fill(b.begin(), b.end(), 0); }, false, ""},
        {"never written, not zero", 12, [&] { std::fill(b.begin(), b.end(), 0); b[0] = 1; }, true, "no workload"},
        {"unknown", 11, [&] { std::fill(b.begin(), b.end(), 0x55); }, false, ""},
    };
    for (const Case& c : cases) {
        c.make();
        const BlockModel::Check r = m.check(c.lba, b.data());
        EXPECT_EQ(r.bytes_wrong != 0, c.wrong) << c.name;
        EXPECT_NE(r.what.find(c.says), std::string::npos) << c.name << ": " << r.what;
    }
}


// A bus reset from another initiator in the middle of a verified workload on
// four tagged, disconnecting disks that agreed synchronous transfer: the
// targets drop to asynchronous, each raises a unit attention, and the REQUEST
// SENSE the port driver sends for it renegotiates. Seen from the bus, every
// target's data phases run synchronous again within its next few commands;
// no byte is wrong and no data phase runs at a rate its target did not agree.
// The requests the reset ended are not sent again here: a class driver sends
// them with synchronous negotiation disabled, and the REQUEST SENSE for the
// unit attention one of them then meets goes without it too.
TEST(Runner, AfterABusResetEveryTargetRunsSynchronousAgainWithinItsNextCommands)
{
    for (sim::Nanoseconds reset_at : {3 * sim::kMillisecond, 11 * sim::kMillisecond, 29 * sim::kMillisecond}) {
        SCOPED_TRACE(reset_at);
        std::vector<sim::DeviceConfig> disks;
        for (uint8_t id : {0, 1, 2, 3}) {
            sim::DeviceConfig d = Disk(id);
            d.options.track_seek = 200 * sim::kMicrosecond;
            disks.push_back(d);
        }
        Fixture r(OneAdapter(disks));
        for (const auto& d : r.devices)
            ASSERT_NE(d.offset, 0u) << "the scan did not agree synchronous transfer";
        sim::ScsiBus& bus = r.machine.bus(0);
        bool reset = false;
        std::array<int, 8> data_phases_after{};   // data phases since the reset, per target
        std::array<int, 8> synchronous_again{};   // at which one it ran synchronous again (0: not yet)
        WorkloadConfig w = Mixed(120);
        w.class_retries = 0;
        Runner runner(r.machine, r.devices, w);
        runner.set_bus_observer([&](size_t, const sim::BusEvent& e) {
            if (e.kind == sim::BusEvent::Kind::Reset)
                reset = true;
            if (!reset || (e.kind != sim::BusEvent::Kind::DataIn && e.kind != sim::BusEvent::Kind::DataOut))
                return;
            const int n = ++data_phases_after[e.target];
            if (!synchronous_again[e.target] && bus.last_data_timing(e.target)->offset != 0)
                synchronous_again[e.target] = n;
        });
        r.machine.clock().after(reset_at, [&] { bus.assert_reset(); });
        const auto res = runner.run();

        ASSERT_TRUE(reset);
        EXPECT_EQ(res.total.bytes_miscompared, 0u);
        EXPECT_EQ(res.total.lost, 0u);
        EXPECT_TRUE(res.total.errors.contains(SRB_STATUS_ERROR)) << "no request met the unit attention";
        EXPECT_EQ(bus.timing_mismatches(), 0u);
        for (uint8_t id : {0, 1, 2, 3}) {
            SCOPED_TRACE(int(id));
            EXPECT_GT(synchronous_again[id], 0) << "still asynchronous after " << data_phases_after[id] << " data phases";
            EXPECT_LE(synchronous_again[id], 6);
            ASSERT_TRUE(bus.last_data_timing(id).has_value());
            EXPECT_NE(bus.last_data_timing(id)->offset, 0u);
        }
        EXPECT_TRUE(r.machine.errors().empty()) << r.machine.errors().summary();
    }
}

}  // namespace
}  // namespace hbatest
