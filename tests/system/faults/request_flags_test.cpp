// What the SRB's flags ask of the driver, through the whole machine: the
// direction flags rule the data phases (a phase against them moves no byte
// and fails the request), DISABLE_DISCONNECT takes the disconnect privilege
// from the IDENTIFY, DISABLE_SYNCH_TRANSFER keeps SDTR off the request, and
// a CDB with the link bit never reaches the bus.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <optional>

#include "support/driver_fixture.h"

namespace hbatest {
namespace {

constexpr uint8_t kDisk = 0;
constexpr uint32_t kLba = 40;
constexpr uint16_t kBlocks = 4;
constexpr uint32_t kBytes = kBlocks * 512u;
constexpr uint8_t kUntouched = 0xC3;  // a read's buffer before anything comes
constexpr ULONG kIn = SRB_FLAGS_DATA_IN;
constexpr ULONG kOut = SRB_FLAGS_DATA_OUT;
constexpr ULONG kEither = SRB_FLAGS_DATA_IN | SRB_FLAGS_DATA_OUT;

enum class Outcome : uint8_t { Success, Fails, Invalid };

struct Case {
    const char* what;
    std::vector<uint8_t> cdb;
    bool write;              // the command moves data out
    std::optional<ULONG> flags;  // direction flags; none: the command's own
    bool no_disconnect, no_synch;
    Outcome outcome;
};

std::vector<Case> Cases()
{
    std::vector<uint8_t> linked_read = Read10(kLba, kBlocks);
    linked_read.back() = 0x01;
    return {
        {"read flagged data in", Read10(kLba, kBlocks), false, kIn, false, false, Outcome::Success},
        {"read with the direction left open", Read10(kLba, kBlocks), false, kEither, false, false, Outcome::Success},
        {"write flagged data out", Write10(kLba, kBlocks), true, kOut, false, false, Outcome::Success},
        {"write with the direction left open", Write10(kLba, kBlocks), true, kEither, false, false, Outcome::Success},
        {"read without disconnection", Read10(kLba, kBlocks), false, kIn, true, false, Outcome::Success},
        {"read without synchronous negotiation", Read10(kLba, kBlocks), false, kIn, false, true, Outcome::Success},
        {"write without either", Write10(kLba, kBlocks), true, kOut, true, true, Outcome::Success},
        {"inquiry", Inquiry(0, 36), false, kIn, false, false, Outcome::Success},
        {"inquiry without synchronous negotiation", Inquiry(0, 36), false, kIn, false, true, Outcome::Success},
        {"read flagged data out", Read10(kLba, kBlocks), false, kOut, false, false, Outcome::Fails},
        {"read flagged for no data", Read10(kLba, kBlocks), false, 0, false, false, Outcome::Fails},
        {"write flagged data in", Write10(kLba, kBlocks), true, kIn, false, false, Outcome::Fails},
        {"write flagged for no data", Write10(kLba, kBlocks), true, 0, false, false, Outcome::Fails},
        {"linked TEST UNIT READY", {0x00, 0, 0, 0, 0, 0x01}, false, 0, false, false, Outcome::Invalid},
        {"linked read", linked_read, false, kIn, false, false, Outcome::Invalid},
    };
}

// What the bus saw of the one request: the IDENTIFY, whether SDTR followed
// it, whether the target disconnected, and whether anything was selected.
struct Seen {
    int selections = 0;
    std::optional<uint8_t> identify;
    bool sdtr = false, disconnected = false;
};

class RequestFlags : public testing::TestWithParam<Case> {};

TEST_P(RequestFlags, OutcomeDataAndBusAsTheFlagsSay)
{
    const Case& c = GetParam();
    // A disk slow enough to disconnect, for a driver that may offer
    // synchronous transfer and grant disconnection to every target.
    DriverFixture f(AllFeatures(), {SeekingDiskAt(kDisk, {}, 500 * kUs, 2 * kMs, 2 * kMs)});
    const std::vector<uint8_t> before = f.Fill(kDisk, kLba, kBlocks, 0x21);
    sim::PhysicalMemory::Buffer& buffer = f.Buffer(kBytes, 0x80);
    for (uint32_t i = 0; i < kBytes; i++)
        buffer.data[i] = c.write ? uint8_t(i * 13 + 5) : kUntouched;
    const std::vector<uint8_t> sent = Bytes(buffer);

    Seen seen;
    bool after_identify = false;
    f.OnEvent([&](const BusEvent& e) {
        if (e.kind == BusEvent::Kind::Selection)
            seen.selections++;
        if (e.kind == BusEvent::Kind::MessageOut) {
            if (after_identify && e.byte == 0x01)
                seen.sdtr = true;  // an extended message right after the IDENTIFY
            after_identify = (e.byte & 0x80) != 0;
            if (after_identify && !seen.identify)
                seen.identify = e.byte;
        }
        if (e.kind == BusEvent::Kind::MessageIn && e.byte == 0x04)
            seen.disconnected = true;
    });
    const uint64_t written_before = f.machine().memory().bytes_written();
    const uint64_t read_before = f.machine().memory().bytes_read();

    sim::RequestSpec request_spec;
    request_spec.target = kDisk;
    request_spec.cdb = c.cdb;
    request_spec.direction = c.write ? DataDirection::Out : DataDirection::In;
    request_spec.direction_flags = c.flags;
    request_spec.disable_disconnect = c.no_disconnect;
    request_spec.disable_synch_transfer = c.no_synch;
    if (c.cdb[0] != 0x00)
        request_spec.buffer = &buffer;
    sim::Request& r = f.Submit(request_spec);
    f.ExpectCleanEnd();
    ASSERT_EQ(r.state, sim::Request::State::Completed);
    const uint8_t status = r.srb.SrbStatus & 0x3F;
    const std::vector<uint8_t> medium = f.device(kDisk).store().read(kLba, kBlocks);

    const bool inquiry = c.cdb[0] == 0x12;
    switch (c.outcome) {
    case Outcome::Success:
        EXPECT_EQ(status, SRB_STATUS_SUCCESS);
        EXPECT_EQ(seen.selections, 1);
        ASSERT_TRUE(seen.identify);
        if (inquiry) {
            // The INQUIRY to LUN 0 is where the driver opens the negotiation,
            // unless the request says otherwise.
            EXPECT_EQ(Bytes(buffer, 2), (std::vector<uint8_t>{0x00, 0x00}));
            EXPECT_EQ(seen.sdtr, !c.no_synch);
            break;
        }
        EXPECT_EQ(r.srb.DataTransferLength, kBytes);
        if (c.write) {
            EXPECT_EQ(medium, sent);
        } else {
            EXPECT_EQ(Bytes(buffer), before);
        }
        // Granted unless the request says otherwise; the disk then uses it.
        EXPECT_EQ((*seen.identify & 0x40) != 0, !c.no_disconnect);
        EXPECT_EQ(seen.disconnected, !c.no_disconnect);
        EXPECT_FALSE(c.no_synch && seen.sdtr) << "SDTR offered on a request that disables it";
        break;
    case Outcome::Fails:
        // The device and the request disagree on the command: no sense to fetch.
        EXPECT_EQ(status, SRB_STATUS_PHASE_SEQUENCE_FAILURE);
        // No byte moved by DMA, either way: the buffer is as it was, and no
        // byte of it reached the medium.
        EXPECT_EQ(f.machine().memory().bytes_written(), written_before);
        EXPECT_EQ(f.machine().memory().bytes_read(), read_before);
        EXPECT_EQ(Bytes(buffer), sent);
        // A write is aborted before the device can store the padding.
        EXPECT_EQ(medium, before);
        break;
    case Outcome::Invalid:
        EXPECT_EQ(status, SRB_STATUS_INVALID_REQUEST);
        EXPECT_EQ(seen.selections, 0) << "the request reached the bus";
        EXPECT_EQ(Bytes(buffer), sent);
        EXPECT_EQ(medium, before);
        break;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, RequestFlags, testing::ValuesIn(Cases()),
                         [](const testing::TestParamInfo<Case>& param) {
                             std::string name = param.param.what;
                             std::replace_if(name.begin(), name.end(), [](char ch) { return !std::isalnum(ch); }, '_');
                             return name;
                         });

}  // namespace
}  // namespace hbatest
