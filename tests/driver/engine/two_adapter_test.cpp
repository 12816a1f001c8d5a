// Two adapters, each with a synchronous disk: a bus reset on one adapter's bus
// (its own or another initiator's) while the other adapter waits for its own
// reset, or after that wait gave up. Every reset on a bus leaves that bus's
// targets asynchronous, so each adapter must judge its resets by its own
// wait alone and forget its agreements whenever its bus was reset by someone
// else; the next read on each bus returns the data on the disk.
#include "pc/startup_scan.h"
#include "support/driver_fixture.h"
#include "linked_driver.h"

namespace hbatest {
namespace {

constexpr uint16_t kBase[2] = {0xE800, 0xEC00};

struct TwoAdapters {
    explicit TwoAdapters(std::optional<sim::Nanoseconds> reset_interrupt0, std::optional<sim::Nanoseconds> reset_interrupt1,
                         bool one_line = false)
        : machine(Configure(reset_interrupt0, reset_interrupt1, one_line))
    {
        machine.boot(hba::linked_driver());
    }

    static sim::MachineConfig Configure(std::optional<sim::Nanoseconds> r0, std::optional<sim::Nanoseconds> r1,
                                        bool one_line)
    {
        sim::MachineConfig c;
        for (int i = 0; i < 2; i++) {
            sim::AdapterConfig a = AdapterAt(0, uint8_t(3 + i), kBase[i], uint8_t(one_line ? 11 : 10 + i));
            a.settings = Flags(sim::kTargetParity | sim::kTargetDisconnect | sim::kTargetSync);
            a.devices = {DiskAt(0)};
            a.chip_timing.reset_interrupt = i == 0 ? r0 : r1;
            c.adapters.push_back(a);
        }
        return c;
    }

    sim::Request& Run(size_t adapter, std::vector<uint8_t> cdb, sim::PhysicalMemory::Buffer& buffer)
    {
        sim::RequestSpec request;
        request.cdb = std::move(cdb);
        request.buffer = &buffer;
        request.direction = DataDirection::In;
        sim::Request& r = machine.port_driver().submit(adapter, request);
        machine.port_driver().run_until_idle();
        return r;
    }
    sim::BlockDevice& disk(size_t adapter)
    {
        return dynamic_cast<sim::BlockDevice&>(*machine.bus(adapter).target(0));
    }
    std::vector<uint8_t> Fill(size_t adapter, uint32_t lba, uint8_t seed)
    {
        std::vector<uint8_t> bytes(8 * 512);
        for (size_t i = 0; i < bytes.size(); i++)
            bytes[i] = uint8_t(i * 13 + seed + (i >> 9));
        disk(adapter).store().write(lba, bytes.data(), 8);
        return bytes;
    }
    // INQUIRY negotiates synchronous transfer with the disk.
    void Negotiate(size_t adapter)
    {
        auto& inquiry = machine.memory().allocate(36, 0);
        Run(adapter, Inquiry(0, 36), inquiry);
        ASSERT_TRUE(disk(adapter).agreement().synchronous());
    }

