// The settings EEPROM as the driver reads it: the serial command bits it
// clocks out, the words it assembles, and the checksum that accepts or
// rejects the adapter.
#include "support/driver_fixture.h"
#include "linked_driver.h"

namespace hbatest {
namespace {

using Words = std::array<uint16_t, 64>;

// One EEPROM transaction as decoded from the configuration writes and reads:
// the bits clocked in after the select, and how many bits were clocked out.
struct Transaction {
    std::vector<int> bitsIn;
    int bitsOut = 0;
};

// Decode the mechanism #1 configuration traffic to the adapter's EEPROM
// registers: 0xC0 <- 0 selects; on 0x80 the driver writes 0x40,0xC0,0x00 for
// a 1, 0x80,0x00 for a 0, and 0x80,0x40 then reads register 0x00 for each
// bit it takes; 0x00,0x00 deselects.
std::vector<Transaction> DecodeEeprom(const std::vector<PortAccess>& log)
{
    std::vector<Transaction> out;
    std::vector<uint32_t> lines;  // writes to 0x80 since the last decoded token; 0x100 = read of 0x00
    uint32_t address = 0;
    bool selected = false;
    auto flush = [&] {
        size_t i = 0;
        while (i < lines.size()) {
            auto at = [&](size_t k) { return i + k < lines.size() ? lines[i + k] : 0xFFFFu; };
            if (at(0) == 0x40 && at(1) == 0xC0 && at(2) == 0x00) {
                out.back().bitsIn.push_back(1);
                i += 3;
            } else if (at(0) == 0x80 && at(1) == 0x00) {
                out.back().bitsIn.push_back(0);
                i += 2;
            } else if (at(0) == 0x80 && at(1) == 0x40 && at(2) == 0x100) {
                out.back().bitsOut++;
                i += 3;
            } else {
                ADD_FAILURE() << "unexpected EEPROM line sequence at token " << i;
                break;
            }
        }
        lines.clear();
    };
    for (const PortAccess& a : log) {
        if (a.port == 0xCF8 && a.direction == Direction::Write) {
            address = a.value;
            continue;
        }
        if (a.port != 0xCFC || (address & 0xFFFFFF00u) != 0x80001800u)
            continue;
        uint32_t reg = address & 0xFC;
        if (a.direction == Direction::Write && reg == 0xC0) {
            out.push_back({});
            selected = true;
        } else if (a.direction == Direction::Write && reg == 0x80 && selected) {
            // Two clock-low writes in a row end the transaction.
            lines.push_back(a.value);
            if (lines.size() >= 2 && lines[lines.size() - 1] == 0 && lines[lines.size() - 2] == 0) {
                lines.resize(lines.size() - 2);
                flush();
                selected = false;
            }
        } else if (a.direction == Direction::Read && reg == 0x00 && selected) {
            lines.push_back(0x100);
        }
    }
    return out;
}

std::vector<int> Bits(int value, int count)
{
    std::vector<int> bits;
    for (int b = count - 1; b >= 0; b--)
        bits.push_back((value >> b) & 1);
    return bits;
}

TEST(Eeprom, EachWordIsStartBitReadOpcodeAddressThenSixteenBits)
{
    sim::Machine m(Machine(true, false, {AdapterAt(0, 3, 0xE800)}));
    m.ports().record(true);
    m.boot(hba::linked_driver());
    std::vector<Transaction> t = DecodeEeprom(m.ports().recorded());
    ASSERT_EQ(t.size(), 64u);
    for (int n = 0; n < 64; n++) {
        std::vector<int> expected = {1};
        for (int b : Bits(0x80 + n, 8))
            expected.push_back(b);
        EXPECT_EQ(t[n].bitsIn, expected) << "word " << n;
        EXPECT_EQ(t[n].bitsOut, 16) << "word " << n;
    }
    // Word 5's command on the data line: start bit, then 0x85 from bit 7 down.
    EXPECT_EQ(t[5].bitsIn, (std::vector<int>{1, 1, 0, 0, 0, 0, 1, 0, 1}));
    EXPECT_TRUE(m.errors().empty()) << m.errors().summary();
}

Words Balanced(Words w)
{
    uint16_t sum = 0;
    for (int i = 0; i < 63; i++)
        sum = uint16_t(sum + w[i]);
    w[63] = uint16_t(0x1234 - sum);
    return w;
}

TEST(Eeprom, WordsAreAssembledMostSignificantBitFirstIntoALittleEndianImage)
{
    Words w{};
    w[5] = 0x8000;
    w[6] = 0x0001;
    w[32] = 0x0807;  // initiator ID 7, options 0x08
    w = Balanced(w);
    sim::AdapterConfig a = AdapterAt(0, 3, 0xE800);
    a.eeprom_words = w;
    sim::Machine m(Machine(true, false, {a}));
    m.boot(hba::linked_driver());
    ASSERT_EQ(m.adapters().size(), 1u);
    for (int n = 0; n < 64; n++) {
        EXPECT_EQ(DriverGlobals.SettingsImage[2 * n], w[n] & 0xFF) << "word " << n;
        EXPECT_EQ(DriverGlobals.SettingsImage[2 * n + 1], w[n] >> 8) << "word " << n;
    }
}

struct ChecksumCase {
    const char* name;
    Words words;
    bool accepted;
};

Words WithWord(int index, uint16_t value)
{
    Words w{};
    w[index] = value;
    return w;
}

TEST(Eeprom, TheChecksumDecidesWhetherTheAdapterIsUsed)
{
    Words flipped = WithWord(0, 0x1234);
    flipped[17] ^= 0x0400;
    Words ones;
    ones.fill(0xFFFF);
    const ChecksumCase cases[] = {
        {"sum is 0x1234", WithWord(0, 0x1234), true},
        {"sum in the last word", WithWord(63, 0x1234), true},
        {"one bit changed", flipped, false},
        {"all ones (sum 0xFFC0)", ones, false},
        {"all zeros", Words{}, false},
    };
    for (const ChecksumCase& c : cases) {
        sim::AdapterConfig a = AdapterAt(0, 3, 0xE800);
        a.eeprom_words = c.words;
        sim::Machine m(Machine(true, false, {a}));
        m.boot(hba::linked_driver());
        EXPECT_EQ(m.adapters().size(), c.accepted ? 1u : 0u) << c.name;
        EXPECT_TRUE(m.errors().empty()) << c.name << ": " << m.errors().summary();
    }
}

TEST(Eeprom, AMachineWithoutTheRefreshToggleStillBoots)
{
    sim::MachineConfig c = Machine(true, false, {AdapterAt(0, 3, 0xE800)});
    c.port61_present = false;
    sim::Machine m(c);
    EXPECT_EQ(m.boot(hba::linked_driver()), 0u);
    EXPECT_EQ(m.adapters().size(), 1u);
    EXPECT_TRUE(m.errors().empty()) << m.errors().summary();
}

}  // namespace
}  // namespace hbatest
