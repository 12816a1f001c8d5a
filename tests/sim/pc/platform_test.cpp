// The PC's own rules: the two PCI configuration mechanisms, the settings
// EEPROM's serial protocol, port 0x61's refresh toggle and physical memory.
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>

#include "pc/machine.h"
#include "support/machines.h"

namespace hbatest {
namespace {

using sim::Width;

sim::MachineConfig TwoAdapters(bool mech1, bool mech2)
{
    sim::MachineConfig c;
    c.mechanism1 = mech1;
    c.mechanism2 = mech2;
    sim::AdapterConfig a;
    a.bus = 1;
    a.device = 1;
    a.irq = 10;
    sim::AdapterConfig high;
    high.device = 20;
    high.io_base = 0xE400;
    c.adapters = {a, high};
    return c;
}

uint32_t Mech1Read(sim::Machine& m, uint32_t bus, uint32_t dev, uint8_t reg, uint16_t data_port, Width w)
{
    m.ports().write(0xCF8, Width::Dword, 0x80000000u | bus << 16 | dev << 11 | reg);
    return m.ports().read(data_port, w);
}

uint32_t Mech2Read(sim::Machine& m, uint8_t bus, uint8_t dev, uint8_t reg, Width w, uint8_t cse = 0x20)
{
    m.ports().write(0xCFA, Width::Byte, bus);
    m.ports().write(0xCF8, Width::Byte, cse);
    uint32_t v = m.ports().read(static_cast<uint16_t>(0xC000 + dev * 256 + reg), w);
    m.ports().write(0xCF8, Width::Byte, 0);
    return v;
}

TEST(Pci, Mechanism1ReachesEveryDeviceByDwordWithNarrowAccessesInsideIt)
{
    sim::Machine m(TwoAdapters(true, false));
    EXPECT_EQ(Mech1Read(m, 1, 1, 0x00, 0xCFC, Width::Dword), 0x20201022u);
    EXPECT_EQ(Mech1Read(m, 1, 1, 0x10, 0xCFC, Width::Word), 0xE801u);
    EXPECT_EQ(Mech1Read(m, 1, 1, 0x3C, 0xCFC, Width::Byte), 10u);
    EXPECT_EQ(Mech1Read(m, 1, 1, 0x3E, 0xCFC, Width::Byte), 10u);  // bits 1-0 are dropped: register 0x3C
    EXPECT_EQ(Mech1Read(m, 1, 1, 0x00, 0xCFE, Width::Word), 0x2020u);
    EXPECT_EQ(Mech1Read(m, 0, 20, 0x00, 0xCFC, Width::Dword), 0x20201022u);
    EXPECT_EQ(Mech1Read(m, 0, 5, 0x00, 0xCFC, Width::Dword), 0xFFFFFFFFu);  // nobody there
    m.ports().write(0xCF8, Width::Dword, 0x00010800);  // enable bit clear: no configuration cycle
    EXPECT_EQ(m.ports().read(0xCFC, Width::Dword), 0xFFFFFFFFu);
}

TEST(Pci, Mechanism2ReachesDevices0To15OnlyWhileTheKeyIsSet)
{
    sim::Machine m(TwoAdapters(false, true));
    EXPECT_EQ(Mech2Read(m, 1, 1, 0x00, Width::Dword), 0x20201022u);
    EXPECT_EQ(Mech2Read(m, 1, 1, 0x3E, Width::Byte), 0u);  // register 0x3E itself
    EXPECT_EQ(Mech2Read(m, 1, 1, 0x00, Width::Dword, 0x22), 0xFFFFFFFFu);  // function 1
    EXPECT_EQ(m.ports().read(0xC100, Width::Dword), 0xFFFFFFFFu);          // key 0: space closed
    // Device 20 has no data ports under mechanism #2: no page of 0xC000-0xCFFF shows it.
    for (uint8_t dev = 0; dev < 16; dev++)
        EXPECT_NE(Mech2Read(m, 0, dev, 0x10, Width::Word), 0xE401u) << int(dev);
}

TEST(Pci, AnAbsentMechanismsPortsFloat)
{
    for (auto [mech1, mech2] : {std::pair{true, false}, std::pair{false, true}, std::pair{false, false}}) {
        sim::Machine m(TwoAdapters(mech1, mech2));
        EXPECT_EQ(Mech1Read(m, 1, 1, 0x00, 0xCFC, Width::Dword) == 0x20201022u, mech1);
        EXPECT_EQ(Mech2Read(m, 1, 1, 0x00, Width::Dword) == 0x20201022u, mech2);
    }
}

// The EEPROM driven exactly as the driver drives it, through register writes
// to 0xC0/0x80 and samples of register 0x00's low byte.
class EepromLines {
public:
    explicit EepromLines(sim::Machine& m) : f_(*m.pci().find(0, 3, 0)) {}
    void lines(uint8_t v) { f_.write(0x80, Width::Byte, v); }
    void select() { f_.write(0xC0, Width::Byte, 0); }
    void deselect() { lines(0), lines(0); }
    void bit(int b)
    {
        if (b) {
            lines(0x40), lines(0xC0), lines(0x00);
        } else {
            lines(0x80), lines(0x00);
        }
    }
    int sample() { return f_.read(0x00, Width::Byte) == 0x22; }
    int read_bit() { return lines(0x80), lines(0x40), sample(); }
    void command(uint8_t c)
    {
        bit(1);
        for (int i = 7; i >= 0; i--)
            bit(c >> i & 1);
    }
    uint16_t read_word(uint8_t n)
    {
        select();
        command(static_cast<uint8_t>(0x80 + n));
        uint16_t w = 0;
        for (int i = 0; i < 16; i++)
            w = static_cast<uint16_t>(w << 1 | read_bit());
        deselect();
        return w;
    }

private:
    sim::PciFunction& f_;
};

TEST(Eeprom, AnswersTheDriversSequenceWordForWord)
{
    sim::MachineConfig c = sim::default_machine_config();
    c.adapters[0].settings.initiator_id = 6;
    c.adapters[0].settings.targets[3] = {0x17, 5};
    sim::Machine m(c);
    EepromLines e(m);
    const sim::EepromWords expected = sim::build_eeprom_words(c.adapters[0].settings);
    EXPECT_EQ(sim::eeprom_sum(expected), 0x1234);
    EXPECT_EQ(expected[6], 0x0517);
    EXPECT_EQ(expected[32], 0x0006);
    for (uint8_t n = 0; n < 64; n++)
        EXPECT_EQ(e.read_word(n), expected[n]) << "word " << int(n);
    // Deselected, the output floats high: the identity reads whole again.
    EXPECT_EQ(m.pci().config_read(0, 3, 0, 0x00, Width::Dword), 0x20201022u);
    EXPECT_TRUE(m.errors().empty()) << m.errors().summary();
    EXPECT_NE(sim::eeprom_sum(sim::damage_eeprom_words(expected)), 0x1234);
}

TEST(Eeprom, ReportsEveryBreachOfTheProtocol)
{
    const std::vector<std::pair<std::function<void(EepromLines&)>, std::string>> cases = {
        {[](EepromLines& e) { e.bit(1); }, "clocked while deselected"},
        {[](EepromLines& e) { e.select(), e.bit(1), e.bit(0), e.bit(1); }, "opcode other than read"},
        {[](EepromLines& e) { e.select(), e.command(0x85), e.sample(); }, "before the first data bit"},
        {[](EepromLines& e) { e.select(), e.bit(1), e.bit(1), e.bit(0), e.sample(); }, "before the address"},
        {[](EepromLines& e) {
             e.select(), e.command(0x80);
             for (int i = 0; i < 17; i++)
                 e.read_bit();
         },
         "past the last data bit"},
        {[](EepromLines& e) { e.select(), e.bit(1), e.select(); }, "selected again"},
    };
    for (const auto& [act, message] : cases) {
        sim::Machine m(sim::default_machine_config());
        EepromLines e(m);
        act(e);
        ASSERT_FALSE(m.errors().empty()) << message;
        EXPECT_NE(m.errors().all()[0].message.find(message), std::string::npos) << m.errors().summary();
        EXPECT_EQ(m.errors().all()[0].component, "eeprom");
    }
}

TEST(SystemControlPort, ToggleFollowsVirtualTimeAndEachReadCosts)
{
    sim::MachineConfig c;
    c.port61_read_cost = 1000;
    sim::Machine m(c);
    std::vector<uint8_t> seen;
    for (int i = 0; i < 30; i++)
        seen.push_back(m.system_port().read());
    EXPECT_EQ(m.clock().now(), 30 * sim::kMicrosecond);
    // Reads at 1..30 us: bit 0x10 is clear below 15 us, set from 15 to 29, clear at 30.
    EXPECT_EQ(seen[13], 0x00);
    EXPECT_EQ(seen[14], 0x10);
    EXPECT_EQ(seen[28], 0x10);
    EXPECT_EQ(seen[29], 0x00);

    c.port61_present = false;
    sim::Machine without(c);
    EXPECT_EQ(without.system_port().read(), 0xFF);
}

TEST(PhysicalMemory, LayoutsAreScatteredContiguousOrMixedBySeed)
{
    sim::Machine m(sim::MachineConfig{});
    using Layout = sim::PhysicalMemory::Layout;
    auto& memory = m.memory();
    auto runs = [](sim::PhysicalMemory& mem, const sim::PhysicalMemory::Buffer& b) {
        size_t n = 0;
        for (uint32_t at = 0; at < b.length; n++) {
            const uint32_t piece = mem.translate(b.data + at, b.data + b.length).contiguous;
            if (piece == 0) {
                ADD_FAILURE() << "no translation at offset " << at;
                break;
            }
            at += piece;
        }
        return n;
    };
    EXPECT_EQ(runs(memory, memory.allocate(0x10000, 0x200, Layout::Contiguous)), 1u);
    EXPECT_EQ(runs(memory, memory.allocate(0x10000, 0x200, Layout::Scattered)), 17u);
    const size_t mixed = runs(memory, memory.allocate(0x40000, 0, Layout::Random));
    EXPECT_GT(mixed, 1u);
    EXPECT_LT(mixed, 64u);
    // The same seed lays memory out the same way.
    sim::Machine again(sim::MachineConfig{});
    again.memory().allocate(0x10000, 0x200, Layout::Contiguous);
    again.memory().allocate(0x10000, 0x200, Layout::Scattered);
    EXPECT_EQ(runs(again.memory(), again.memory().allocate(0x40000, 0, Layout::Random)), mixed);
}

TEST(PhysicalMemory, DmaOnlyInsideOutstandingBuffersInTheirDirection)
{
    sim::Machine m(sim::MachineConfig{});
    auto& memory = m.memory();
    auto& in = memory.allocate(0x2000, 0, sim::PhysicalMemory::Layout::Scattered);
    auto& out = memory.allocate(0x100);
    out.data[0] = 0x5A;
    const uint32_t in_pa = memory.translate(in.data, in.data + in.length).physical;
    const uint32_t out_pa = memory.translate(out.data, out.data + out.length).physical;
    const uint8_t bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    uint8_t back[8] = {};

    EXPECT_FALSE(memory.dma_write(in_pa, bytes, 8));  // not outstanding yet
    memory.open_window(1, in.data, 0x1000, sim::DataDirection::In);
    memory.open_window(2, out.data, 0x100, sim::DataDirection::Out);
    EXPECT_TRUE(memory.dma_write(in_pa, bytes, 8));
    EXPECT_EQ(in.data[7], 8);
    EXPECT_FALSE(memory.dma_write(in_pa + 0xFFC, bytes, 8));  // runs past the request's 0x1000 bytes
    EXPECT_EQ(in.data[0xFFC], 0);                            // and moves nothing
    EXPECT_FALSE(memory.dma_write(out_pa, bytes, 1));         // data-out buffer written by the device
    EXPECT_FALSE(memory.dma_read(in_pa, back, 1));            // data-in buffer read by the device
    EXPECT_FALSE(memory.dma_read(0x1000, back, 1));           // no buffer at all
    EXPECT_TRUE(memory.dma_read(out_pa, back, 1));
    EXPECT_EQ(back[0], 0x5A);
    memory.close_window(1);
    EXPECT_FALSE(memory.dma_write(in_pa, bytes, 1));
    EXPECT_EQ(m.errors().all().size(), 6u) << m.errors().summary();
}

// Machines no PC could have are refused with a message naming the clash.
TEST(MachineShape, OverlappingPortRangesAreRefused)
{
    struct Case {
        bool mechanism2;
        uint16_t chip;
        std::vector<uint16_t> serial;
        const char* message;
    };
    const Case cases[] = {
        {true, 0xC000, {}, "a chip window at 0xc000 overlaps mechanism #2's configuration ports"},
        {false, 0xC000, {0xC040}, "a serial port at 0xc040 overlaps a chip window"},
        {false, 0xE800, {0xCF8}, "a serial port at 0xcf8 overlaps the PCI configuration ports"},
        {false, 0xE800, {0xC104}, "serial port base 0xc104"},
    };
    for (const Case& c : cases) {
        sim::MachineConfig config = Machine(true, c.mechanism2, {AdapterAt(0, 3, c.chip)});
        config.serial_ports = c.serial;
        try {
            sim::Machine m(config);
            ADD_FAILURE() << "accepted: " << c.message;
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
    }
}

}  // namespace
}  // namespace hbatest