    sim::Machine machine;
};

TEST(TwoAdapters, EachAdapterKeepsItsOwnResetHandshake)
{
    struct Case {
        const char* what;
        std::optional<sim::Nanoseconds> waiter_interrupt;  // the resetting adapter's own reset interrupt
        sim::Nanoseconds foreign_at;                        // RST on the other bus, from the wait's start
        bool own_reset_on_other;                            // the other adapter's own HwResetBus instead
    };
    const Case cases[] = {
        {"foreign reset while the other adapter's wait is pending", 300 * sim::kMicrosecond, 50 * sim::kMicrosecond, false},
        {"foreign reset after the other adapter's wait timed out", 2 * sim::kMillisecond, 800 * sim::kMicrosecond, false},
        {"foreign reset after the other adapter's interrupt never came", std::nullopt, 800 * sim::kMicrosecond, false},
        {"own reset after the other adapter's wait timed out", 2 * sim::kMillisecond, 800 * sim::kMicrosecond, true},
    };
    for (const Case& c : cases) {
        for (size_t waiter : {size_t(0), size_t(1)}) {
            SCOPED_TRACE(testing::Message() << c.what << ", adapter " << waiter << " resets");
            const size_t victim = 1 - waiter;
            TwoAdapters m(waiter == 0 ? c.waiter_interrupt : std::optional<sim::Nanoseconds>(2 * sim::kMicrosecond),
                          waiter == 1 ? c.waiter_interrupt : std::optional<sim::Nanoseconds>(2 * sim::kMicrosecond));
            std::vector<uint8_t> expected[2] = {m.Fill(0, 300, 0x21), m.Fill(1, 300, 0x7C)};
            m.Negotiate(0);
            m.Negotiate(1);

            sim::Clock& clock = m.machine.clock();
            if (!c.own_reset_on_other)
                clock.after(c.foreign_at, [&] { m.machine.bus(victim).assert_reset(); });
            m.machine.port_driver().reset_bus(waiter);
            if (c.own_reset_on_other) {
                m.machine.port_driver().run_for(c.foreign_at - 500 * sim::kMicrosecond);
                m.machine.port_driver().reset_bus(victim);
            }
            m.machine.port_driver().run_for(5 * sim::kMillisecond);
            ASSERT_FALSE(m.disk(victim).agreement().synchronous()) << "the victim's bus was not reset";

            for (size_t i : {size_t(0), size_t(1)}) {
                SCOPED_TRACE(testing::Message() << "read on adapter " << i);
                auto& data = m.machine.memory().allocate(8 * 512, 0x80);
                sim::Request& r = m.Run(i, Read10(300, 8), data);
                EXPECT_EQ(r.srb.SrbStatus, SRB_STATUS_SUCCESS);
                EXPECT_EQ(Bytes(data), expected[i]);
                EXPECT_EQ(m.machine.bus(i).timing_mismatches(), 0u);
            }
            EXPECT_EQ(m.machine.port_driver().outstanding(), 0u);
            ExpectDriverIdle(m.machine);
            EXPECT_TRUE(m.machine.errors().empty()) << m.machine.errors().summary();
        }
    }
}

// Two adapters on one PCI interrupt line: the driver connects each
// LevelSensitive, so the port shares the line between them, the start-up scan
// finds both disks, and reads on both buses at once, interrupting on the same
// line, return the data on each disk.
TEST(TwoAdapters, ShareOneInterruptLine)
{
    TwoAdapters m(2 * sim::kMicrosecond, 2 * sim::kMicrosecond, true);
    sim::PortDriver& port = m.machine.port_driver();
    ASSERT_EQ(port.adapter_count(), 2u);
    for (size_t i : {size_t(0), size_t(1)}) {
        EXPECT_EQ(port.adapter(i).config.InterruptMode, LevelSensitive);
        EXPECT_TRUE(port.adapter(i).connected) << port.adapter(i).not_connected;
        EXPECT_TRUE(port.adapter(i).initialized);
    }
    const std::vector<sim::FoundUnit> found = sim::scan_devices(m.machine);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].adapter, 0u);
    EXPECT_EQ(found[1].adapter, 1u);

    std::vector<uint8_t> expected[2] = {m.Fill(0, 300, 0x21), m.Fill(1, 300, 0x7C)};
    const uint64_t claimed[2] = {port.adapter(0).interrupts_claimed, port.adapter(1).interrupts_claimed};
    sim::PhysicalMemory::Buffer* data[2] = {};
    const sim::Request* reads[2] = {};
    for (size_t i : {size_t(0), size_t(1)}) {
        data[i] = &m.machine.memory().allocate(8 * 512, 0x80);
        sim::RequestSpec request;
        request.cdb = Read10(300, 8);
        request.buffer = data[i];
        request.direction = DataDirection::In;
        reads[i] = &port.submit(i, request);
    }
    EXPECT_EQ(port.run_until_idle(), sim::PortDriver::RunResult::Idle);
    for (size_t i : {size_t(0), size_t(1)}) {
        SCOPED_TRACE(testing::Message() << "read on adapter " << i);
        EXPECT_EQ(reads[i]->srb.SrbStatus, SRB_STATUS_SUCCESS);
        EXPECT_EQ(Bytes(*data[i]), expected[i]);
        EXPECT_GT(port.adapter(i).interrupts_claimed, claimed[i]);
    }
    ExpectDriverIdle(m.machine);
    EXPECT_TRUE(m.machine.errors().empty()) << m.machine.errors().summary();
}

}  // namespace
}  // namespace hbatest
