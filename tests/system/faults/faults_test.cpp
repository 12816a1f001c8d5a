// Hostile devices: for every fault kind, what the driver answers, and that
// afterwards every request has completed exactly once, every block is free,
// every LUN can start again and every byte read back is right.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>

#include <fmt/format.h>

#include "adapter.h"
#include "linked_driver.h"
#include "pc/timeouts.h"
#include "support/campaign.h"
#include "support/driver_internals.h"
#include "support/machines.h"
#include "workload/hostile_input.h"

namespace hbatest {
namespace {

using sim::FaultKind;
using sim::workload::CampaignConfig;
using sim::workload::CampaignResult;
using sim::workload::FaultCampaign;

constexpr uint8_t kTaggedDisk = 0;
constexpr uint8_t kOptical = 4;

sim::MachineConfig Machine(uint64_t seed = 7)
{
    sim::DeviceConfig disk = Disk(kTaggedDisk);
    disk.options.track_seek = 500 * sim::kMicrosecond;  // slow enough to disconnect
    disk.options.full_seek = 5 * sim::kMillisecond;
    disk.options.revolution = 2 * sim::kMillisecond;
    sim::DeviceConfig optical = Optical(kOptical);
    optical.options.track_seek = 1 * sim::kMillisecond;
    optical.options.revolution = 4 * sim::kMillisecond;
    sim::MachineConfig c = OneAdapter({disk, optical});
    c.seed = seed;
    return c;
}

CampaignConfig Small(uint64_t requests = 24)
{
    CampaignConfig c;
    c.rate = 0;
    c.workload.requests = requests;
    c.workload.read_percent = 50;
    c.workload.outstanding = 4;
    c.clean_requests = 16;
    c.end_check = internals::DriverHoldsNothing;
    return c;
}

// FAULTS_TRACE=1 prints the bus trace of every campaign.
constexpr const char* kTrace = "FAULTS_TRACE";

// Successful data requests whose SRB reports less than the workload's 4 KiB.
size_t ShortSuccesses(const sim::Machine& machine)
{
    size_t n = 0;
    for (const sim::Request* q : machine.port_driver().completed())
        if (q->srb.Function == SRB_FUNCTION_EXECUTE_SCSI && q->srb.SrbStatus == SRB_STATUS_SUCCESS &&
            (q->srb.Cdb[0] == 0x28 || q->srb.Cdb[0] == 0x2A) && q->srb.DataTransferLength < 4096)
            n++;
    return n;
}

// Requests the port driver completed with `status`, from the `from`th completion on.
size_t CompletedWith(const sim::Machine& machine, uint8_t status, size_t from)
{
    size_t n = 0;
    const auto& completed = machine.port_driver().completed();
    for (size_t i = from; i < completed.size(); i++)
        if (completed[i]->srb.Function == SRB_FUNCTION_EXECUTE_SCSI && (completed[i]->srb.SrbStatus & 0x3F) == status)
            n++;
    return n;
}

enum class Answer : uint8_t {
    Recovered,   // the request still succeeds (rejected message, data sent again, re-queued, retried)
    Failed,      // the request fails with the status given; nothing else is touched
    Short,       // GOOD after less data: success, with the length that did arrive
    Reset,       // the driver resets the bus itself: requests end with BUS RESET
    TimedOut,    // only the port driver's time-out and its bus reset end it
};

struct Case {
    FaultKind kind;
    uint8_t device;
    Answer answer;
    uint8_t status = SRB_STATUS_SUCCESS;  // for Failed
};

void PrintTo(const Case& c, std::ostream* os) { *os << sim::fault_name(c.kind) << " on ID " << int(c.device); }

class EachFault : public ::testing::TestWithParam<Case> {};

TEST_P(EachFault, DriverAnswersAndLedgerEndsClean)
{
    const Case& c = GetParam();
    sim::Machine machine(Machine());
    machine.port_driver().record_completions();  // the checks below look at every request
    machine.boot(hba::linked_driver());
    FaultCampaign campaign(machine, Small());
    campaign.faults().device(0, c.device).force(c.kind);
    TraceIfAsked(campaign, kTrace);

    const size_t scan_completions = machine.port_driver().completed().size();
    const CampaignResult r = campaign.run();
    SCOPED_TRACE(sim::workload::summary(r));

    EXPECT_EQ(r.injected[static_cast<size_t>(c.kind)], 1u) << "the fault never happened";
    EXPECT_TRUE(r.problems.empty());
    EXPECT_EQ(r.lost(), 0u);
    EXPECT_EQ(r.bytes_miscompared(), 0u);
    EXPECT_EQ(r.faulty.short_transfers, c.answer == Answer::Short ? 1u : 0u);
    switch (c.answer) {
    case Answer::Recovered:
        EXPECT_EQ(CountWithStatus(r.faulty, SRB_STATUS_SUCCESS), r.faulty.requests);
        EXPECT_EQ(r.bus_resets, 0u);
        break;
    case Answer::Failed:
        // Completed once with that status to the requester. A CHECK CONDITION
        // whose sense says nothing (the device saw no error) is sent again by
        // the workload, as a class driver does, and may then succeed.
        EXPECT_EQ(CompletedWith(machine, c.status, scan_completions), 1u);
        EXPECT_GE(CountWithStatus(r.faulty, SRB_STATUS_SUCCESS), r.faulty.requests - 1);
        EXPECT_EQ(r.bus_resets, 0u);
        break;
    case Answer::Short:
        EXPECT_EQ(CountWithStatus(r.faulty, SRB_STATUS_SUCCESS), r.faulty.requests);
        EXPECT_EQ(ShortSuccesses(machine), 1u);
        EXPECT_EQ(r.bus_resets, 0u);
        break;
    // The requests a reset ends are sent again by the class driver, and succeed.
    case Answer::Reset:
        EXPECT_GE(r.faulty.resent_after_reset, 1u);
        EXPECT_EQ(CountWithStatus(r.faulty, SRB_STATUS_SUCCESS), r.faulty.requests);
        EXPECT_EQ(r.bus_resets, 1u);
        EXPECT_EQ(r.time_outs, 0u);
        break;
    case Answer::TimedOut:
        EXPECT_GE(r.faulty.resent_after_reset, 1u);
        EXPECT_EQ(CountWithStatus(r.faulty, SRB_STATUS_SUCCESS), r.faulty.requests);
        EXPECT_GE(r.time_outs, 1u);
        EXPECT_EQ(r.bus_resets, 1u);
        break;
    }
    if (c.answer != Answer::TimedOut) {
        EXPECT_EQ(r.time_outs, 0u);
    }
    // The event-log entry the kind table gives the fault: the errors the
    // driver recovers from by itself are reported to the administrator, once
    // each; the others leave nothing.
    std::map<uint32_t, uint64_t> logged;
    if (const uint32_t code = sim::workload::expected_log_code(c.kind))
        logged[code] = 1;
    EXPECT_EQ(r.logged, logged);
}

std::vector<Case> FaultCases()
{
    return {
        Case{FaultKind::ParityError, kTaggedDisk, Answer::Recovered},
        Case{FaultKind::UnknownMessage, kTaggedDisk, Answer::Recovered},
        Case{FaultKind::TwoByteMessage, kTaggedDisk, Answer::Recovered},
        Case{FaultKind::ExtendedMessage, kTaggedDisk, Answer::Recovered},
        Case{FaultKind::UnsolicitedSdtr, kTaggedDisk, Answer::Recovered},
        Case{FaultKind::StrayMessageReject, kTaggedDisk, Answer::Recovered},
        Case{FaultKind::StatusBeforeData, kTaggedDisk, Answer::Short},
        Case{FaultKind::MessageOutRequest, kTaggedDisk, Answer::Failed, SRB_STATUS_ERROR},
        Case{FaultKind::MessageOutRequest, kOptical, Answer::Failed, SRB_STATUS_ERROR},
        Case{FaultKind::LongDataPhase, kTaggedDisk, Answer::Failed, SRB_STATUS_ERROR},
        Case{FaultKind::ShortDataPhase, kTaggedDisk, Answer::Short},
        Case{FaultKind::QueueFull, kTaggedDisk, Answer::Recovered},
        Case{FaultKind::QueueFull, kOptical, Answer::Recovered},
        Case{FaultKind::Busy, kTaggedDisk, Answer::Recovered},
        Case{FaultKind::NeverReturns, kTaggedDisk, Answer::TimedOut},
        Case{FaultKind::HangInPhase, kTaggedDisk, Answer::TimedOut},
        Case{FaultKind::HangInPhase, kOptical, Answer::TimedOut},
        Case{FaultKind::BogusTag, kTaggedDisk, Answer::Recovered},
        Case{FaultKind::MissingTag, kTaggedDisk, Answer::Reset},
        Case{FaultKind::ReselectionNoTargetBit, kTaggedDisk, Answer::Reset},
        Case{FaultKind::ReselectionSeveralTargetBits, kTaggedDisk, Answer::Reset},
        Case{FaultKind::SelectionTimeout, kTaggedDisk, Answer::Failed, SRB_STATUS_SELECTION_TIMEOUT},
        Case{FaultKind::GhostReselection, kTaggedDisk, Answer::Reset},
        Case{FaultKind::ForeignBusReset, kTaggedDisk, Answer::Reset},
        Case{FaultKind::ForeignInterrupt, kTaggedDisk, Answer::Recovered},
        Case{FaultKind::SecondCommandPhase, kTaggedDisk, Answer::Reset},
        Case{FaultKind::SecondCommandPhase, kOptical, Answer::Reset},
    };
}

// Every fault of the kind table has its case above, so that what the driver
// answers and logs for it is known (the table's log codes among it).
TEST(EachFaultCases, CoverEveryFaultOfTheKindTable)
{
    std::set<FaultKind> covered;
    for (const Case& c : FaultCases())
        covered.insert(c.kind);
    for (const sim::FaultKindRow& row : sim::kFaultKindTable) {
        if (row.conduct == sim::Conduct::Fault) {
            EXPECT_TRUE(covered.contains(row.kind)) << row.name << " has no case";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, EachFault, ::testing::ValuesIn(FaultCases()),
    [](const ::testing::TestParamInfo<Case>& param) {
        std::string name{sim::fault_name(param.param.kind)};
        std::erase(name, '-');
        return name + "_on_" + std::to_string(param.param.device);
    });


// A full queue answers a tagged command QUEUE FULL and an untagged one BUSY:
// QUEUE FULL is the answer to a queue tag.
TEST(QueueFull, OnlyATaggedCommandIsAnsweredQueueFull)
{
    for (const uint8_t device : {kTaggedDisk, kOptical}) {
        SCOPED_TRACE(int(device));
        sim::Machine machine(Machine());
        machine.boot(hba::linked_driver());
        FaultCampaign campaign(machine, Small());
        campaign.faults().device(0, device).force(FaultKind::QueueFull);
        std::map<uint8_t, std::optional<uint8_t>> connected;  // target -> tag of the command it just took
        std::map<std::pair<uint8_t, bool>, int> answers;     // (status, tagged) -> how often
        campaign.set_bus_observer([&](size_t, const sim::BusEvent& e) {
            if (e.note == sim::BusNote::CommandBegins)
                connected[e.target] = e.tag;
            else if (e.kind == sim::BusEvent::Kind::BusFree)
                connected.clear();
            else if (e.kind == sim::BusEvent::Kind::Status && connected.contains(e.target) &&
                     (e.byte == 0x28 || e.byte == 0x08))
                answers[{e.byte, connected[e.target].has_value()}]++;
        });
        const CampaignResult r = campaign.run();
        SCOPED_TRACE(sim::workload::summary(r));
        EXPECT_TRUE(r.sound());
        const bool tagged = device == kTaggedDisk;
        EXPECT_EQ(answers, (std::map<std::pair<uint8_t, bool>, int>{{{tagged ? 0x28 : 0x08, tagged}, 1}}));
    }
}

std::vector<uint64_t> Seeds()
{
    if (const char* one = std::getenv("FAULTS_SEED"))
        return {std::strtoull(one, nullptr, 10)};
    return {1, 2, 3, 4, 5, 6, 7, 8};
}

// Every kind at random, many seeds: whatever mix of faults, nothing is lost,
// the ledger ends clean and the devices work again afterwards.
TEST(RandomFaults, ManySeedsEndSound)
{
    for (uint64_t seed : Seeds()) {
        SCOPED_TRACE(seed);
        sim::Machine machine(Machine(seed));
        machine.boot(hba::linked_driver());
        CampaignConfig config = Small(150);
        config.rate = 0.08;
        config.kinds = sim::all_faults();
        config.workload.seed = seed;
        FaultCampaign campaign(machine, config);
        TraceIfAsked(campaign, kTrace);
        const CampaignResult r = campaign.run();
        SCOPED_TRACE(sim::workload::summary(r));
        EXPECT_GT(campaign.faults().injected(), 5u);
        EXPECT_TRUE(r.sound());
    }
}


// The port driver's timer: one counter per LU, from its oldest request,
// ticked once a second; due LUs reset their adapter once however many are
// due; completed requests never time out; requests still outstanding a whole
// time-out after their reset were lost.
TEST(RequestTimeouts, PerLuFromTheOldestRequestThenReportLoss)
{
    using Lu = sim::RequestTimeouts::Lu;
    sim::Clock clock;
    sim::RequestTimeouts t(clock);
    const Lu a{0, 0, 0, 0}, b{0, 0, 1, 0}, c{1, 0, 0, 0}, d{1, 0, 2, 0};
    t.started(1, a, 2);
    t.started(2, a, 2);
    t.started(3, b, 2);
    t.started(4, c, 2);
    t.started(5, d, 2);
    clock.advance(sim::kSecond / 2);
    t.started(6, d, 2);
    clock.advance(sim::kSecond / 2);
    t.finished(4);
    clock.advance(sim::kSecond + sim::kSecond / 2);
    t.finished(5);  // D counts again from 6, from now: not due at 3 s
    clock.advance(sim::kSecond / 2);
    ASSERT_TRUE(t.due()) << "2 s counters run out at the third tick";
    const auto due = t.take_due();
    ASSERT_EQ(due.size(), 1u);
    EXPECT_EQ(due[0].adapter, 0u);
    EXPECT_EQ(t.time_outs(), 2u) << "LUs A and B";
    EXPECT_EQ(t.time_outs(1), 0u);
    EXPECT_TRUE(t.take_lost().empty());

    clock.advance(2 * sim::kSecond);
    const auto later = t.take_due();
    ASSERT_EQ(later.size(), 1u);
    EXPECT_EQ(later[0].adapter, 1u) << "request 6 times out two ticks after request 5 ended";

    t.finished(1);
    t.finished(3);
    t.finished(6);
    clock.advance(3 * sim::kSecond);
    EXPECT_TRUE(t.take_due().empty());
    EXPECT_EQ(t.take_lost(), std::vector<uint64_t>{2});
    clock.advance(10 * sim::kSecond);
    EXPECT_TRUE(t.take_lost().empty()) << "a loss is reported once";
    EXPECT_TRUE(clock.idle()) << "the timer stops when nothing is outstanding";
}

// A reset wait that ran to its bound leaves ResetPending set, so the next
// reset interrupt flushes nothing. A recovery reset must still end every
// outstanding request at once, not leave them to the port driver's time-out.
TEST(Recovery, FlushesEvenWhenAnEarlierResetWaitTimedOut)
{
    sim::MachineConfig config = Machine();
    sim::Machine machine(config);
    machine.boot(hba::linked_driver());
    FaultCampaign campaign(machine, Small());
    machine.port_driver().reset_bus(0);
    machine.port_driver().run_for(1 * sim::kMillisecond);
    ASSERT_EQ(internals::Extension(machine, 0)->ResetPending, 1) << "the wait did not time out";
    // The port driver's reset is logged; the bus came back (the chip held the
    // reset's interrupt when the wait gave up), which is not.
    const auto& log = machine.port_driver().event_log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].code, uint32_t{SP_REQUEST_TIMEOUT});

    campaign.faults().device(0, kTaggedDisk).force(FaultKind::GhostReselection);
    const CampaignResult r = campaign.run();
    SCOPED_TRACE(sim::workload::summary(r));
    EXPECT_EQ(r.injected[size_t(FaultKind::GhostReselection)], 1u);
    EXPECT_TRUE(r.sound());
    EXPECT_GE(r.faulty.resent_after_reset, 1u);
    EXPECT_EQ(r.time_outs, 0u);
}


// A reset from another initiator at every moment of a command's life, down to
// the microseconds between the driver reading the phase and its next command:
// every request ends once, the ledger is clean, and the disk works right after.
TEST(ForeignReset, AtEveryMoment)
{
    for (uint8_t delay = 0; delay < 250; delay += 7) {
        SCOPED_TRACE(delay);
        sim::Machine machine(Machine());
        machine.boot(hba::linked_driver());
        const uint8_t when[] = {delay};
        sim::ByteChoices choices(when);
        FaultCampaign campaign(machine, Small(8), &choices);
        TraceIfAsked(campaign, kTrace);
        campaign.faults().device(0, kTaggedDisk).force(FaultKind::ForeignBusReset);
        const CampaignResult r = campaign.run();
        SCOPED_TRACE(sim::workload::summary(r));
        EXPECT_EQ(r.injected[size_t(FaultKind::ForeignBusReset)], 1u);
        EXPECT_TRUE(r.sound());
    }
}


// Inputs the fuzzer found, replayed. Each broke the driver or the machine once.
TEST(FuzzFindings, StaySound)
{
    const std::vector<std::vector<uint8_t>> findings = {
        // A reset from elsewhere between the driver reading the phase and
        // accepting the message: blamed on the driver, and the selection it
        // wrote right after survived the reset's flush.
        {0x0a, 0x15, 0x1c, 0x23, 0x2a, 0x31, 0x38, 0x3f, 0x46, 0x4d, 0x54, 0x5b, 0x62, 0x69, 0x70, 0x77, 0x7e, 0x85, 0x8c, 0x9a, 0x93, 0xa1, 0xa8, 0xaf, 0xb6, 0xbd, 0xc4, 0xcb, 0xd2, 0xd9, 0xe0, 0xe7, 0xee, 0xf5, 0xfc, 0x03, 0x0a, 0x11, 0x18, 0x1f, 0x26, 0x2d, 0x34, 0x3b, 0x42, 0x49, 0x50, 0x57, 0x5e, 0x65, 0x6c, 0x73, 0x7a, 0x81, 0x88, 0x8f, 0x96, 0x9d, 0xa4, 0x7c, 0x0a},
        // Ghost reselections still waiting when the faults stopped came in
        // during the clean phase and reset the bus under its requests.
        {0x8b, 0x36, 0x36, 0x36, 0x36, 0x36, 0x36, 0x36, 0x36, 0x36, 0x36, 0x36, 0x36, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x34, 0x39, 0x32, 0x38, 0x32, 0x39, 0x36, 0x36, 0x36, 0x36, 0x36, 0x30, 0x34, 0x39, 0x32, 0x38, 0x32, 0x39, 0x36, 0x36, 0x36, 0x36, 0x36, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x38, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x38, 0x30, 0x30, 0x37, 0x30, 0x30, 0x30, 0x30, 0x33, 0x34, 0x31, 0x32, 0x32, 0x32, 0x37, 0x34, 0x30, 0xbd, 0xbd, 0xbd, 0xbd, 0xc5, 0xbd, 0xbd, 0xbd, 0xbd, 0xbd, 0xbd, 0xbd, 0xe2, 0xb9},
        // A queue tag naming no command, from a target whose command had
        // disconnected before any data: the bus free after the rejected tag
        // ended the command taken provisionally for the reconnection, while
        // the target still held it; its data later went to another request.
        {0x00, 0x00, 0x2a, 0x30, 0x5f, 0x5f, 0x63, 0x5f, 0x5f, 0x63, 0x78, 0x78, 0x29, 0xd9, 0x5f, 0x78, 0x78, 0x29, 0x5f, 0x5f},
        // The same refused tag after QUEUE FULL had lowered the LUN's depth
        // to 1 under a tagged command: the reconnection was taken as untagged,
        // connecting the head of the queue at once.
        // A data phase sent again after INITIATOR DETECTED ERROR for a request
        // that had already overrun: the driver drains it and fails the request.
        // The transfer audit first took the drained bytes for lost data; a
        // request with such a hole may fail, only its success would be wrong.
        {0x00, 0x00, 0x2a, 0x30, 0x5f, 0x5f, 0x63, 0x5f, 0x53, 0x74, 0x35, 0x63, 0x02, 0x1e, 0x3c, 0x07, 0x00, 0x0a, 0x01, 0x3e, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x15, 0x0e, 0x15, 0x1c, 0x23, 0x31, 0x2a, 0x38, 0x3f, 0x46, 0x4d, 0x54, 0x5b, 0x62, 0x69, 0x70, 0x77, 0x7e, 0x7a, 0x7a, 0x93, 0x9a, 0xa1, 0x7a, 0x7a, 0x7a, 0x7a, 0x74, 0x79, 0x70, 0x65, 0x49, 0x63, 0x45, 0x5f},
        // The same drained resend with several tagged commands outstanding on
        // the LUN: the drained bytes belong to the command whose data the
        // target sends, not to every command of the LUN (the audit's own
        // mistake, kept so that it stays mended).
        {0x01, 0x0a, 0x32, 0x04, 0x2f, 0x2f, 0x2f, 0x2f, 0x2f, 0x2f, 0x2f, 0x2f, 0x2f, 0x2f, 0x2f, 0x2f, 0x2f, 0x2f, 0x2f, 0x2f, 0x2f, 0x2f, 0x2f, 0x2f, 0x2f, 0x2f, 0x2f, 0x2f, 0x2f, 0x93, 0x65, 0x49, 0x63, 0x45, 0x5f, 0x74, 0x30, 0x14, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x63, 0x99, 0x9c, 0x9f, 0xa2, 0xa5, 0xa8, 0xab, 0xae, 0xb1, 0xb4, 0xb7, 0xba, 0xbd, 0xc0, 0xc3, 0xc6, 0xc9, 0xcc, 0xcf, 0xd2, 0xd5, 0xd8, 0xdb, 0xde, 0xe1, 0xe4, 0xe7, 0xea, 0xed, 0xf0, 0xf3, 0xff},
        {0x3b, 0x3b, 0x3b, 0x3b, 0x3b, 0x3b, 0x3b, 0x3b, 0x3b, 0x3b, 0x3b, 0x3b, 0x3b, 0x3b, 0x3b, 0x52, 0x52, 0x52, 0x52, 0x52, 0x52, 0x52, 0x52, 0x52, 0x52, 0x52, 0x52, 0x52, 0x52, 0x52, 0x52, 0x52, 0x52, 0x52, 0x52, 0x52, 0x52, 0x52, 0x52, 0x52, 0x52, 0x52, 0x52, 0x52, 0x52, 0x52, 0x52, 0x52, 0x52, 0x52, 0x52, 0x52, 0x52, 0x52, 0x52, 0x52, 0x52, 0x52, 0x52, 0x52, 0x52, 0x52, 0x52, 0x52, 0x52, 0x52, 0x52, 0x52, 0x52, 0x52, 0x52, 0x52, 0x52, 0x52, 0x62, 0x2f, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0xc4, 0xfa, 0x1e, 0x04, 0xff, 0x10, 0x2d, 0x09, 0x01, 0x21, 0x5a, 0x24, 0x2d, 0x01, 0x01, 0x3c, 0x78, 0x03, 0x10, 0x2d, 0x09, 0x1b, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x5b, 0x00, 0x5a, 0x24, 0x29, 0x2d, 0x7d, 0xa5, 0x29, 0x2d, 0xa5, 0x11, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x4c, 0x00, 0x00, 0x01, 0x3d, 0x19, 0x03, 0x02, 0x00, 0x00},
        {0x02, 0x2d, 0x01, 0x10, 0x09, 0x2d, 0x01, 0x00, 0x5a, 0x24, 0x29, 0x2d, 0xa5, 0x13, 0x99, 0x00, 0x2d, 0x62, 0x2f, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0xfa, 0xff, 0x2d, 0x01, 0x01, 0x3c, 0x78, 0x03, 0x10, 0x2d, 0x09, 0x01, 0x00, 0x5a, 0x24, 0x29, 0x2d, 0xa5, 0x11, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x4c, 0x00, 0x00, 0x01, 0x3d, 0x19, 0x02, 0xff, 0x00, 0x00},
        // Eight commands that never return or hang in a phase: the port
        // driver recovers them one LU time-out and 4 s reset hold after
        // another, more than 30 s in all, and the workload took the requests
        // still waiting behind them for lost.
        {0x04, 0x32, 0x32, 0x02, 0x01, 0x14, 0x03, 0x00, 0x30, 0x18, 0xff, 0xff, 0xff, 0xff, 0x02, 0x2d, 0x01, 0x10, 0x09, 0x2d, 0x01, 0x00, 0x5a, 0x24, 0x29, 0x2d, 0x67, 0x00, 0x99, 0x00, 0x2d, 0x62, 0x49, 0x66, 0x83, 0xa0, 0xbd, 0x2d, 0xa5, 0x11, 0x7a, 0x00, 0x00, 0x00, 0x00, 0x01, 0x4c, 0x00, 0x00, 0x01, 0x3d, 0x19, 0x02, 0x92, 0xff},
        // Legal BUSY answers only, more than twenty in a row for one request:
        // the port driver fails it after its twentieth retry, as a real one
        // does. That is no failure of the driver's.
        {0x5a, 0xff, 0x27, 0xff, 0xff, 0xff, 0x00, 0x00, 0x08, 0x00, 0xdf, 0xff, 0xff, 0x0b, 0x62, 0x2f, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0d, 0x00, 0x5a, 0xff, 0x9f, 0xff, 0xff, 0xff, 0x00, 0x00, 0x08, 0x00, 0xdf, 0xff, 0xff, 0x0b, 0x62, 0x2f, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x09, 0x1e, 0x5a, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x00, 0x5a, 0xff, 0xff, 0xff, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0xff, 0xaf, 0x02, 0x2c, 0x01, 0x00, 0x00, 0xc9, 0xfd},
        // A write whose target took more data than the buffer held and
        // answered GOOD (the driver fails it CHECK CONDITION, with no sense
        // from the target), sent again and then met a selection time-out:
        // its blocks were taken for unchanged, though the first sending had
        // written them.
        {0x09, 0x1e, 0x5a, 0x05, 0x49, 0x02, 0x1e, 0x04, 0xff, 0x26, 0xff, 0xbf, 0x3f, 0x7e, 0x0b, 0x3c, 0x32, 0xff, 0xff, 0x5f, 0x20, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x21, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0xff, 0xff, 0x5f, 0x20, 0x00, 0x0a, 0xca, 0xb7, 0x6d, 0x36, 0x54, 0x61, 0x72, 0x67, 0x65, 0x74, 0x4e, 0x33, 0x73, 0x69, 0x6d, 0x36, 0x54, 0x61, 0x72, 0x67, 0x65, 0x74, 0x45, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x64, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x01, 0x00, 0x00, 0x08, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x7b, 0x91, 0x00, 0x7b, 0x00, 0x7b, 0x7b, 0x10, 0x03, 0x15, 0x8e, 0xff, 0x3f, 0x6c, 0x09, 0x5a, 0x1e, 0xc9, 0xfd},
        // Commands that never return beside BUSY answers: a time-out, the
        // reset hold and twenty BUSY retries passed with no completion, more
        // than the workload's 30 s of patience then.
        {0x01, 0x3c, 0x78, 0x03, 0x01, 0x28, 0x02, 0xff, 0xff, 0x1f, 0x28, 0x0a, 0x32, 0x04, 0x03, 0x07, 0x00, 0x03, 0x06, 0x09, 0x0c, 0x0f, 0x12, 0x15, 0x18, 0x66, 0x63, 0x69, 0x6c, 0x6f, 0x09, 0x00, 0x24, 0x75, 0x78, 0x7b, 0x7e, 0x84, 0x87, 0x8a, 0x8d, 0x90, 0x93, 0x49, 0x49, 0x49, 0x49, 0xc9, 0x4b, 0x4e, 0x51, 0x54, 0x57, 0x49, 0x49, 0x49, 0x49, 0x49, 0x49, 0x49, 0x4b, 0x04, 0x32, 0x32, 0x02, 0x02, 0x2d, 0x01, 0x14, 0x03, 0x49, 0x01, 0x10, 0x09, 0x32, 0x02, 0x00, 0x08, 0x00, 0x1d, 0x3a, 0x57, 0x92, 0xaf, 0x01, 0x10, 0x09, 0x33, 0x02, 0x00, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x49, 0x49, 0x49, 0x00, 0x49, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0xf3, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x05, 0x00, 0x1d, 0x3a, 0x57, 0x92, 0xaf, 0x04, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x13, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x49, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x3f, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0xff, 0x27, 0xff, 0xff, 0xff, 0x00, 0x00, 0x08, 0x00, 0xdd, 0xff, 0x0b, 0x62, 0x2f, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0d, 0x00, 0x5a, 0xff, 0x9f, 0xff, 0xff, 0xff, 0x00, 0x00, 0x08, 0x00, 0xdf, 0xff},
        // A refused write whose target cut its data phase to nothing, then
        // stored what it had and answered GOOD: the blocks were taken for
        // unchanged, though a faulty target had written them.
        {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xdf, 0xff, 0xff, 0xff, 0x29, 0x17, 0x5a, 0x00, 0x2a, 0x35, 0x5f, 0x27, 0x63, 0x5f, 0x78, 0x63, 0x2a, 0x78, 0x78, 0x63, 0x78, 0x78, 0x13, 0x78, 0x13, 0x63, 0x5f, 0x78, 0x63, 0x78, 0x78, 0x78, 0x63, 0x63, 0x5f, 0x78, 0x63, 0x78, 0x78, 0x78, 0x63, 0x78, 0x78, 0x00, 0x00, 0x00, 0x5e, 0x00, 0x2a, 0x39, 0x09, 0x00, 0x17, 0x00, 0x2a, 0x35, 0x5f, 0x27, 0x63, 0x5f, 0x78, 0x63, 0x2a, 0x78, 0x78, 0x63, 0x78, 0x78, 0x13, 0x63, 0x5f, 0x78, 0x63, 0x78, 0x78, 0x78, 0x63, 0x78, 0x78, 0x00, 0x00, 0x00, 0x00, 0x2a, 0x5e, 0x39, 0x09, 0x00, 0x5f, 0x63, 0x5f, 0x18, 0x78, 0x29, 0x5f, 0x5f, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x7f, 0xa9, 0x21, 0x00, 0x50, 0x61, 0x00, 0x00, 0x00, 0x63, 0x00, 0x78, 0x78, 0x29, 0xd9, 0x5f, 0x5f, 0x78, 0x09, 0x00, 0x78, 0x29, 0xd9, 0x5f, 0x5f, 0x5f, 0x63, 0x5f, 0x18, 0x78, 0x29, 0x5f, 0x5f, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x7f, 0xa9, 0x21, 0x00, 0x50, 0x61, 0x00, 0x00, 0x00, 0x00, 0x63, 0x78, 0x78, 0x29, 0xd9, 0x5f, 0x5f, 0x53, 0x74, 0x35, 0x63, 0x22, 0x79, 0x70, 0x65, 0x49, 0x63, 0x45, 0x78, 0x09, 0x00, 0x78, 0x29, 0xd9, 0x5f, 0x5f, 0x40, 0x78, 0x09, 0x00, 0x78, 0x00, 0x5f, 0x5f, 0xa4},
    };
    for (const auto& input : findings) {
        std::function<void(size_t, const sim::BusEvent&)> trace;
        if (std::getenv("FAULTS_TRACE"))
            trace = [](size_t, const sim::BusEvent& e) { fmt::print("{}\n", sim::to_string(e)); };
        const sim::workload::HostileRun run = sim::workload::run_hostile_input(input, hba::linked_driver(), internals::DriverHoldsNothing, trace);
        EXPECT_TRUE(run.sound()) << sim::workload::summary(run.result);
    }
}


// Every message the driver does not take, right after the command phase and
// just before status: refused with MESSAGE REJECT, the command goes on and
// succeeds. The extended ones are counted by their length byte (WDTR has 2,
// MODIFY DATA POINTER 5), so no byte of theirs is taken for a new message.
TEST(RefusedMessages, WhereverTheyCome)
{
    struct Message {
        const char* what;
        FaultKind kind;
        std::vector<uint8_t> choices;  // the device's picks, in the order it makes them
    };
    const Message cases[] = {
        {"unknown single byte, first", FaultKind::UnknownMessage, {3, 0}},
        {"unknown single byte, before status", FaultKind::UnknownMessage, {9, 1}},
        {"two-byte, first", FaultKind::TwoByteMessage, {0, 0x55, 0}},
        {"two-byte, before status", FaultKind::TwoByteMessage, {12, 0x01, 1}},
        {"WDTR, first", FaultKind::ExtendedMessage, {1, 0}},
        {"WDTR, before status", FaultKind::ExtendedMessage, {1, 1}},
        {"MODIFY DATA POINTER, first", FaultKind::ExtendedMessage, {0, 0}},
        {"MODIFY DATA POINTER, before status", FaultKind::ExtendedMessage, {0, 1}},
        {"SDTR from the target, first", FaultKind::UnsolicitedSdtr, {7, 0}},
        {"SDTR from the target, before status", FaultKind::UnsolicitedSdtr, {14, 1}},
        {"MESSAGE REJECT of nothing, before status", FaultKind::StrayMessageReject, {1}},
    };
    for (const Message& c : cases) {
        SCOPED_TRACE(c.what);
        sim::Machine machine(Machine());
        machine.boot(hba::linked_driver());
        sim::ByteChoices choices(c.choices);
        FaultCampaign campaign(machine, Small(12), &choices);
        campaign.faults().device(0, kTaggedDisk).force(c.kind);
        const CampaignResult r = campaign.run();
        SCOPED_TRACE(sim::workload::summary(r));
        EXPECT_EQ(r.injected[size_t(c.kind)], 1u);
        EXPECT_TRUE(r.sound());
        EXPECT_EQ(CountWithStatus(r.faulty, SRB_STATUS_SUCCESS), r.faulty.requests);
        EXPECT_EQ(r.bus_resets, 0u);
        EXPECT_TRUE(choices.exhausted()) << "the device made other choices than the case lists";
    }
}

}  // namespace
}  // namespace hbatest
