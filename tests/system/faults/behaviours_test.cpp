// Legal behaviours: what SCSI-2 lets a target do and our usual devices never
// do. Unlike faults, none may make a request fail: every request succeeds in
// full, every byte read back and every block left on the medium is right,
// every byte the chip moves lands at the offset of its request's buffer that
// the target's data pointer names (the machine audits each transfer), the
// bus runs every data phase at the timing the target agreed, and the ledger
// ends clean.
#include <gtest/gtest.h>

#include <cstdlib>

#include <fmt/format.h>

#include "linked_driver.h"
#include "support/campaign.h"
#include "support/driver_fixture.h"
#include "support/driver_internals.h"
#include "workload/fault_campaign.h"
#include "workload/hostile_input.h"

namespace hbatest {
namespace {

using sim::FaultKind;
using sim::FaultSet;
using sim::workload::CampaignConfig;
using sim::workload::CampaignResult;
using sim::workload::FaultCampaign;

constexpr uint8_t kTagged = 0;
constexpr uint8_t kUntagged = 1;

sim::DeviceConfig SeekingDisk(uint8_t id, bool tagged, unsigned queue_limit = 8)
{
    sim::DeviceConfig d = Disk(id);
    d.options.target.tagged_queuing = tagged;
    d.options.target.queue_limit = queue_limit;
    d.options.track_seek = 300 * kUs;  // slow enough to disconnect
    d.options.full_seek = 4 * sim::kMillisecond;
    d.options.revolution = 2 * sim::kMillisecond;
    return d;
}

sim::MachineConfig TwoDisks(uint64_t seed = 11)
{
    sim::MachineConfig c = OneAdapter({SeekingDisk(kTagged, true), SeekingDisk(kUntagged, false)});
    c.seed = seed;
    return c;
}

// BEHAVIOURS_TRACE=1 prints the bus trace of every run.
constexpr const char* kTrace = "BEHAVIOURS_TRACE";

// Nothing failed, nothing short, nothing lost, nothing miscompared, no rule
// broken (the transfer audit and the bus timing check among them), nothing
// recovered by a reset or a time-out, the ledger clean.
void ExpectAllWell(const CampaignResult& r)
{
    EXPECT_TRUE(r.problems.empty());
    EXPECT_EQ(r.lost(), 0u);
    EXPECT_EQ(r.bytes_miscompared(), 0u);
    EXPECT_EQ(CountWithStatus(r.faulty, SRB_STATUS_SUCCESS), r.faulty.requests);
    EXPECT_EQ(r.faulty.short_transfers, 0u);
    EXPECT_EQ(r.time_outs, 0u);
    EXPECT_EQ(r.bus_resets, 0u);
    EXPECT_EQ(r.faults_injected(), 0u);
}

struct Case {
    FaultKind kind;
    uint8_t device;
    bool write;
};

void PrintTo(const Case& c, std::ostream* os)
{
    *os << sim::fault_name(c.kind) << (c.write ? " writes" : " reads") << " on ID " << int(c.device);
}

class EachBehaviour : public ::testing::TestWithParam<Case> {};

// The behaviour on every command of one device: reads only or writes only,
// tagged or untagged; the other device keeps to its usual ways meanwhile.
TEST_P(EachBehaviour, EveryRequestSucceedsAndEveryByteIsRight)
{
    const Case& c = GetParam();
    sim::Machine machine(TwoDisks());
    machine.boot(hba::linked_driver());
    CampaignConfig config;
    config.rate = 0;
    // QUEUE FULL and BUSY at every command would never let one through.
    const bool refusal = c.kind == FaultKind::QueueFull || c.kind == FaultKind::Busy;
    config.device_behaviours[{0, c.device}] = {FaultSet{}.set(size_t(c.kind)), refusal ? 0.3 : 1.0};
    config.workload.requests = 40;
    config.workload.read_percent = c.write ? 0 : 100;
    config.workload.outstanding = 4;
    config.workload.block_size = 4096;
    config.clean_requests = 8;
    FaultCampaign campaign(machine, config);
    TraceIfAsked(campaign, kTrace);
    const CampaignResult r = campaign.run();
    SCOPED_TRACE(sim::workload::summary(r));

    EXPECT_GE(r.injected[size_t(c.kind)], refusal ? 8u : 40u) << "the behaviour was not drawn often enough";
    ExpectAllWell(r);
}

std::vector<Case> Cases()
{
    std::vector<Case> out;
    for (FaultKind kind : {FaultKind::SavePointerContinue, FaultKind::BareDisconnect, FaultKind::DisconnectAnyByte,
                           FaultKind::RestorePointers, FaultKind::TargetSdtr, FaultKind::QueueFull, FaultKind::Busy,
                           FaultKind::OptionalMessage, FaultKind::DisconnectAfterData})
        for (uint8_t device : {kTagged, kUntagged})
            for (bool write : {false, true})
                out.push_back({kind, device, write});
    return out;
}

INSTANTIATE_TEST_SUITE_P(Kinds, EachBehaviour, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<Case>& param) {
                             std::string name{sim::fault_name(param.param.kind)};
                             std::erase(name, '-');
                             return fmt::format("{}_{}_on_{}", name, param.param.write ? "writes" : "reads",
                                                param.param.device);
                         });

// SAVE DATA POINTER and then no disconnection, exactly at the interesting
// bytes: the first, one inside, the last (then straight to status).
TEST(SavePointerContinue, AtTheEdgesOfTheDataPhase)
{
    // The device's picks: which data step, where in it (0: its start,
    // 1: its end, 2: a byte inside, with two bytes for the offset).
    const std::vector<std::vector<uint8_t>> picks = {{0, 0}, {0, 1}, {0, 2, 0x00, 0x01}, {0, 2, 0x0F, 0xFF}};
    for (const bool write : {false, true})
        for (const auto& p : picks) {
            SCOPED_TRACE(fmt::format("{} picks {}", write ? "write" : "read", fmt::join(p, " ")));
            sim::Machine machine(TwoDisks());
            machine.boot(hba::linked_driver());
            sim::ByteChoices choices(p);
            CampaignConfig config;
            config.rate = 0;
            config.workload.requests = 6;
            config.workload.read_percent = write ? 0 : 100;
            config.workload.outstanding = 1;
            config.clean_requests = 4;
            FaultCampaign campaign(machine, config, &choices);
            TraceIfAsked(campaign, kTrace);
            campaign.faults().device(0, kTagged).force(FaultKind::SavePointerContinue);
            const CampaignResult r = campaign.run();
            SCOPED_TRACE(sim::workload::summary(r));
            EXPECT_EQ(r.injected[size_t(FaultKind::SavePointerContinue)], 1u);
            ExpectAllWell(r);
        }
}

// Every legal behaviour at once, at random, over many seeds, on four kinds
// of target: nothing may fail.
TEST(LegalBehaviours, AllAtRandomManySeeds)
{
    for (uint64_t seed = 1; seed <= 6; seed++) {
        SCOPED_TRACE(seed);
        sim::MachineConfig mc = TwoDisks(seed);
        mc.adapters[0].devices.push_back(SeekingDisk(2, true, 2));  // QUEUE FULL of its own beyond two
        sim::DeviceConfig fast = SeekingDisk(3, true);
        fast.options.track_seek = 0;
        fast.options.full_seek = 0;
        fast.options.revolution = 0;  // holds the bus: no disconnection of its own
        mc.adapters[0].devices.push_back(fast);
        sim::Machine machine(mc);
        machine.boot(hba::linked_driver());
        CampaignConfig config;
        config.kinds = sim::legal_behaviours();
        config.rate = 0.3;
        config.workload.requests = 120;
        config.workload.read_percent = 50;
        config.workload.outstanding = 6;
        config.workload.seed = seed;
        config.clean_requests = 8;
        FaultCampaign campaign(machine, config);
        TraceIfAsked(campaign, kTrace);
        const CampaignResult r = campaign.run();
        SCOPED_TRACE(sim::workload::summary(r));
        EXPECT_GT(r.behaviours_drawn(), 100u);
        ExpectAllWell(r);
    }
}

// QUEUE FULL or BUSY from one target while the others hold commands issued,
// disconnected and waiting: whichever LUN gets the answer, every waiting
// command is started in its turn, none twice, none with a tag in use.
TEST(QueueFullAcrossLuns, OthersKeepGoing)
{
    for (const FaultKind kind : {FaultKind::QueueFull, FaultKind::Busy})
        for (uint8_t victim = 0; victim < 3; victim++) {
            SCOPED_TRACE(fmt::format("{} on ID {}", sim::fault_name(kind), victim));
            sim::MachineConfig mc = OneAdapter({SeekingDisk(0, true), SeekingDisk(1, true, 3), SeekingDisk(2, false)});
            mc.seed = 5 + victim;
            sim::Machine machine(mc);
            machine.boot(hba::linked_driver());
            CampaignConfig config;
            config.rate = 0;
            config.device_behaviours[{0, victim}] = {FaultSet{}.set(size_t(kind)), 0.4};
            config.workload.requests = 150;
            config.workload.read_percent = 60;
            config.workload.outstanding = 8;
            config.clean_requests = 8;
            FaultCampaign campaign(machine, config);
            TraceIfAsked(campaign, kTrace);
            const CampaignResult r = campaign.run();
            SCOPED_TRACE(sim::workload::summary(r));
            EXPECT_GT(r.injected[size_t(kind)], 20u);
            ExpectAllWell(r);
        }
}

// The fuzzer's input reaches the legal behaviours (bit 23 of the kinds mask
// asks for a byte of them): the seeds in fuzz/corpus, kept sound.
TEST(HostileInput, DrawsTheLegalBehaviours)
{
    // seed, seek, rotation, queue limit, mid-data disconnects, optical seek,
    // reaction; kinds mask (unsolicited-sdtr, queue-full, busy; bit 23) and
    // the legal behaviours' byte; rate, requests, reads, outstanding, block
    // size, workload seed; then the devices' choices.
    std::vector<uint8_t> legal_only = {3, 40, 60, 2, 1, 20, 2, 0x10, 0x0C, 0x80, 0x3F, 40, 10, 50, 3, 3, 7};
    std::vector<uint8_t> with_faults = {9, 30, 90, 5, 2, 30, 4, 0xFF, 0xFF, 0xBF, 0x3F, 24, 11, 60, 5, 3, 21};
    for (auto* input : {&legal_only, &with_faults}) {
        for (unsigned i = 0; i < 400; i++)
            input->push_back(uint8_t(i * 37 + 11));
        std::function<void(size_t, const sim::BusEvent&)> trace;
        if (std::getenv("BEHAVIOURS_TRACE"))
            trace = [](size_t, const sim::BusEvent& e) { fmt::print("{}\n", sim::to_string(e)); };
        const sim::workload::HostileRun run = sim::workload::run_hostile_input(*input, hba::linked_driver(), internals::DriverHoldsNothing, trace);
        SCOPED_TRACE(sim::workload::summary(run.result));
        EXPECT_EQ((run.result.kinds & sim::legal_behaviours()).count(), 9u);
        EXPECT_GT(run.result.behaviours_drawn(), 0u);
        // Without the top bit of the behaviours' byte, plain requests only: inputs keep their meaning.
        for (const sim::workload::PhaseFigures* f : {&run.result.faulty, &run.result.clean}) {
            const sim::workload::UnusualCounts& u = f->unusual;
            EXPECT_EQ(u.open_direction + u.no_disconnect + u.no_synch + u.against() + u.linked, 0u);
        }
        EXPECT_TRUE(run.sound());
    }
}

// The top bit of the legal behaviours' byte asks for a byte of requests
// with flags of their own (bit 0 legal flags, 1 against the direction, 2
// linked; the rest the rate): drawn with and without faults, each judged by
// its own rule, the run sound.
TEST(HostileInput, DrawsTheUnusualRequests)
{
    // As above, with the unusual requests' byte after the legal behaviours'.
    std::vector<uint8_t> without_faults = {5, 40, 60, 3, 1, 20, 2, 0x00, 0x00, 0x80, 0x80, 0xFF, 0, 11, 50, 3, 1, 9};
    std::vector<uint8_t> with_faults = {9, 30, 90, 5, 2, 30, 4, 0xFF, 0xFF, 0xBF, 0xBF, 0x7F, 24, 11, 60, 5, 3, 21};
    for (auto* input : {&without_faults, &with_faults}) {
        for (unsigned i = 0; i < 400; i++)
            input->push_back(uint8_t(i * 37 + 11));
        const sim::workload::HostileRun run =
            sim::workload::run_hostile_input(*input, hba::linked_driver(), internals::DriverHoldsNothing);
        SCOPED_TRACE(sim::workload::summary(run.result));
        for (const sim::workload::PhaseFigures* f : {&run.result.faulty, &run.result.clean}) {
            const sim::workload::UnusualCounts& u = f->unusual;
            EXPECT_GT(u.open_direction + u.no_disconnect + u.no_synch, 0u);
            EXPECT_GT(u.against(), 0u);
            EXPECT_GT(u.linked, 0u);
        }
        EXPECT_TRUE(run.sound());
    }
}

// One target with three LUNs, each holding two tagged commands, refusing
// more with QUEUE FULL (and at random besides): the refused LUN waits, the
// target's other LUNs and the other targets go on.
TEST(QueueFullAcrossLuns, SeveralLunsOfOneTarget)
{
    for (uint64_t seed : {3, 4}) {
        SCOPED_TRACE(seed);
        sim::MachineConfig mc = sim::default_machine_config();
        mc.seed = seed;
        sim::DeviceConfig luns = SeekingDisk(1, true, 2);
        luns.options.luns = 3;
        mc.adapters[0].devices = {SeekingDisk(0, true), luns, SeekingDisk(2, false)};
        sim::Machine machine(mc);
        machine.boot(hba::linked_driver());
        CampaignConfig config;
        config.rate = 0;
        config.device_behaviours[{0, 1}] = {FaultSet{}.set(size_t(FaultKind::QueueFull)), 0.2};
        config.workload.requests = 120;
        config.workload.read_percent = 50;
        config.workload.outstanding = 6;
        config.workload.seed = seed;
        config.clean_requests = 8;
        FaultCampaign campaign(machine, config);
        TraceIfAsked(campaign, kTrace);
        ASSERT_EQ(campaign.devices().size(), 5u) << "the scan did not find every LUN";
        const CampaignResult r = campaign.run();
        SCOPED_TRACE(sim::workload::summary(r));
        EXPECT_GT(r.injected[size_t(FaultKind::QueueFull)], 10u);
        ExpectAllWell(r);
    }
}

// What the target answers to SDTR, over the whole byte range: an answer the
// chip can run and that lies within the offer is kept; one faster or slower
// than the chip runs, or with a larger offset than it keeps or was offered,
// is refused, and both sides run asynchronous. Every data phase is checked
// against the target's own agreement, whatever the driver believes.
class FixedSdtrAnswer : public sim::TargetFaultHooks {
public:
    explicit FixedSdtrAnswer(sim::SyncAgreement answer) : answer_(answer) {}
    std::optional<sim::SyncAgreement> sdtr_answer(sim::Target&, sim::SyncAgreement, sim::SyncAgreement) override
    {
        return answer_;
    }

private:
    sim::SyncAgreement answer_;
};

struct SdtrCase {
    uint8_t period, offset;
    bool synchronous;  // what both sides must end with
};

class SdtrAnswers : public ::testing::TestWithParam<SdtrCase> {};

TEST_P(SdtrAnswers, KeptWhenRunnableRefusedOtherwise)
{
    const SdtrCase& c = GetParam();
    sim::MachineConfig mc = OneAdapter({SeekingDisk(kTagged, true)});
    sim::Machine machine(mc);
    FixedSdtrAnswer hooks({c.period, c.offset});
    machine.bus(0).target(kTagged)->set_fault_hooks(&hooks);
    if (std::getenv("BEHAVIOURS_TRACE"))
        machine.bus(0).set_listener([](const sim::BusEvent& e) { fmt::print("{}\n", sim::to_string(e)); });
    machine.boot(hba::linked_driver());
    const auto devices = sim::workload::scan_machine(machine);
    ASSERT_EQ(devices.size(), 1u) << machine.errors().summary();
    sim::workload::WorkloadConfig w;
    w.requests = 60;
    w.read_percent = 50;
    sim::workload::Runner runner(machine, devices, w);
    const sim::workload::Results results = runner.run();
    machine.bus(0).target(kTagged)->set_fault_hooks(nullptr);

    for (const std::string& p : results.problems())
        ADD_FAILURE() << p;
    EXPECT_TRUE(machine.errors().empty()) << machine.errors().summary();
    EXPECT_EQ(machine.bus(0).timing_mismatches(), 0u);
    EXPECT_EQ(machine.bus(0).target(kTagged)->agreement().synchronous(), c.synchronous);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, SdtrAnswers,
    ::testing::Values(SdtrCase{25, 15, true},    // what was offered
                      SdtrCase{50, 8, true},     // slower, smaller offset
                      SdtrCase{200, 1, true},    // 32 clocks: the slowest the chip runs
                      SdtrCase{25, 0, false},    // offset 0: asynchronous
                      SdtrCase{12, 15, false},   // 2 clocks: faster than the chip runs
                      SdtrCase{0, 8, false},     // no period at all
                      SdtrCase{201, 8, false},   // 33 clocks: slower than its period register holds
                      SdtrCase{255, 15, false},  // slowest of all
                      SdtrCase{25, 16, false},   // offset above the offer and the chip
                      SdtrCase{25, 255, false},  // offset out of all reason
                      SdtrCase{255, 255, false}),
    [](const ::testing::TestParamInfo<SdtrCase>& param) {
        return fmt::format("period_{}_offset_{}", param.param.period, param.param.offset);
    });



sim::AdapterSettings Settings() { return AllFeatures(); }

// A command the target fails with CHECK CONDITION (a unit attention, say),
// once, for the operation code given.
class FailOnce : public sim::TargetFaultHooks {
public:
    explicit FailOnce(uint8_t opcode) : opcode_(opcode) {}
    void command_planned(sim::Target&, sim::PlannedCommand& c) override
    {
        if (done_ || c.cdb[0] != opcode_)
            return;
        done_ = true;
        c.reply = sim::CommandReply{.status = sim::scsi::status::kCheckCondition};
        c.steps.clear();
        c.steps.push_back({sim::Target::Step::Kind::Status});
        c.steps.push_back({sim::Target::Step::Kind::MessageIn, {sim::scsi::msg::kCommandComplete}});
        c.steps.push_back({sim::Target::Step::Kind::Free});
    }

private:
    uint8_t opcode_;
    bool done_ = false;
};

// What an answer from a tagged-capable direct-access device looks like.
void FillStale(sim::PhysicalMemory::Buffer& b)
{
    std::fill(b.data, b.data + b.length, uint8_t{0x20});
    b.data[0] = 0x00;
    b.data[2] = 0x02;
    b.data[3] = 0x02;
    b.data[4] = 31;
    b.data[7] = 0x12;
}

sim::Request& Inquiry(DriverFixture& b, int target, int lun, sim::PhysicalMemory::Buffer& buffer, uint8_t length)
{
    sim::RequestSpec request;
    request.target = uint8_t(target);
    request.lun = uint8_t(lun);
    request.cdb = {0x12, uint8_t(lun << 5), 0, 0, length, 0};
    request.buffer = &buffer;
    request.length = length;
    request.direction = sim::DataDirection::In;
    return b.Submit(request);
}

// A failed INQUIRY's buffer holds nothing the target said: stale bytes in it
// neither switch tagged queuing on nor make the request an overrun.
TEST(FailedInquiry, StaleBufferIsNotInspected)
{
    struct Way {
        const char* what;
        int target;
    };
    for (const Way way : {Way{"selection time-out", 5}, Way{"CHECK CONDITION", kTagged}}) {
        SCOPED_TRACE(way.what);
        DriverFixture b(Settings(), {SeekingDisk(kTagged, true)});
        b.machine().ports().record(false);
        FailOnce fail(0x12);
        b.machine().bus(0).target(kTagged)->set_fault_hooks(&fail);
        auto& buffer = b.machine().memory().allocate(36);
        FillStale(buffer);
        const sim::Request& r = Inquiry(b, way.target, 0, buffer, 36);
        b.port().run_until_idle();
        EXPECT_EQ(r.state, sim::Request::State::Completed);
        EXPECT_NE(r.srb.SrbStatus & 0x3F, SRB_STATUS_SUCCESS);
        EXPECT_NE(r.srb.SrbStatus & 0x3F, SRB_STATUS_DATA_OVERRUN) << "stale bytes taken for an absent LUN";
        EXPECT_EQ(b.lun(way.target).QueueDepth, 1) << "tagged queuing switched on by stale bytes";
        b.machine().bus(0).target(kTagged)->set_fault_hooks(nullptr);
        b.ExpectCleanEnd();
    }
}

// An absent LUN answers peripheral qualifier 3 (0x7F), which the driver
// reports as an overrun of five bytes: nothing is switched on for it, and
// into a buffer shorter than five bytes no more than the buffer is reported.
TEST(AbsentLunInquiry, AnswerReportedAsItArrived)
{
    for (const uint8_t length : {uint8_t{1}, uint8_t{5}, uint8_t{36}}) {
        SCOPED_TRACE(int(length));
        DriverFixture b(Settings(), {SeekingDisk(kTagged, true)});
        b.machine().ports().record(false);
        auto& buffer = b.machine().memory().allocate(length);
        FillStale(buffer);
        const sim::Request& r = Inquiry(b, kTagged, 3, buffer, length);
        b.port().run_until_idle();
        EXPECT_EQ(r.srb.SrbStatus & 0x3F, SRB_STATUS_DATA_OVERRUN);
        EXPECT_EQ(r.srb.DataTransferLength, std::min<uint32_t>(length, 5));
        EXPECT_EQ(buffer.data[0], 0x7F);
        EXPECT_EQ(b.lun(kTagged, 3).QueueDepth, 1);
        b.ExpectCleanEnd();
    }
}

// Commands prepared while the LUN was still untagged, among them REQUEST
// SENSE (never sent with a tag), end after INQUIRY has switched tagged
// queuing on and tagged reads have taken tags: they give back no tag they
// never held, and no tag is ever used twice.
TEST(TagGiveBack, UntaggedCommandsEndingAfterTheLunTurnedTagged)
{
    DriverFixture b(Settings(), {SeekingDisk(kTagged, true)});
    b.machine().ports().record(false);
    if (std::getenv("BEHAVIOURS_TRACE"))
        b.machine().bus(0).set_listener([](const sim::BusEvent& e) { fmt::print("{}\n", sim::to_string(e)); });
    size_t done = 0, good = 0, issued = 0;
    auto count = [&](const sim::Request& r) {
        done++;
        good += (r.srb.SrbStatus & 0x3F) == SRB_STATUS_SUCCESS;
    };
    auto submit = [&](std::vector<uint8_t> cdb, uint32_t length) {
        auto& buffer = b.machine().memory().allocate(length);
        sim::RequestSpec request;
        request.target = kTagged;
        request.cdb = std::move(cdb);
        request.buffer = &buffer;
        request.length = length;
        request.direction = sim::DataDirection::In;
        issued++;
        b.port().submit(0, request, count);
        b.port().pump();
    };
    auto read = [&] {
        const uint32_t lba = uint32_t((issued * 37) % 120) * 16;
        submit({0x28, 0, 0, 0, uint8_t(lba >> 8), uint8_t(lba), 0, 0, 8, 0}, 4096);
    };
    auto sense = [&] { submit({0x03, 0, 0, 0, 18, 0}, 18); };

    // The power-on UNIT ATTENTION goes to a TEST UNIT READY first.
    submit({0x00, 0, 0, 0, 0, 0}, 0);
    b.port().run_until_idle();
    done = good = issued = 0;
    // All prepared before INQUIRY answers: the LUN is untagged still.
    submit({0x12, 0, 0, 0, 36, 0}, 36);
    read();
    sense();
    read();
    sense();
    // Then tagged reads that disconnect for their seeks, a REQUEST SENSE among them now and then.
    while (issued < 120) {
        b.port().run_for(400 * kUs);
        while (issued - done < 6 && issued < 120)
            issued % 7 == 3 ? sense() : read();
    }
    b.port().run_until_idle(10 * sim::kSecond);
    EXPECT_GT(b.lun(kTagged).QueueDepth, 1) << "INQUIRY did not switch tagged queuing on";
    EXPECT_EQ(done, issued);
    EXPECT_EQ(good, issued);
    b.ExpectCleanEnd();
}

}  // namespace
}  // namespace hbatest
