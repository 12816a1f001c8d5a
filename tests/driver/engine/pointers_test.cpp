// SCSI data pointers as SCSI-2 has them: SAVE DATA POINTER copies the current
// pointer to the saved one and nothing else, DISCONNECT saves nothing, and
// every reconnection goes on from the saved pointer. Each case is a target
// that moves a command's data in a way the standard allows; the read must
// land in the buffer and the write on the medium byte for byte.
#include "support/driver_fixture.h"

namespace hbatest {
namespace {

using Step = sim::Target::Step;
using StepKind = Step::Kind;

// What the target does in the data phase, in steps over a transfer of
// `length` bytes: move data up to a point, send a message, leave the bus.
struct Move {
    enum What : uint8_t { Data, SavePointer, RestorePointers, Disconnect } what;
    uint32_t until = 0;  // Data: the target's pointer after it, in 8ths of the length
};

struct Script {
    const char* what;
    std::vector<Move> moves;
};

const Script kScripts[] = {
    {"save pointer, go on with data", {{Move::Data, 3}, {Move::SavePointer}, {Move::Data, 8}}},
    {"save pointer after the data, then status", {{Move::Data, 8}, {Move::SavePointer}}},
    {"save pointer twice, data between", {{Move::Data, 2}, {Move::SavePointer}, {Move::Data, 5}, {Move::SavePointer},
                                          {Move::Data, 8}}},
    {"bare disconnect, resend from the start", {{Move::Data, 5}, {Move::Disconnect}, {Move::Data, 8}}},
    {"save, more data, bare disconnect, resend from the save",
     {{Move::Data, 2}, {Move::SavePointer}, {Move::Data, 6}, {Move::Disconnect}, {Move::Data, 8}}},
    {"save and disconnect, then go on", {{Move::Data, 4}, {Move::SavePointer}, {Move::Disconnect}, {Move::Data, 8}}},
    // Nothing is left to resend, so the target needs no SAVE DATA POINTER: the
    // reconnection restores an older pointer, yet every byte has moved.
    {"all the data, bare disconnect, then status", {{Move::Data, 8}, {Move::Disconnect}}},
    {"save, all the data, bare disconnect, then status",
     {{Move::Data, 3}, {Move::SavePointer}, {Move::Data, 8}, {Move::Disconnect}}},
    {"restore pointers and resend", {{Move::Data, 6}, {Move::RestorePointers}, {Move::Data, 8}}},
    {"save, restore, resend the part", {{Move::Data, 3}, {Move::SavePointer}, {Move::Data, 7}, {Move::RestorePointers},
                                        {Move::Data, 8}}},
};

// Rewrites every READ(10) and WRITE(10) the target plans into the script.
class Scripted : public sim::TargetFaultHooks {
public:
    explicit Scripted(const Script& script) : script_(script) {}

