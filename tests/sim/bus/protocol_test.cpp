// Whole commands between the chip and the devices: disconnection and
// reselection, tagged queues, synchronous negotiation and its timing check,
// parity errors, and what each device answers.
#include <cstdio>
#include <deque>
#include <fstream>
#include <set>
#include <string_view>


#include "bus/empty_lun.h"
#include "bus/faults.h"
#include "support/chip_host.h"

namespace hbatest::chiphost {
namespace {

// An optical drive whose power-on unit attention is taken as reported already.
BlockDeviceOptions QuietOptical()
{
    BlockDeviceOptions o = OpticalDrive::optical_defaults();
    o.unit_attention = false;
    return o;
}

constexpr uint32_t kBuf = 0x20000;

struct DiskFixture {
    explicit DiskFixture(TargetOptions options = {}, uint64_t seed = 1) : f(seed), host(f)
    {
        BlockDeviceOptions o;
        o.target = options;
        disk = &f.add_disk(0, o);
        f.memory.allow(kBuf, 0x40000, true);
        f.memory.allow(0x80000, 0x40000, false);
    }
    Cmd read(uint32_t lba, uint16_t blocks, uint32_t at, uint32_t entry = 4096)
    {
        Cmd c;
        c.cdb = Read10(lba, blocks);
        for (uint32_t done = 0; done < blocks * 512u; done += entry)
            c.sg.push_back({at + done, std::min(entry, blocks * 512u - done)});
        return c;
    }
    Fixture f;
    Host host;
    Disk* disk;
};

TEST(Disconnect, SlowReadDisconnectsAndReselectsWhenEnabled)
{
    TargetOptions options;
    DiskFixture b(options);
    b.disk->device_options().track_seek = 2 * kMillisecond;
    std::vector<uint8_t> data = Pattern(2048, 4);
    b.disk->store().write(100, data.data(), 4);
    Cmd c = b.read(100, 4, kBuf);
    b.host.queue(c);
    // The seek makes the disk disconnect after the command phase.
    std::vector<Interrupt> seen = b.host.run();
    ASSERT_TRUE(c.complete);
    EXPECT_EQ(c.status, 0x00);
    EXPECT_EQ(b.f.memory.bytes(kBuf, 2048), data);
    bool reselected = std::any_of(seen.begin(), seen.end(), [](const Interrupt& i) { return i.cause == 0x04; });
    EXPECT_TRUE(reselected);
    EXPECT_TRUE(b.f.errors.empty()) << b.f.errors.summary();
}

TEST(Disconnect, ReselectionWaitsUntilTheChipEnablesIt)
{
    DiskFixture b;
    b.disk->options().disconnect_threshold = 0;
    b.host.load_target(0);
    b.host.select_with_atn(0xC0, Read10(8, 1));
    ASSERT_EQ(b.host.next().phase(), 7);
    b.host.command(0x01);
    b.host.command(0x10);
    ASSERT_EQ(b.host.next().cause, 0x08);
    EXPECT_EQ(b.host.in8(Fifo), 0x04);  // DISCONNECT
    b.host.command(0x12);
    ASSERT_EQ(b.host.next().cause, 0x20);
    // Not enabled: the target holds its reselection and nothing interrupts.
    EXPECT_FALSE(b.host.wait_line(10 * kMillisecond));
    b.host.command(0x44);
    Interrupt irq = b.host.next();
    EXPECT_EQ(irq.cause, 0x04);
    EXPECT_EQ(b.host.in8(Fifo), 0x81);  // target 0 and initiator 7
    EXPECT_EQ(b.host.in8(Fifo), 0x80);  // IDENTIFY, LUN 0
    b.host.command(0x12);
    EXPECT_EQ(b.host.next().phase(), 1);
    EXPECT_TRUE(b.f.errors.empty()) << b.f.errors.summary();
}

// A target that won arbitration before the chip: the chip answers it and
// the selection it was given is not carried out.
TEST(Disconnect, ReselectionWinsAgainstAJustIssuedSelection)
{
    DiskFixture b;
    b.f.add_disk(1);
    b.disk->options().disconnect_threshold = 0;
    Cmd first = b.read(0, 1, kBuf);
    first.disconnect = true;
    Cmd second = b.read(0, 1, kBuf + 0x1000);
    second.target = 1;
    bool issued = false;
    b.f.bus.set_listener([&](const BusEvent& e) {
        if (e.kind == BusEvent::Kind::Reselection && !issued) {
            issued = true;
            b.host.queue(second);
        }
    });
    b.host.queue(first);
    b.host.run();
    EXPECT_TRUE(issued);
    EXPECT_TRUE(first.complete);
    EXPECT_TRUE(second.complete);
    EXPECT_EQ(second.status, 0x00);
    EXPECT_TRUE(b.f.errors.empty()) << b.f.errors.summary();
}

TEST(Disconnect, MidDataDisconnectAndRepeatedTransferKeepTheDataRight)
{
    for (uint64_t seed : {1, 2, 3, 4}) {
        SCOPED_TRACE(seed);
        TargetOptions options;
        options.mid_data_disconnect_chance = 1.0;
        options.repeat_transfer_chance = 1.0;
        DiskFixture b(options, seed);
        std::vector<uint8_t> data = Pattern(8192, uint8_t(seed));
        b.disk->store().write(40, data.data(), 16);
        Cmd c = b.read(40, 16, kBuf, 3000);
        b.host.queue(c);
        b.host.run();
        ASSERT_TRUE(c.complete);
        EXPECT_EQ(c.status, 0x00);
        EXPECT_EQ(b.f.memory.bytes(kBuf, 8192), data);
        EXPECT_TRUE(b.f.errors.empty()) << b.f.errors.summary();
    }
}

TEST(Disconnect, WritesSplitByDisconnectionArriveWhole)
{
    TargetOptions options;
    options.mid_data_disconnect_chance = 1.0;
    DiskFixture b(options, 7);
    std::vector<uint8_t> data = Pattern(4096, 77);
    b.f.memory.fill(0x80000, data);
    Cmd c;
    c.cdb = Write10(3, 8);
    c.sg = {{0x80000, 1000}, {0x80000 + 1000, 3096}};
    b.host.queue(c);
    b.host.run();
    ASSERT_TRUE(c.complete);
    EXPECT_EQ(c.status, 0x00);
    EXPECT_EQ(b.disk->store().read(3, 8), data);
    EXPECT_TRUE(b.f.errors.empty()) << b.f.errors.summary();
}

// Past its queue limit a target answers QUEUE FULL.
TEST(Tags, FullQueueIsRefused)
{
    TargetOptions options;
    options.queue_limit = 3;
    DiskFixture b(options);
    b.disk->options().disconnect_threshold = 0;
    b.disk->device_options().full_seek = 10 * kMillisecond;
    std::vector<std::unique_ptr<Cmd>> cmds;
    for (int i = 0; i < 4; i++) {
        auto c = std::make_unique<Cmd>(b.read(60000 - 1000 * i, 1, kBuf + i * 0x1000));
        c->tag = uint8_t(i + 1);
        cmds.push_back(std::move(c));
    }
    for (auto& c : cmds)
        b.host.queue(*c);
    b.host.run();
    for (auto& c : cmds)
        EXPECT_TRUE(c->complete);
    EXPECT_EQ(cmds[0]->status, 0x00);
    EXPECT_EQ(cmds[3]->status, 0x28);
    EXPECT_TRUE(b.f.errors.empty()) << b.f.errors.summary();
}

// A slow SIMPLE command, then a quick one: SIMPLE and HEAD OF QUEUE pass the
// slow one, ORDERED waits for it.
TEST(Tags, CompletionOrderFollowsMediaTimeAndTagType)
{
    const std::pair<uint8_t, uint8_t> cases[] = {{0x20, 2}, {0x21, 2}, {0x22, 1}};
    for (auto [type, first] : cases) {
        SCOPED_TRACE(type);
        DiskFixture b;
        b.disk->options().disconnect_threshold = 0;
        b.disk->device_options().full_seek = 20 * kMillisecond;
        Cmd far = b.read(65000, 1, kBuf);
        far.tag = 1;
        // Planned after the far one, this one is a short seek away from it.
        Cmd near = b.read(64990, 1, kBuf + 0x1000);
        near.tag = 2;
        near.tag_message = type;
        b.host.queue(far);
        b.host.queue(near);
        b.host.run();
        ASSERT_TRUE(far.complete && near.complete);
        std::vector<uint8_t> order;  // tags named on reselection
        for (const auto& m : b.host.messages_in)
            if (m.size() == 2 && m[0] == 0x20)
                order.push_back(m[1]);
        ASSERT_GE(order.size(), 2u);
        EXPECT_EQ(order.front(), first);
        EXPECT_TRUE(b.f.errors.empty()) << b.f.errors.summary();
    }
}

struct SdtrCase {
    const char* name;
    SdtrAnswer answer;
    uint8_t min_period;
    uint8_t max_offset;
    std::vector<uint8_t> reply;  // what the target sends back
    bool synchronous;
};

TEST(Sdtr, AnswersPerDeviceAndTheAgreementTakesEffect)
{
    const SdtrCase cases[] = {
        {"agree", SdtrAnswer::Agree, 25, 15, {0x01, 0x03, 0x01, 25, 15}, true},
        {"slower and smaller", SdtrAnswer::Agree, 56, 8, {0x01, 0x03, 0x01, 56, 8}, true},
        {"offset zero", SdtrAnswer::AsyncOnly, 25, 15, {0x01, 0x03, 0x01, 25, 0}, false},
        {"reject", SdtrAnswer::Reject, 25, 15, {0x07}, false},
    };
    for (const SdtrCase& t : cases) {
        SCOPED_TRACE(t.name);
        TargetOptions options;
        options.sdtr = t.answer;
        options.min_period_factor = t.min_period;
        options.max_offset = t.max_offset;
        DiskFixture b(options);
        std::vector<uint8_t> data = Pattern(512, 9);
        b.disk->store().write(0, data.data(), 1);
        Cmd inquiry;
        inquiry.cdb = {0x12, 0, 0, 0, 36, 0};
        inquiry.sg = {{kBuf, 36}};
        inquiry.negotiate = true;
        inquiry.disconnect = false;
        Cmd read = b.read(0, 1, kBuf + 0x1000);
        b.host.queue(inquiry);
        b.host.queue(read);
        b.host.run();
        ASSERT_TRUE(inquiry.complete && read.complete);
        bool found = std::find(b.host.messages_in.begin(), b.host.messages_in.end(), t.reply) != b.host.messages_in.end();
        EXPECT_TRUE(found);
        EXPECT_EQ(b.disk->agreement().synchronous(), t.synchronous);
        EXPECT_EQ(b.f.memory.bytes(kBuf + 0x1000, 512), data);
        EXPECT_EQ(b.f.bus.timing_mismatches(), 0u);
        EXPECT_TRUE(b.f.errors.empty()) << b.f.errors.summary();
    }
}

// Registers that do not match the target's agreement garble the data and are
// reported: the effect of loading another target's values.
TEST(Sdtr, MismatchedTimingRegistersGarbleDataAndAreReported)
{
    DiskFixture b;
    std::vector<uint8_t> data = Pattern(512, 2);
    b.disk->store().write(0, data.data(), 1);
    Cmd inquiry;
    inquiry.cdb = {0x12, 0, 0, 0, 36, 0};
    inquiry.sg = {{kBuf, 36}};
    inquiry.negotiate = true;
    b.host.queue(inquiry);
    b.host.run();
    ASSERT_TRUE(b.disk->agreement().synchronous());
    b.host.set_timing(0, Host::Timing{});  // asynchronous values for a synchronous target
    Cmd read = b.read(0, 1, kBuf + 0x1000);
    b.host.queue(read);
    b.host.run();
    EXPECT_NE(b.f.memory.bytes(kBuf + 0x1000, 512), data);
    EXPECT_GT(b.f.bus.timing_mismatches(), 0u);
    EXPECT_NE(b.f.errors.summary().find("the target agreed"), std::string::npos);
}

// A parity error in data in: Status 0x20 at the end of that transfer, ATN
// from the chip, INITIATOR DETECTED ERROR, and the target sends the data again.
TEST(Parity, ErrorIsFlaggedAndTheDataIsSentAgain)
{
    TargetOptions options;
    options.parity_errors = 1;
    DiskFixture b(options);
    std::vector<uint8_t> data = Pattern(2048, 6);
    b.disk->store().write(0, data.data(), 4);
    Cmd c = b.read(0, 4, kBuf, 1024);
    b.host.queue(c);
    b.host.run();
    ASSERT_TRUE(c.complete);
    EXPECT_TRUE(b.host.parity_seen);
    EXPECT_EQ(c.status, 0x00);
    EXPECT_EQ(b.f.memory.bytes(kBuf, 2048), data);
    bool restored = std::find(b.host.messages_in.begin(), b.host.messages_in.end(), std::vector<uint8_t>{0x03}) !=
                    b.host.messages_in.end();
    EXPECT_TRUE(restored);
    EXPECT_TRUE(b.f.errors.empty()) << b.f.errors.summary();
}

TEST(Parity, WithoutParityCheckingTheBadByteGoesThroughUnnoticed)
{
    TargetOptions options;
    options.parity_errors = 1;
    DiskFixture b(options);
    std::vector<uint8_t> data = Pattern(512, 6);
    b.disk->store().write(0, data.data(), 1);
    b.host.load_target(0);
    b.host.out8(Config1, 0x07);  // parity checking off
    b.host.select_with_atn(0x80, Read10(0, 1));
    ASSERT_EQ(b.host.next().phase(), 1);
    b.host.program_dma(true, kBuf, 512);
    Interrupt irq = b.host.next();
    EXPECT_EQ(irq.status & 0x20, 0);
    EXPECT_EQ(irq.phase(), 3);
    EXPECT_NE(b.f.memory.bytes(kBuf, 512), data);
}

// --- what the devices answer ---

struct AnswerCase {
    const char* name;
    bool optical;
    uint8_t lun;
    std::vector<uint8_t> cdb;
    uint32_t length;
    uint8_t status;
    std::vector<std::pair<size_t, uint8_t>> bytes;  // offset, value in the returned data
};

TEST(Devices, CommandTables)
{
    const AnswerCase cases[] = {
        {"disk inquiry", false, 0, {0x12, 0, 0, 0, 36, 0}, 36, 0x00, {{0, 0x00}, {2, 0x02}, {7, 0x12}, {8, 'S'}}},
        {"empty lun inquiry", false, 3, {0x12, 0x60, 0, 0, 36, 0}, 36, 0x00, {{0, 0x7F}}},
        {"optical inquiry", true, 0, {0x12, 0, 0, 0, 36, 0}, 36, 0x00, {{0, 0x05}, {1, 0x80}}},
        {"disk capacity", false, 0, {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8, 0x00,
         {{0, 0x00}, {2, 0xFF}, {3, 0xFF}, {6, 0x02}, {7, 0x00}}},
        {"optical capacity", true, 0, {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8, 0x00, {{6, 0x08}}},
        {"disk mode sense", false, 0, {0x1A, 0, 0x3F, 0, 12, 0}, 12, 0x00, {{0, 11}, {2, 0x00}, {3, 8}, {10, 0x02}}},
        {"optical mode sense", true, 0, {0x1A, 0, 0x3F, 0, 12, 0}, 12, 0x00, {{2, 0x80}}},
        {"test unit ready", false, 0, {0x00, 0, 0, 0, 0, 0}, 0, 0x00, {}},
        {"read(6)", false, 0, {0x08, 0, 0, 1, 1, 0}, 512, 0x00, {}},
        {"optical write refused", true, 0, Write10(0, 1), 0, 0x02, {}},
    };
    for (const AnswerCase& t : cases) {
        SCOPED_TRACE(t.name);
        Fixture f;
        if (t.optical)
            f.bus.attach(std::make_unique<OpticalDrive>(0, QuietOptical()));
        else
            f.add_disk(0);
        f.memory.allow(kBuf, 0x1000, true);
        Host host(f);
        Cmd c;
        c.lun = t.lun;
        c.cdb = t.cdb;
        if (t.length)
            c.sg = {{kBuf, t.length}};
        host.queue(c);
        host.run();
        ASSERT_TRUE(c.complete);
        EXPECT_EQ(c.status, t.status);
        std::vector<uint8_t> got = f.memory.bytes(kBuf, std::max<uint32_t>(t.length, 1));
        for (auto [at, value] : t.bytes)
            EXPECT_EQ(got[at], value) << "byte " << at;
        EXPECT_FALSE(c.overrun);
        EXPECT_TRUE(f.errors.empty()) << f.errors.summary();
    }
}

// Power-on and every bus reset leave a unit attention. INQUIRY does not
// report it; the next other command ends in CHECK CONDITION with it (or, for
// REQUEST SENSE, returns it as its sense), and the command after that runs.
TEST(Devices, UnitAttentionAfterPowerOnAndEveryReset)
{
    struct Case {
        const char* what;
        std::vector<uint8_t> first;  // the first command after power-on or reset
        uint8_t status;
    };
    const Case cases[] = {
        {"test unit ready", {0x00, 0, 0, 0, 0, 0}, 0x02},
        {"read", Read10(0, 1), 0x02},
        {"request sense", {0x03, 0, 0, 0, 18, 0}, 0x00},
    };
    for (bool optical : {false, true}) {
        for (const Case& t : cases) {
            SCOPED_TRACE(testing::Message() << (optical ? "optical " : "disk ") << t.what);
            Fixture f;
            BlockDevice* device = optical ? static_cast<BlockDevice*>(&static_cast<OpticalDrive&>(
                                                f.bus.attach(std::make_unique<OpticalDrive>(0))))
                                          : static_cast<BlockDevice*>(&static_cast<Disk&>(
                                                f.bus.attach(std::make_unique<Disk>(0))));
            f.memory.allow(kBuf, 0x1000, true);
            Host host(f);
            std::deque<Cmd> commands;  // the host keeps a pointer to each
            auto run = [&](std::vector<uint8_t> cdb, uint32_t length) {
                Cmd& c = commands.emplace_back();
                c.cdb = std::move(cdb);
                if (length)
                    c.sg.push_back({kBuf, length});
                host.queue(c);
                host.run();
                return c;
            };
            for (int round = 0; round < 2; round++) {
                SCOPED_TRACE(round == 0 ? "power-on" : "after a reset");
                if (round == 1) {
                    f.bus.assert_reset();
                    EXPECT_EQ(host.next().cause, 0x80);
                }
                EXPECT_TRUE(device->unit_attention_pending());
                EXPECT_EQ(run({0x12, 0, 0, 0, 36, 0}, 36).status, 0x00);
                const bool sense = t.first[0] == 0x03;
                Cmd first = run(t.first, sense ? 18 : t.first[0] == 0x28 ? (optical ? 2048 : 512) : 0);
                EXPECT_EQ(first.status, t.status);
                EXPECT_EQ(sense ? f.memory.bytes(kBuf + 2, 1)[0] & 0x0F : uint8_t(device->sense(0).key), 0x06);
                EXPECT_FALSE(device->unit_attention_pending());
                EXPECT_EQ(run({0x00, 0, 0, 0, 0, 0}, 0).status, 0x00);
            }
            EXPECT_EQ(device->unit_attentions_reported(), 2u);
            EXPECT_TRUE(f.errors.empty()) << f.errors.summary();
        }
    }
}

TEST(Devices, OpticalWriteLeavesDataProtectSense)
{
    Fixture f;
    auto& drive = static_cast<OpticalDrive&>(f.bus.attach(std::make_unique<OpticalDrive>(2, QuietOptical())));
    Host host(f);
    Cmd c;
    c.target = 2;
    c.cdb = Write10(0, 1);
    host.queue(c);
    host.run();
    EXPECT_EQ(c.status, 0x02);
    EXPECT_EQ(drive.sense(0).key, scsi::SenseKey::DataProtect);
    EXPECT_EQ(drive.sense(0).asc, scsi::Asc::WriteProtected);
}

TEST(Devices, BusyAnswerIsStatusOnly)
{
    TargetOptions options;
    options.busy_answers = 1;
    DiskFixture b(options);
    Cmd c = b.read(0, 1, kBuf);
    b.host.queue(c);
    b.host.run();
    EXPECT_EQ(c.status, 0x08);
    EXPECT_EQ(c.moved, 0u);
}

TEST(Devices, UnsupportedMessageIsRejected)
{
    DiskFixture b;
    b.host.load_target(0);
    b.host.command(0x01);
    b.host.out8(Fifo, 0x80);
    for (uint8_t x : Read10(0, 1))
        b.host.out8(Fifo, x);
    b.host.command(0x43);  // stop in message out
    ASSERT_EQ(b.host.next().phase(), 6);
    b.host.command(0x01);
    b.host.out8(Fifo, 0x23);  // a two-byte message nobody supports
    b.host.out8(Fifo, 0x05);
    b.host.command(0x10);
    ASSERT_EQ(b.host.next().phase(), 7);
    b.host.command(0x01);
    b.host.command(0x10);
    ASSERT_EQ(b.host.next().cause, 0x08);
    EXPECT_EQ(b.host.in8(Fifo), 0x07);
    EXPECT_TRUE(b.f.errors.empty()) << b.f.errors.summary();
}

TEST(Devices, DiskImageIsReadAndBadImagesAreClearErrors)
{
    std::string path = ::testing::TempDir() + "chip_test_image.bin";
    std::vector<uint8_t> content = Pattern(1024, 42);
    {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(content.data()), std::streamsize(content.size()));
    }
    BlockDeviceOptions o;
    o.image_path = path;
    Disk disk(0, o);
    EXPECT_EQ(disk.store().block_count(), 2u);
    EXPECT_EQ(disk.store().read(0, 2), content);

    {
        std::ofstream out(path, std::ios::binary);
        out.write("abc", 3);
    }
    EXPECT_THROW(Disk(0, o), std::runtime_error);
    std::remove(path.c_str());
    o.image_path = path + ".missing";
    try {
        Disk missing(0, o);
        ADD_FAILURE() << "no error for a missing image";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(".missing"), std::string::npos);
    }
}

// --- behaviours of the targets' own ---

// The kinds by name, and which are legal: the table decides, not the
// position in the enum.
TEST(Kinds, NamesRoundTripAndLegalityIsPerKind)
{
    const std::set<std::string_view> legal = {
        "unsolicited-sdtr",    "queue-full",      "busy",       "save-pointer-continue", "bare-disconnect",
        "disconnect-any-byte", "restore-pointers", "sdtr-any-answer", "target-sdtr",     "optional-message",
        "disconnect-after-data",
    };
    std::set<std::string_view> names;
    for (size_t i = 0; i < kFaultKinds; i++) {
        const auto kind = static_cast<FaultKind>(i);
        const std::string_view name = fault_name(kind);
        SCOPED_TRACE(name);
        EXPECT_TRUE(names.insert(name).second) << "two kinds share a name";
        EXPECT_EQ(fault_from_name(name), kind);
        EXPECT_EQ(is_legal(kind), legal.contains(name));
        EXPECT_EQ(legal_behaviours().test(i), legal.contains(name));
    }
    EXPECT_EQ(fault_from_name("second-command-phase"), FaultKind::SecondCommandPhase);
    EXPECT_FALSE(is_legal(FaultKind::SecondCommandPhase));
    EXPECT_EQ(fault_from_name("no-such-kind"), std::nullopt);
}

// One target's faults with the picks given, forced once.
struct Forced {
    Forced(Target& target, std::vector<uint8_t> picks, FaultKind kind)
        : bytes(std::move(picks)), choices(bytes), faults(target, choices, counts, nullptr)
    {
        faults.force(kind);
    }
    std::vector<uint8_t> bytes;
    ByteChoices choices;
    FaultCounts counts{};
    DeviceFaults faults;
};

bool Received(const Host& host, const std::vector<uint8_t>& message)
{
    return std::find(host.messages_in.begin(), host.messages_in.end(), message) != host.messages_in.end();
}

// A message the initiator need not implement, wherever the target sends it:
// refused at its last byte or (ATN raised in the middle) at its first, the
// command goes on and succeeds; not refused, the target reports the initiator.
TEST(OptionalMessage, RefusedTheCommandGoesOnNotRefusedIsAModelError)
{
    struct Case {
        const char* name;
        std::vector<uint8_t> picks;  // which message, its arguments, where
        std::vector<uint8_t> message;
    };
    const Case cases[] = {
        {"NO OPERATION", {0, 0}, {0x08}},
        {"INITIATE RECOVERY", {1, 1}, {0x0F}},
        {"RELEASE RECOVERY", {2, 0}, {0x10}},
        {"IGNORE WIDE RESIDUE", {3, 1, 1}, {0x23, 0x02}},
        {"MODIFY DATA POINTER", {4, 0x12, 0x34, 0}, {0x01, 0x05, 0x00, 0x00, 0x00, 0x12, 0x34}},
        {"WIDE DATA TRANSFER REQUEST", {5, 1, 1}, {0x01, 0x02, 0x03, 0x01}},
    };
    enum class Initiator { RejectsAtLastByte, RejectsEarly, DoesNotReject };
    for (const Case& t : cases)
        for (const Initiator way : {Initiator::RejectsAtLastByte, Initiator::RejectsEarly, Initiator::DoesNotReject}) {
            SCOPED_TRACE(testing::Message() << t.name << " " << int(way));
            DiskFixture b;
            std::vector<uint8_t> data = Pattern(1024, 3);
            b.disk->store().write(5, data.data(), 2);
            Forced forced(*b.disk, t.picks, FaultKind::OptionalMessage);
            b.host.refuse_messages = way != Initiator::DoesNotReject;
            b.host.reject_early = way == Initiator::RejectsEarly;
            Cmd c = b.read(5, 2, kBuf);
            b.host.queue(c);
            b.host.run();
            ASSERT_TRUE(c.complete);
            EXPECT_EQ(forced.counts[size_t(FaultKind::OptionalMessage)], 1u);
            EXPECT_TRUE(forced.choices.exhausted());
            EXPECT_EQ(c.status, 0x00);
            EXPECT_EQ(b.f.memory.bytes(kBuf, 1024), data);
            const bool early = way == Initiator::RejectsEarly && t.message.size() > 1;
            EXPECT_TRUE(Received(b.host, early ? std::vector<uint8_t>{t.message[0]} : t.message));
            EXPECT_EQ(b.disk->commands_held(), 0u);
            if (way == Initiator::DoesNotReject) {
                ASSERT_EQ(b.f.errors.all().size(), 1u) << b.f.errors.summary();
                EXPECT_NE(b.f.errors.summary().find(t.name), std::string::npos) << b.f.errors.summary();
                EXPECT_NE(b.f.errors.summary().find("MESSAGE REJECT"), std::string::npos);
            } else {
                EXPECT_TRUE(b.f.errors.empty()) << b.f.errors.summary();
            }
        }
}

// ATN raised for a message to refuse, and then something other than MESSAGE
// REJECT first in the message-out phase: reported.
TEST(OptionalMessage, AnythingButMessageRejectIsAModelError)
{
    DiskFixture b;
    Forced forced(*b.disk, {0, 0}, FaultKind::OptionalMessage);  // NO OPERATION first
    b.host.load_target(0);
    b.host.select_with_atn(0x80, Read10(0, 1));
    ASSERT_EQ(b.host.next().phase(), 7);
    b.host.command(0x01);
    b.host.command(0x10);
    ASSERT_EQ(b.host.next().cause, 0x08);
    EXPECT_EQ(b.host.in8(Fifo), 0x08);
    b.host.command(0x1A);  // ATN
    b.host.command(0x12);
    ASSERT_EQ(b.host.next().phase(), 6);
    b.host.command(0x01);
    b.host.out8(Fifo, 0x08);  // NO OPERATION back instead of MESSAGE REJECT
    b.host.command(0x10);
    b.host.next();
    EXPECT_NE(b.f.errors.summary().find("NO OPERATION answered with NO OPERATION instead of MESSAGE REJECT"),
              std::string::npos)
        << b.f.errors.summary();
}

// The link bit: a command that ends GOOD gets INTERMEDIATE, LINKED COMMAND
// COMPLETE (WITH FLAG when the flag bit is set), and the command phase for
// the chain's next command, in the same connection and nexus, from fresh
// pointers; CHECK CONDITION ends the chain as any command ends.
TEST(LinkedCommands, TheChainRunsInOneNexusAndEndsAtCheckCondition)
{
    auto linked = [](std::vector<uint8_t> cdb, uint8_t control) {
        cdb.back() |= control;
        return cdb;
    };
    struct Case {
        const char* name;
        std::vector<uint8_t> first;
        std::optional<uint8_t> tag;
        std::vector<uint8_t> statuses;
        std::vector<uint8_t> message;  // after the first status
        bool chained;                  // the READ ran
    };
    const Case cases[] = {
        {"linked", linked(kTestUnitReady, 0x01), std::nullopt, {0x10, 0x00}, {0x0A}, true},
        {"linked with flag", linked(kTestUnitReady, 0x03), std::nullopt, {0x10, 0x00}, {0x0B}, true},
        {"linked, tagged", linked(kTestUnitReady, 0x01), uint8_t{5}, {0x10, 0x00}, {0x0A}, true},
        {"linked read", linked(Read10(9, 2), 0x01), std::nullopt, {0x10, 0x00}, {0x0A}, true},
        {"linked, fails", linked(Read10(0xFFFFFF, 1), 0x01), std::nullopt, {0x02}, {0x00}, false},
    };
    for (const Case& t : cases) {
        SCOPED_TRACE(t.name);
        DiskFixture b;
        std::vector<uint8_t> data = Pattern(1024, 8);
        b.disk->store().write(9, data.data(), 2);
        std::vector<BusEvent> notes;
        unsigned selections = 0;
        b.f.bus.set_listener([&](const BusEvent& e) {
            selections += e.kind == BusEvent::Kind::Selection;
            if (e.kind == BusEvent::Kind::Note && e.note != BusNote::AtnAsserted && e.note != BusNote::AtnReleased)
                notes.push_back(e);
        });
        Cmd c = b.read(9, 2, kBuf);
        c.cdb = t.first;
        c.tag = t.tag;
        c.linked = {Read10(9, 2)};
        b.host.queue(c);
        b.host.run();
        ASSERT_TRUE(c.complete);
        EXPECT_EQ(c.statuses, t.statuses);
        EXPECT_TRUE(Received(b.host, t.message));
        EXPECT_EQ(c.link, t.chained ? 1u : 0u);
        EXPECT_EQ(selections, 1u);
        if (t.chained) {
            EXPECT_EQ(b.f.memory.bytes(kBuf, 1024), data);
            // Both commands of the chain began in the one nexus.
            std::vector<BusNote> seen;
            for (const BusEvent& e : notes) {
                seen.push_back(e.note);
                EXPECT_EQ(e.tag, t.tag);
                EXPECT_EQ(e.lun, 0);
            }
            EXPECT_EQ(seen, (std::vector<BusNote>{BusNote::CommandBegins, BusNote::LinkedCommandComplete,
                                                   BusNote::CommandBegins}));
        } else {
            EXPECT_EQ(b.disk->sense(0).key, scsi::SenseKey::IllegalRequest);
        }
        EXPECT_EQ(b.disk->commands_held(), 0u);
        EXPECT_TRUE(b.f.errors.empty()) << b.f.errors.summary();
    }
}

// The target asks for the command phase once more before status: whatever
// the initiator sends then ends the command in CHECK CONDITION, COMMAND
// PHASE ERROR; a write stores nothing, and the target holds nothing after.
TEST(SecondCommandPhase, EndsTheCommandInCheckConditionAndStoresNothing)
{
    for (const bool write : {false, true})
        for (const uint8_t where : {0, 1, 2, 3}) {
            SCOPED_TRACE(testing::Message() << (write ? "write" : "read") << " at place pick " << int(where));
            DiskFixture b;
            b.disk->device_options().full_seek = 2 * kMillisecond;
            b.disk->options().disconnect_threshold = 0;
            const std::vector<uint8_t> before = Pattern(2048, 1);
            b.disk->store().write(100, before.data(), 4);
            b.f.memory.fill(0x80000, Pattern(2048, 2));
            unsigned again = 0;
            b.f.bus.set_listener([&](const BusEvent& e) { again += e.note == BusNote::CommandPhaseAgain; });
            Forced forced(*b.disk, {where}, FaultKind::SecondCommandPhase);
            Cmd c = b.read(100, 4, write ? 0x80000 : kBuf);
            if (write)
                c.cdb = Write10(100, 4);
            b.host.queue(c);
            b.host.run();
            ASSERT_TRUE(c.complete);
            EXPECT_EQ(again, 1u);
            EXPECT_EQ(c.status, 0x02);
            EXPECT_EQ(b.disk->sense(0).key, scsi::SenseKey::AbortedCommand);
            EXPECT_EQ(b.disk->sense(0).asc, scsi::Asc::CommandPhaseError);
            EXPECT_EQ(b.disk->store().read(100, 4), before);
            EXPECT_EQ(b.disk->commands_held(), 0u);
            EXPECT_TRUE(b.f.errors.empty()) << b.f.errors.summary();
        }
}

// DISCONNECT without SAVE DATA POINTER after the last data byte: the
// reconnection goes straight to status, and every byte is where it belongs.
TEST(DisconnectAfterData, ReconnectsStraightToStatus)
{
    for (const bool write : {false, true}) {
        SCOPED_TRACE(write ? "write" : "read");
        DiskFixture b;
        const std::vector<uint8_t> data = Pattern(4096, 5);
        if (write)
            b.f.memory.fill(0x80000, data);
        else
            b.disk->store().write(30, data.data(), 8);
        Forced forced(*b.disk, {}, FaultKind::DisconnectAfterData);
        std::vector<BusEvent::Kind> after_data;
        bool data_seen = false;
        b.f.bus.set_listener([&](const BusEvent& e) {
            data_seen = data_seen || e.kind == BusEvent::Kind::DataIn || e.kind == BusEvent::Kind::DataOut;
            if (data_seen && e.kind != BusEvent::Kind::Request && e.kind != BusEvent::Kind::Note &&
                e.kind != BusEvent::Kind::Arbitration && e.kind != BusEvent::Kind::DataIn &&
                e.kind != BusEvent::Kind::DataOut)
                after_data.push_back(e.kind);
        });
        Cmd c = b.read(30, 8, write ? 0x80000 : kBuf, 1000);
        if (write)
            c.cdb = Write10(30, 8);
        b.host.queue(c);
        b.host.run();
        ASSERT_TRUE(c.complete);
        EXPECT_EQ(forced.counts[size_t(FaultKind::DisconnectAfterData)], 1u);
        EXPECT_EQ(c.status, 0x00);
        EXPECT_EQ(write ? b.disk->store().read(30, 8) : b.f.memory.bytes(kBuf, 4096), data);
        using K = BusEvent::Kind;
        // DISCONNECT, bus free, reselection, IDENTIFY, status, COMMAND COMPLETE, bus free.
        EXPECT_EQ(after_data, (std::vector<K>{K::MessageIn, K::BusFree, K::Reselection, K::MessageIn, K::Status,
                                              K::MessageIn, K::BusFree}));
        EXPECT_FALSE(Received(b.host, {0x02}));
        EXPECT_TRUE(b.f.errors.empty()) << b.f.errors.summary();
    }
}

// An untagged command beside tagged ones, a tagged one beside an untagged
// one, or a tag in use: the target aborts every command of the LUN and
// answers the new one CHECK CONDITION, OVERLAPPED COMMANDS ATTEMPTED. An
// untagged REQUEST SENSE for sense pending may go beside tagged commands.
TEST(OverlappedCommands, AbortEveryCommandOfTheLun)
{
    struct Case {
        const char* name;
        std::optional<uint8_t> first_tag;  // the slow command held, disconnected
        std::optional<uint8_t> second_tag;
        bool sense_pending_first;  // a tagged command fails first; the second is REQUEST SENSE
        bool overlapped;
    };
    const Case cases[] = {
        {"untagged beside tagged", uint8_t{1}, std::nullopt, false, true},
        {"tagged beside untagged", std::nullopt, uint8_t{2}, false, true},
        {"tag in use", uint8_t{3}, uint8_t{3}, false, true},
        {"other tag", uint8_t{3}, uint8_t{4}, false, false},
        {"REQUEST SENSE, no sense pending", uint8_t{1}, std::nullopt, false, true},
        {"REQUEST SENSE for pending sense", uint8_t{1}, std::nullopt, true, false},
    };
    for (const Case& t : cases) {
        SCOPED_TRACE(t.name);
        DiskFixture b;
        b.disk->options().disconnect_threshold = 0;
        b.disk->device_options().full_seek = 10 * kMillisecond;
        unsigned overlaps = 0;
        b.f.bus.set_listener([&](const BusEvent& e) { overlaps += e.note == BusNote::OverlappedCommands; });
        Cmd slow = b.read(60000, 1, kBuf);
        slow.tag = t.first_tag;
        std::deque<Cmd> more;
        if (t.sense_pending_first) {
            Cmd& failing = more.emplace_back(b.read(0xFFFFFF, 1, kBuf + 0x1000));
            failing.tag = uint8_t{7};
        }
        const bool sense = std::string_view(t.name).starts_with("REQUEST SENSE");
        Cmd& second = more.emplace_back(b.read(1, 1, kBuf + 0x2000));
        if (sense) {
            second.cdb = kRequestSense;
            second.sg = {{kBuf + 0x2000, 18}};
        }
        second.tag = t.second_tag;
        b.host.queue(slow);
        for (Cmd& c : more)
            b.host.queue(c);
        b.host.run(100 * kMillisecond);
        ASSERT_TRUE(second.complete);
        EXPECT_EQ(overlaps, t.overlapped ? 1u : 0u);
        if (t.overlapped) {
            EXPECT_EQ(second.status, 0x02);
            EXPECT_EQ(b.disk->sense(0).key, scsi::SenseKey::AbortedCommand);
            EXPECT_EQ(b.disk->sense(0).asc, scsi::Asc::OverlappedCommands);
            EXPECT_FALSE(slow.complete) << "an aborted command came back";
        } else {
            EXPECT_EQ(second.status, 0x00);
            EXPECT_TRUE(slow.complete);
            EXPECT_EQ(slow.status, 0x00);
            if (sense) {
                EXPECT_EQ(b.f.memory.bytes(kBuf + 0x2000, 3)[2] & 0x0F, 0x05);  // the failed READ's ILLEGAL REQUEST
            }
        }
        EXPECT_EQ(b.disk->commands_held(), 0u);
        EXPECT_TRUE(b.f.errors.empty()) << b.f.errors.summary();
    }
}

}  // namespace
}  // namespace hbatest::chiphost
