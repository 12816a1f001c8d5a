// What the port driver does for a miniport between HwStartIo and the
// requester: BUSY sent again, sense fetched for a CHECK CONDITION, and
// buffers handed out mapped or not as the miniport registered.
#include <gtest/gtest.h>

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

    void Boot(bool map_buffers)
    {
        fake.edit_registration = [map_buffers](HW_INITIALIZATION_DATA& d) { d.MapBuffers = map_buffers; };
        fake.start_io = [this](PVOID ext, PSCSI_REQUEST_BLOCK srb) -> BOOLEAN {
            given.push_back({srb->TargetId, srb->Lun, srb->Cdb[0], machine->clock().now(), srb->SrbFlags});
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
        boot();
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
    std::function<Answer(const SCSI_REQUEST_BLOCK&)> answer = [](const SCSI_REQUEST_BLOCK&) { return Answer{}; };
};

TEST_F(Duties, BusyIsSentAgainAfterADelayUntilItGoesThroughOrTimesOut)
{
    struct Case {
        const char* what;
        Answer busy;
        int busy_answers;
        uint32_t timeout;
        uint8_t final_status;
        uint32_t retries;
    };
    const Case cases[] = {
        {"SRB status busy", {SRB_STATUS_BUSY, 0}, 3, 10, SRB_STATUS_SUCCESS, 3},
        {"SCSI status BUSY", {SRB_STATUS_ERROR, 0x08}, 5, 10, SRB_STATUS_SUCCESS, 5},
        // 500 us apart, a one-second time-out allows 2000 retries.
        {"busy past the time-out", {SRB_STATUS_BUSY, 0}, 1000000, 1, SRB_STATUS_BUSY, 2000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        given.clear();
        fake.adapters_to_find = 1;
        int left = c.busy_answers;
        answer = [&](const SCSI_REQUEST_BLOCK&) { return left-- > 0 ? c.busy : Answer{}; };
        Boot(true);
        Request& r = Submit(1, 0, true, c.timeout);
        EXPECT_EQ(machine->port_driver().run_until_idle(), PortDriver::RunResult::Idle);
        EXPECT_EQ(r.state, Request::State::Completed);
        EXPECT_EQ(r.srb.SrbStatus & 0x3F, c.final_status);
        EXPECT_EQ(r.busy_retries, c.retries);
        ASSERT_EQ(given.size(), c.retries + 1);
        EXPECT_EQ(given[1].at - given[0].at, 500 * sim::kMicrosecond);
        EXPECT_EQ(machine->port_driver().completed().size(), 1u);
        EXPECT_TRUE(machine->errors().empty()) << machine->errors().summary();
    }
}

// CHECK CONDITION with sense wanted: the LUN waits while the port driver's
// own REQUEST SENSE goes first; the original comes back with the sense and
// SRB_STATUS_AUTOSENSE_VALID. Other LUNs are not held up. Without sense
// wanted, nothing is fetched.
TEST_F(Duties, CheckConditionBringsItsSenseBeforeTheLunGoesOn)
{
    answer = [](const SCSI_REQUEST_BLOCK& srb) {
        return srb.TargetId == 1 && srb.Cdb[0] == 0x28 && srb.QueueTag == 0 ? Answer{SRB_STATUS_ERROR, 0x02}
                                                                            : Answer{};
    };
    Boot(true);
    Request& failing = Submit(1);
    // Tell the second request to LUN 1/0 apart from the first: it succeeds.
    Request& next_same_lun = Submit(1);
    next_same_lun.srb.QueueTag = 1;
    Request& other_lun = Submit(2);
    Request& unwanted = Submit(1, 0, false);
    EXPECT_EQ(machine->port_driver().run_until_idle(), PortDriver::RunResult::Idle);

    std::vector<std::pair<uint8_t, uint8_t>> order;
    for (const Given& g : given)
        order.emplace_back(g.target, g.opcode);
    // The REQUEST SENSE comes straight after the failure, ahead of the next
    // request to that LUN; the request to target 2 was waiting behind it.
    EXPECT_EQ(order, (std::vector<std::pair<uint8_t, uint8_t>>{{1, 0x28}, {1, 0x03}, {1, 0x28}, {2, 0x28}, {1, 0x28}}));
    // Its own REQUEST SENSE: data in, no sense of its own, no disconnection;
    // synchronous transfer as the failed request had it.
    EXPECT_EQ(given[1].flags, ULONG{SRB_FLAGS_DATA_IN | SRB_FLAGS_DISABLE_AUTOSENSE | SRB_FLAGS_DISABLE_DISCONNECT});
    EXPECT_EQ(failing.srb.SrbStatus, SRB_STATUS_ERROR | SRB_STATUS_AUTOSENSE_VALID);
    EXPECT_EQ(failing.srb.ScsiStatus, 0x02);
    EXPECT_EQ(failing.sense[2], 0x06);
    EXPECT_EQ(failing.sense[12], 0x29);
    EXPECT_EQ(next_same_lun.srb.SrbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(other_lun.srb.SrbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(unwanted.srb.SrbStatus, SRB_STATUS_ERROR);
    EXPECT_EQ(machine->port_driver().adapter(0).sense_requests, 1u);
    // The requester sees its own requests only, each once.
    EXPECT_EQ(machine->port_driver().completed().size(), 4u);
    EXPECT_TRUE(machine->errors().empty()) << machine->errors().summary();
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