    void command_planned(sim::Target&, sim::PlannedCommand& c) override
    {
        if (c.cdb[0] != 0x28 && c.cdb[0] != 0x2A)
            return;
        bool in = c.cdb[0] == 0x28;
        uint32_t length = uint32_t(c.reply.data.size());
        std::deque<Step> steps;
        for (const Move& m : script_.moves) {
            switch (m.what) {
            case Move::Data: steps.push_back({in ? StepKind::DataIn : StepKind::DataOut, {}, length / 8 * m.until}); break;
            case Move::SavePointer: steps.push_back({StepKind::MessageIn, {0x02}}); break;
            case Move::RestorePointers: steps.push_back({StepKind::MessageIn, {0x03}}); break;
            case Move::Disconnect:
                steps.push_back({StepKind::MessageIn, {0x04}});
                steps.push_back({StepKind::Disconnect, {}, 0, 300 * sim::kMicrosecond});
                break;
            }
        }
        if (!in)
            steps.push_back({StepKind::Commit});
        steps.push_back({StepKind::Status});
        steps.push_back({StepKind::MessageIn, {0x00}});
        steps.push_back({StepKind::Free});
        c.steps = std::move(steps);
    }

private:
    const Script& script_;
};

TEST(Pointers, EveryLegalWayOfMovingTheDataDeliversItWhole)
{
    for (const Script& script : kScripts) {
        for (bool tagged : {false, true}) {
            SCOPED_TRACE(testing::Message() << script.what << (tagged ? ", tagged" : ", untagged"));
            DriverFixture fixture(Flags(TF_PARITY | TF_DISCONNECT | (tagged ? TF_TAGGED : 0)), {DiskAt(0)});
            if (tagged) {
                auto& inquiry = fixture.Buffer(36);
                fixture.Run(0, 0, Inquiry(0, 36), &inquiry);
                ASSERT_GT(fixture.lun(0).QueueDepth, 1);
            }
            Scripted hooks(script);
            fixture.device(0).set_fault_hooks(&hooks);

            // 16 blocks over scattered pages: several scatter-gather entries.
            std::vector<uint8_t> expected = fixture.Fill(0, 100, 16, 0x5A);
            auto& readBuffer = fixture.Buffer(16 * 512, 0x300);
            sim::Request& read = fixture.Run(0, 0, Read10(100, 16), &readBuffer);
            EXPECT_EQ(read.srb.SrbStatus, SRB_STATUS_SUCCESS);
            EXPECT_EQ(read.srb.DataTransferLength, 16u * 512);
            EXPECT_TRUE(Bytes(readBuffer) == expected) << "read data misplaced";

            auto& writeBuffer = fixture.Buffer(16 * 512, 0x700);
            for (uint32_t i = 0; i < writeBuffer.length; i++)
                writeBuffer.data[i] = uint8_t(i * 13 + (i >> 9));
            sim::Request& write = fixture.Run(0, 0, Write10(200, 16), &writeBuffer, DataDirection::Out);
            EXPECT_EQ(write.srb.SrbStatus, SRB_STATUS_SUCCESS);
            EXPECT_EQ(write.srb.DataTransferLength, 16u * 512);
            std::vector<uint8_t> medium = fixture.device(0).store().read(200, 16);
            EXPECT_TRUE(medium == Bytes(writeBuffer)) << "written data misplaced on the medium";

            fixture.device(0).set_fault_hooks(nullptr);
            EXPECT_EQ(fixture.port().timeouts().time_outs(), 0u);
            fixture.ExpectCleanEnd();
        }
    }
}

// A bus free the target gives with neither COMMAND COMPLETE nor DISCONNECT
// ends the command as failed, even after a GOOD status: it did not finish,
// and nothing may wait for a reconnection that will not come.
TEST(Pointers, ABusFreeWithoutCommandCompleteOrDisconnectFailsTheCommand)
{
    struct LeaveEarly : sim::TargetFaultHooks {
        bool afterStatus;
        explicit LeaveEarly(bool status) : afterStatus(status) {}
        void command_planned(sim::Target&, sim::PlannedCommand& c) override
        {
            if (c.cdb[0] != 0x28)
                return;
            uint32_t length = uint32_t(c.reply.data.size());
            c.steps = {{StepKind::DataIn, {}, length / 2}, {StepKind::MessageIn, {0x02}}};
            if (afterStatus)
                c.steps.push_back({StepKind::Status});
            c.steps.push_back({StepKind::Free});
        }
    };
    for (bool afterStatus : {false, true}) {
        SCOPED_TRACE(afterStatus ? "after GOOD status" : "after SAVE DATA POINTER");
        DriverFixture fixture(Flags(TF_PARITY | TF_DISCONNECT), {DiskAt(0)});
        LeaveEarly hooks(afterStatus);
        fixture.device(0).set_fault_hooks(&hooks);
        auto& buffer = fixture.Buffer(4096);
        sim::Request& r = fixture.Run(0, 0, Read10(0, 8), &buffer);
        fixture.device(0).set_fault_hooks(nullptr);
        EXPECT_EQ(r.state, sim::Request::State::Completed);
        EXPECT_NE(r.srb.SrbStatus, SRB_STATUS_SUCCESS);
        EXPECT_EQ(fixture.port().timeouts().time_outs(), 0u);
        // A status byte without a message after it leaves the chip's FIFO
        // one byte short of what the driver reads; that is the target's
        // doing and the one report allowed.
        fixture.machine().errors().clear();
        fixture.ExpectCleanEnd();
    }
}

}  // namespace
}  // namespace hbatest
