// What the port driver does for a miniport between HwStartIo and the
// requester: BUSY sent again, sense fetched for a CHECK CONDITION, and
// buffers handed out mapped or not as the miniport registered.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>

#include "support/fake_miniport.h"

namespace hbatest {
namespace {

using sim::PortDriver;
using sim::Request;

// A miniport that completes every request at once with what `answer` says,
// and records every CDB it was given.
class Duties : public FakeMachine {
protected:
    struct Answer {
        uint8_t srb_status = SRB_STATUS_SUCCESS;
        uint8_t scsi_status = 0;
    };

    void Boot(bool map_buffers, sim::MachineConfig config = {})
    {
        fake.edit_registration = [map_buffers](HW_INITIALIZATION_DATA& d) { d.MapBuffers = map_buffers; };
        fake.start_io = [this](PVOID ext, PSCSI_REQUEST_BLOCK srb) -> BOOLEAN {
            given.push_back({srb->TargetId, srb->Lun, srb->Cdb[0], machine->clock().now(), srb->SrbFlags});
            if (srb->Cdb[0] == 0x03) {
                std::copy(srb->Cdb, srb->Cdb + 6, sense_cdb.begin());
                sense_timeout = srb->TimeOutValue;
            }
            const Answer a = answer(*srb);
            if (srb->Cdb[0] == 0x03 && a.srb_status == SRB_STATUS_SUCCESS) {
                uint8_t sense[18] = {0x70, 0, 0x06, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x29};
                std::memcpy(srb->DataBuffer, sense, std::min<size_t>(18, srb->DataTransferLength));
            }
            srb->SrbStatus = a.srb_status;
            srb->ScsiStatus = a.scsi_status;
            ScsiPortNotification(RequestComplete, ext, srb);
            ScsiPortNotification(NextRequest, ext);
            return TRUE;
        };
        boot(config);
    }
    Request& Submit(uint8_t target, uint8_t lun = 0, bool sense_wanted = true, uint32_t timeout = 10)
    {
        sim::RequestSpec description;
        description.target = target;
        description.lun = lun;
        description.cdb = {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0};
        description.sense_wanted = sense_wanted;
        description.timeout_seconds = timeout;
        return machine->port_driver().submit(0, description);
    }

    struct Given {
        uint8_t target, lun, opcode;
        sim::Nanoseconds at;
        ULONG flags;
    };
    std::vector<Given> given;
    std::array<uint8_t, 6> sense_cdb{};
    ULONG sense_timeout = 0;
    std::function<Answer(const SCSI_REQUEST_BLOCK&)> answer = [](const SCSI_REQUEST_BLOCK&) { return Answer{}; };
};

// BUSY and QUEUE FULL: the same request goes again at each tick of the port
// driver's one-second timer, 20 times at most, then fails as it came. The
// lenient rule sends it again every 500 us until its time-out has passed.
TEST_F(Duties, BusyIsSentAgainAtTheTimersTickTwentyTimes)
{
    struct Case {
        const char* what;
        Answer busy;
        int busy_answers;
        bool quick;
        uint8_t final_status;
        uint32_t retries;
        sim::Nanoseconds first_gap;
    };
    constexpr sim::Nanoseconds kQuick = 500 * sim::kMicrosecond;
    const Case cases[] = {
        {"SRB status busy", {SRB_STATUS_BUSY, 0}, 3, false, SRB_STATUS_SUCCESS, 3, 0},
        {"SCSI status BUSY", {SRB_STATUS_ERROR, 0x08}, 5, false, SRB_STATUS_SUCCESS, 5, 0},
        {"SCSI status QUEUE FULL", {SRB_STATUS_ERROR, 0x28}, 2, false, SRB_STATUS_SUCCESS, 2, 0},
        {"busy for good", {SRB_STATUS_ERROR, 0x08}, 1000000, false, SRB_STATUS_ERROR, 20, 0},
        // 500 us apart, a one-second time-out allows 2000 retries.
        {"lenient: busy past the time-out", {SRB_STATUS_BUSY, 0}, 1000000, true, SRB_STATUS_BUSY, 2000, kQuick},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        given.clear();
        fake.adapters_to_find = 1;
        int left = c.busy_answers;
        answer = [&](const SCSI_REQUEST_BLOCK&) { return left-- > 0 ? c.busy : Answer{}; };
        sim::MachineConfig config;
        config.port_lenient.quick_busy_retry = c.quick;
        Boot(true, config);
        Request& r = Submit(1, 0, true, 1);
        EXPECT_EQ(machine->port_driver().run_until_idle(100 * sim::kSecond), PortDriver::RunResult::Idle);
        EXPECT_EQ(r.state, Request::State::Completed);
        EXPECT_EQ(r.srb.SrbStatus & 0x3F, c.final_status);
        EXPECT_EQ(r.srb.ScsiStatus, c.final_status == SRB_STATUS_ERROR ? c.busy.scsi_status : 0);
        EXPECT_EQ(r.busy_retries, c.retries);
        ASSERT_EQ(given.size(), c.retries + 1);
        for (size_t i = 1; i < given.size(); i++) {
            if (c.quick)
                EXPECT_EQ(given[i].at - given[i - 1].at, kQuick);
            else
                EXPECT_EQ(given[i].at % sim::kSecond, 0) << "retry " << i << " on the timer's tick";
        }
        EXPECT_EQ(machine->port_driver().completed().size(), 1u);
        EXPECT_TRUE(machine->errors().empty()) << machine->errors().summary();
    }
}

// CHECK CONDITION with sense wanted: the LUN's queue freezes while the port
// driver's own REQUEST SENSE goes past it; the original comes back with the
// sense, SRB_STATUS_AUTOSENSE_VALID and SRB_STATUS_QUEUE_FROZEN, and the LU
// takes nothing more until the class driver releases its queue. Other LUNs
// are not held up. Without sense wanted, nothing is fetched.
TEST_F(Duties, CheckConditionBringsItsSenseBeforeTheLunGoesOn)
{
    answer = [](const SCSI_REQUEST_BLOCK& srb) {
        return srb.TargetId == 1 && srb.Cdb[0] == 0x28 && srb.QueueTag == 0 ? Answer{SRB_STATUS_ERROR, 0x02}
                                                                            : Answer{};
    };
    Boot(true);
    sim::RequestSpec request_spec;
    request_spec.target = 1;
    request_spec.cdb = {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0};
    request_spec.hold_frozen_queue = true;
    request_spec.disable_synch_transfer = true;
    Request& failing = machine->port_driver().submit(0, request_spec);
    // Tell the second request to LUN 1/0 apart from the first: it succeeds.
    Request& next_same_lun = Submit(1);
    next_same_lun.srb.QueueTag = 1;
    Request& other_lun = Submit(2);
    Request& unwanted = Submit(1, 0, false);
    machine->port_driver().run_for(sim::kSecond);

    std::vector<std::pair<uint8_t, uint8_t>> order;
    for (const Given& g : given)
        order.emplace_back(g.target, g.opcode);
    // The REQUEST SENSE comes straight after the failure; the LU then stays
    // frozen, while the request to target 2 goes.
    EXPECT_EQ(order, (std::vector<std::pair<uint8_t, uint8_t>>{{1, 0x28}, {1, 0x03}, {2, 0x28}}));
    // Its own REQUEST SENSE: data in, past the frozen queue, no disconnection,
    // synchronous transfer as the failed request had it; 18 bytes, 2 s, no
    // LUN in the CDB.
    EXPECT_EQ(given[1].flags, ULONG{SRB_FLAGS_DATA_IN | SRB_FLAGS_BYPASS_FROZEN_QUEUE | SRB_FLAGS_DISABLE_DISCONNECT |
                                    SRB_FLAGS_DISABLE_SYNCH_TRANSFER});
    EXPECT_EQ(sense_cdb, (std::array<uint8_t, 6>{0x03, 0, 0, 0, 18, 0}));
    EXPECT_EQ(sense_timeout, 2u);
    EXPECT_EQ(failing.srb.SrbStatus, SRB_STATUS_ERROR | SRB_STATUS_AUTOSENSE_VALID | SRB_STATUS_QUEUE_FROZEN);
    EXPECT_EQ(failing.srb.ScsiStatus, 0x02);
    EXPECT_EQ(failing.sense[2], 0x06);
    EXPECT_EQ(failing.sense[12], 0x29);
    EXPECT_EQ(next_same_lun.state, Request::State::Waiting) << "the frozen LU takes nothing";

    machine->port_driver().release_queue(0, 0, 1, 0);
    EXPECT_EQ(machine->port_driver().run_until_idle(), PortDriver::RunResult::Idle);
    EXPECT_EQ(next_same_lun.srb.SrbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(other_lun.srb.SrbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(unwanted.srb.SrbStatus, SRB_STATUS_ERROR);
    EXPECT_EQ(machine->port_driver().adapter(0).sense_requests, 1u);
    // The requester sees its own requests only, each once.
    EXPECT_EQ(machine->port_driver().completed().size(), 4u);
    EXPECT_TRUE(machine->errors().empty()) << machine->errors().summary();
}

// A miniport that keeps every request it is given, saying NextLuRequest for
// tagged ones when asked to, and ends them all with ScsiPortCompleteRequest
// when the port driver resets the bus.
class Keeper : public FakeMachine {
protected:
    void Boot(sim::MachineConfig config = {})
    {
        fake.start_io = [this](PVOID ext, PSCSI_REQUEST_BLOCK srb) -> BOOLEAN {
            given.push_back(srb->QueueTag);
            if (srb->Function != SRB_FUNCTION_EXECUTE_SCSI) {
                on_control(ext, srb);
            } else if (next_lu && (srb->SrbFlags & SRB_FLAGS_QUEUE_ACTION_ENABLE)) {
                ScsiPortNotification(NextLuRequest, ext, srb->PathId, srb->TargetId, srb->Lun);
                return TRUE;
            }
            ScsiPortNotification(NextRequest, ext);
            return TRUE;
        };
        fake.reset_bus = [](PVOID ext, ULONG path) -> BOOLEAN {
            ScsiPortCompleteRequest(ext, static_cast<UCHAR>(path), 0xFF, 0xFF, SRB_STATUS_BUS_RESET);
            return TRUE;
        };
        boot(config);
    }
    // A request told apart by the mark it carries in QueueTag.
    Request& Submit(uint8_t target, uint8_t mark, bool tagged, uint8_t function = SRB_FUNCTION_EXECUTE_SCSI)
    {
        sim::RequestSpec request_spec;
        request_spec.function = function;
        request_spec.target = target;
        request_spec.cdb = {0x00, 0, 0, 0, 0, 0};
        request_spec.queue_action_enable = tagged;
        request_spec.queue_action = tagged ? SRB_SIMPLE_TAG_REQUEST : 0;
        Request& r = machine->port_driver().submit(0, request_spec);
        r.srb.QueueTag = mark;
        return r;
    }
    std::vector<uint8_t> given;
    bool next_lu = false;
    std::function<void(PVOID, PSCSI_REQUEST_BLOCK)> on_control = [](PVOID, PSCSI_REQUEST_BLOCK) {};
};

// One request per LU: the port driver gives a LU with requests outstanding
// another only after NextLuRequest, and only a tagged one; each LU's requests
// go in the order they came. A bus reset holds every new request back for
// 4 s. The lenient rules send whatever waits, at once.
TEST_F(Keeper, ALuWithRequestsOutstandingTakesMoreOnlyAfterNextLuRequest)
{
    struct Case {
        const char* what;
        bool next_lu;
        sim::PortDriver::Lenient lenient;
        std::vector<uint8_t> at_first, after_reset;
    };
    sim::PortDriver::Lenient any, ignore, no_hold;
    any.any_lu_request = true;
    ignore.ignore_next_lu_request = true;
    no_hold.no_reset_hold = true;
    // Submitted: LU 1 tagged 1, tagged 2, untagged 3, tagged 4; LU 2 tagged 5.
    const Case cases[] = {
        {"NextRequest only", false, {}, {1, 5}, {2}},
        {"NextLuRequest", true, {}, {1, 2, 5}, {3}},
        {"NextLuRequest, lenient: ignored", true, ignore, {1, 5}, {2}},
        {"lenient: any LU request", false, any, {1, 2, 3, 4, 5}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        given.clear();
        fake.adapters_to_find = 1;
        next_lu = c.next_lu;
        sim::MachineConfig config;
        config.port_lenient = c.lenient;
        Boot(config);
        const bool tagged[] = {true, true, false, true};
        std::vector<Request*> requests;
        for (uint8_t i = 0; i < 4; i++)
            requests.push_back(&Submit(1, uint8_t(i + 1), tagged[i]));
        requests.push_back(&Submit(2, 5, true));
        machine->port_driver().run_for(sim::kMillisecond);
        EXPECT_EQ(given, c.at_first);

        given.clear();
        machine->port_driver().reset_bus(0);
        for (uint8_t mark : c.at_first)
            EXPECT_EQ(requests[mark - 1]->srb.SrbStatus, SRB_STATUS_BUS_RESET) << int(mark);
        machine->port_driver().run_for(4 * sim::kSecond - sim::kMillisecond);
        EXPECT_TRUE(given.empty()) << "held for 4 s after the reset";
        machine->port_driver().run_for(2 * sim::kMillisecond);
        EXPECT_EQ(given, c.after_reset);
        EXPECT_TRUE(machine->errors().empty()) << machine->errors().summary();
    }
}

// ScsiPortCompleteRequest ends every active request of what it names, the
// one the calling routine is processing included: a miniport that then
// completes an abort it is carrying out completes it twice.
TEST_F(Keeper, CompleteRequestEndsTheRequestBeingProcessedToo)
{
    for (bool completes_first : {true, false}) {
        SCOPED_TRACE(completes_first ? "completed before the flush" : "completed after the flush");
        fake.adapters_to_find = 1;
        on_control = [completes_first](PVOID ext, PSCSI_REQUEST_BLOCK srb) {
            if (completes_first) {
                srb->SrbStatus = SRB_STATUS_SUCCESS;
                ScsiPortNotification(RequestComplete, ext, srb);
            }
            ScsiPortCompleteRequest(ext, srb->PathId, 0xFF, 0xFF, SRB_STATUS_BUS_RESET);
            if (!completes_first) {
                srb->SrbStatus = SRB_STATUS_SUCCESS;
                ScsiPortNotification(RequestComplete, ext, srb);
            }
        };
        Boot();
        Request& victim = Submit(1, 1, false);
        machine->port_driver().run_for(sim::kMillisecond);
        Request& abort = Submit(1, 2, false, SRB_FUNCTION_ABORT_COMMAND);
        abort.srb.NextSrb = &victim.srb;
        machine->port_driver().run_for(sim::kMillisecond);
        EXPECT_EQ(victim.srb.SrbStatus, SRB_STATUS_BUS_RESET);
        EXPECT_EQ(abort.state, Request::State::Completed);
        EXPECT_TRUE(abort.bulk_completed != completes_first);
        EXPECT_EQ(machine->errors().empty(), completes_first) << machine->errors().summary();
        if (!completes_first) {
            EXPECT_TRUE(error_mentions("already completed"));
        }
    }
}

// A reset the miniport reports (ResetDetected) holds new requests back as the
// port driver's own does.
TEST_F(Keeper, AReportedResetHoldsNewRequestsFourSeconds)
{
    on_control = [](PVOID ext, PSCSI_REQUEST_BLOCK srb) {
        ScsiPortNotification(ResetDetected, ext);
        srb->SrbStatus = SRB_STATUS_SUCCESS;
        ScsiPortNotification(RequestComplete, ext, srb);
    };
    Boot();
    Submit(1, 1, false, SRB_FUNCTION_RESET_BUS);
    machine->port_driver().run_for(sim::kMillisecond);
    Request& next = Submit(1, 2, false);
    machine->port_driver().run_for(4 * sim::kSecond - 2 * sim::kMillisecond);
    EXPECT_EQ(next.state, Request::State::Waiting);
    machine->port_driver().run_for(2 * sim::kMillisecond);
    EXPECT_EQ(next.state, Request::State::Outstanding);
    EXPECT_EQ(given, (std::vector<uint8_t>{1, 2}));
}

// The buffer is open to the DMA engine as far as the SRB's direction flags
// say, whatever the command does: written for DATA_IN, read for DATA_OUT,
// either for both, not at all for neither; every refused access is a model
// error and moves nothing. Flags beyond the two are no direction.
TEST_F(Duties, TheBufferIsOpenToDmaAsTheDirectionFlagsSay)
{
    struct Case {
        const char* what;
        ULONG flags;
        bool write, read;
    };
    const Case cases[] = {
        {"no data transfer", 0, false, false},
        {"data in", SRB_FLAGS_DATA_IN, true, false},
        {"data out", SRB_FLAGS_DATA_OUT, false, true},
        {"either", SRB_FLAGS_DATA_IN | SRB_FLAGS_DATA_OUT, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fake.adapters_to_find = 1;
        Boot(true);
        auto& buffer = machine->memory().allocate(0x200, 0x40);
        buffer.data[0] = 0x5A;
        const uint8_t bytes[4] = {1, 2, 3, 4};
        uint8_t back[4] = {};
        bool wrote = false, read = false;
        fake.start_io = [&](PVOID ext, PSCSI_REQUEST_BLOCK srb) -> BOOLEAN {
            EXPECT_EQ(srb->SrbFlags & (SRB_FLAGS_DATA_IN | SRB_FLAGS_DATA_OUT), c.flags);
            ULONG length = 0;
            const auto physical =
                static_cast<uint32_t>(ScsiPortGetPhysicalAddress(ext, srb, srb->DataBuffer, &length).QuadPart);
            read = machine->memory().dma_read(physical, back, sizeof back);
            wrote = machine->memory().dma_write(physical + 8, bytes, sizeof bytes);
            srb->SrbStatus = SRB_STATUS_SUCCESS;
            ScsiPortNotification(RequestComplete, ext, srb);
            ScsiPortNotification(NextRequest, ext);
            return TRUE;
        };
        sim::RequestSpec description;
        description.cdb = {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0};  // a read, whatever the flags say
        description.direction = sim::DataDirection::In;
        description.direction_flags = c.flags;
        description.buffer = &buffer;
        machine->port_driver().submit(0, description);
        EXPECT_EQ(machine->port_driver().run_until_idle(), PortDriver::RunResult::Idle);
        EXPECT_EQ(wrote, c.write);
        EXPECT_EQ(read, c.read);
        EXPECT_EQ(buffer.data[8], c.write ? 1 : 0);
        EXPECT_EQ(back[0], c.read ? 0x5A : 0);
        const size_t refused = size_t{!c.write} + size_t{!c.read};
        ASSERT_EQ(machine->errors().all().size(), refused) << machine->errors().summary();
        for (const auto& e : machine->errors().all())
            EXPECT_EQ(e.component, "memory");
    }
    sim::RequestSpec odd;
    odd.cdb = {0x00, 0, 0, 0, 0, 0};
    odd.direction_flags = SRB_FLAGS_DISABLE_DISCONNECT;
    EXPECT_THROW(machine->port_driver().submit(0, odd), std::invalid_argument);
}

// MapBuffers FALSE: the address the miniport gets for a buffer serves
// ScsiPortGetPhysicalAddress, and the data lands where the requester put its
// buffer; reading through the address itself is a fault that ends the test.
TEST_F(Duties, AnUnmappedBufferServesPhysicalAddressesOnly)
{
    Boot(false);
    auto& buffer = machine->memory().allocate(0x2000, 0x100, sim::PhysicalMemory::Layout::Scattered);
    uint32_t physical = 0;
    fake.start_io = [&](PVOID ext, PSCSI_REQUEST_BLOCK srb) -> BOOLEAN {
        ULONG length = 0;
        physical = static_cast<uint32_t>(ScsiPortGetPhysicalAddress(ext, srb, srb->DataBuffer, &length).QuadPart);
        EXPECT_NE(srb->DataBuffer, static_cast<PVOID>(buffer.data));
        EXPECT_EQ(length, 0x1000u - 0x100u);
        srb->SrbStatus = SRB_STATUS_SUCCESS;
        ScsiPortNotification(RequestComplete, ext, srb);
        ScsiPortNotification(NextRequest, ext);
        return TRUE;
    };
    sim::RequestSpec description;
    description.cdb = {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0};
    description.direction = sim::DataDirection::In;
    description.buffer = &buffer;
    Request& r = machine->port_driver().submit(0, description);
    machine->port_driver().run_until_idle();
    EXPECT_EQ(physical, machine->memory().translate(buffer.data, buffer.data + 1).physical);
    EXPECT_EQ(r.srb.DataBuffer, static_cast<PVOID>(buffer.data)) << "the requester gets its own address back";
    EXPECT_TRUE(machine->errors().empty()) << machine->errors().summary();
}

TEST_F(Duties, ADriverReadingAnUnmappedBufferFails)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto read_through_it = [this] {
        Boot(false);
        auto& buffer = machine->memory().allocate(36);
        fake.start_io = [](PVOID, PSCSI_REQUEST_BLOCK srb) -> BOOLEAN {
            volatile uint8_t first = *static_cast<volatile uint8_t*>(srb->DataBuffer);
            (void)first;
            return TRUE;
        };
        sim::RequestSpec description;
        description.cdb = {0x12, 0, 0, 0, 36, 0};
        description.direction = sim::DataDirection::In;
        description.buffer = &buffer;
        machine->port_driver().submit(0, description);
        machine->port_driver().pump();
    };
    EXPECT_DEATH(read_through_it(), "");
}

}  // namespace
}  // namespace hbatest
