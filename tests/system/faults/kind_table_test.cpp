// The kind table (sim/bus/fault_kinds.h) against what reads it. The fuzzer's
// input selects each kind by the bit the kind's row gives it and by no other
// bit, and the kinds from before the table keep the bits they had, so that
// inputs keep their meaning. A legal behaviour, alone and often, fails no
// request and leaves nothing in the event log. (The faults' log codes are
// checked kind by kind in faults_test.cpp, EachFault; the timed column in
// tests/sim/bus/fault_kinds_test.cpp.)
#include <gtest/gtest.h>

#include <initializer_list>
#include <map>
#include <set>
#include <span>
#include <string_view>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "linked_driver.h"
#include "pc/machine_faults.h"
#include "pc/timeouts.h"
#include "support/driver_internals.h"
#include "support/machines.h"
#include "workload/device_scan.h"
#include "workload/hostile_input.h"
#include "workload/workload.h"

namespace hbatest {
namespace {

using sim::FaultKindRow;
using sim::FaultSet;
using sim::kFaultKindTable;

// The bits of the kind bytes that ask for more bytes, as the hostile input
// lays them out: bit 23 asks for byte 3, bit 30 for byte 4, bit 31 for the
// unusual requests' byte, and from byte 4 on each byte's top bit for the next.
unsigned AsksForByte(size_t n) { return n == 3 ? 23 : n == 4 ? 30 : unsigned(8 * n - 1); }
bool AsksForMore(unsigned bit) { return bit == 23 || bit == 30 || bit == 31 || (bit >= 39 && bit % 8 == 7); }

// Kind bytes with `bits` set, and the bits that ask for the bytes they are in.
std::vector<uint8_t> KindBytes(std::initializer_list<unsigned> bits)
{
    std::vector<uint8_t> bytes(3);
    for (const unsigned bit : bits) {
        if (bytes.size() <= bit / 8)
            bytes.resize(bit / 8 + 1);
        bytes[bit / 8] |= uint8_t(1u << (bit % 8));
    }
    for (size_t n = 3; n < bytes.size(); n++)
        bytes[AsksForByte(n) / 8] |= uint8_t(1u << (AsksForByte(n) % 8));
    return bytes;
}

unsigned KindBytesNeeded()
{
    unsigned n = 4;
    for (const FaultKindRow& row : kFaultKindTable)
        n = std::max(n, row.hostile_bit / 8u + 1);
    return n;
}

sim::workload::HostileKinds Decode(std::vector<uint8_t> bytes, size_t& left)
{
    bytes.push_back(0x5A);  // what comes after the kind bytes
    std::span<const uint8_t> in(bytes);
    const sim::workload::HostileKinds kinds = sim::workload::hostile_kinds(in);
    left = in.size();
    return kinds;
}

// Every kind by its bit alone: the decoder reads exactly the kind bytes and
// selects that kind and no other, and a whole run has it (and it alone) in play.
TEST(KindTable, TheHostileInputSelectsEachKindByItsOwnBit)
{
    std::set<unsigned> bits;
    for (const FaultKindRow& row : kFaultKindTable) {
        SCOPED_TRACE(row.name);
        EXPECT_TRUE(bits.insert(row.hostile_bit).second) << "another kind has bit " << int(row.hostile_bit);
        EXPECT_FALSE(AsksForMore(row.hostile_bit));
        const std::vector<uint8_t> kind_bytes = KindBytes({row.hostile_bit});
        size_t left = 0;
        const sim::workload::HostileKinds decoded = Decode(kind_bytes, left);
        EXPECT_EQ(decoded.kinds, FaultSet{}.set(size_t(row.kind)));
        EXPECT_FALSE(decoded.unusual);
        EXPECT_EQ(left, 1u) << "not exactly the kind bytes were read";

        // The machine's seven bytes, the kind bytes, the rate (63/128), the
        // workload, then the devices' choices.
        std::vector<uint8_t> input = {3, 40, 60, 2, 1, 20, 2};
        input.insert(input.end(), kind_bytes.begin(), kind_bytes.end());
        input.insert(input.end(), {0x3F, 6, 50, 3, 1, 7});
        for (unsigned i = 0; i < 300; i++)
            input.push_back(uint8_t(i * 37 + 11));
        const sim::workload::HostileRun run =
            sim::workload::run_hostile_input(input, hba::linked_driver(), internals::DriverHoldsNothing);
        EXPECT_EQ(run.devices, 2u);
        EXPECT_EQ(run.result.kinds, FaultSet{}.set(size_t(row.kind)));
    }
}

// Every bit the table gives no kind selects nothing, and all the kinds' bits
// together select every kind: the fuzzer reaches every row.
TEST(KindTable, TheHostileInputReachesEveryKindAndNoOtherBitSelectsOne)
{
    std::set<unsigned> given;
    for (const FaultKindRow& row : kFaultKindTable)
        given.insert(row.hostile_bit);
    for (unsigned bit = 0; bit < 8 * KindBytesNeeded(); bit++) {
        if (given.contains(bit) || AsksForMore(bit))
            continue;
        SCOPED_TRACE(bit);
        size_t left = 0;
        EXPECT_TRUE(Decode(KindBytes({bit}), left).kinds.none());
    }
    std::vector<uint8_t> all(3);
    for (const unsigned bit : given) {
        const std::vector<uint8_t> one = KindBytes({bit});
        all.resize(std::max(all.size(), one.size()));
        for (size_t i = 0; i < one.size(); i++)
            all[i] |= one[i];
    }
    size_t left = 0;
    EXPECT_EQ(Decode(all, left).kinds, sim::all_faults());
    EXPECT_EQ(left, 1u);
}

// The bits the kinds had when the decoder gave them by their place in the
// enum (the first 22 kinds bits 0-21, the next six bits 24-29, the next
// seven from bit 32 on): the fuzzer's corpus and its findings were made
// with these, and keep their meaning only with them. A kind added later
// joins this list with the bit it gets, so that it keeps it too.
TEST(KindTable, TheKindsFromBeforeKeepTheirBits)
{
    const std::map<std::string_view, unsigned> before = {
        {"parity-error", 0},
        {"unknown-message", 1},
        {"two-byte-message", 2},
        {"extended-message", 3},
        {"unsolicited-sdtr", 4},
        {"stray-message-reject", 5},
        {"status-before-data", 6},
        {"message-out-request", 7},
        {"long-data-phase", 8},
        {"short-data-phase", 9},
        {"queue-full", 10},
        {"busy", 11},
        {"never-returns", 12},
        {"hang-in-phase", 13},
        {"bogus-tag", 14},
        {"reselection-no-target-bit", 15},
        {"reselection-several-target-bits", 16},
        {"selection-timeout", 17},
        {"ghost-reselection", 18},
        {"foreign-bus-reset", 19},
        {"foreign-interrupt", 20},
        {"missing-tag", 21},
        {"save-pointer-continue", 24},
        {"bare-disconnect", 25},
        {"disconnect-any-byte", 26},
        {"restore-pointers", 27},
        {"sdtr-any-answer", 28},
        {"target-sdtr", 29},
        {"optional-message", 32},
        {"second-command-phase", 33},
        {"disconnect-after-data", 34},
    };
    for (const auto& [name, bit] : before) {
        SCOPED_TRACE(name);
        const auto kind = sim::fault_from_name(name);
        ASSERT_TRUE(kind);
        EXPECT_EQ(sim::fault_row(*kind).hostile_bit, bit);
    }
}

// Each legal behaviour alone, at about every third command of two disks
// (one tagged) from the start-up scan on, as an ordinary run draws a
// device's own (its SDTR answers among them): it is drawn, every request
// succeeds in full, none ends by a reset or a time-out, no rule of the
// machine is broken and the event log stays empty, as the table's log code
// 0 says.
TEST(KindTable, ALegalBehaviourAloneFailsNothingAndLogsNothing)
{
    for (const FaultKindRow& row : kFaultKindTable) {
        if (row.conduct != sim::Conduct::Legal)
            continue;
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.log_code, 0u);
        sim::MachineConfig mc = OneAdapter({Disk(0), Disk(1)});
        for (sim::DeviceConfig& d : mc.adapters[0].devices) {
            d.options.track_seek = 300 * kUs;  // slow enough to disconnect
            d.options.full_seek = 4 * sim::kMillisecond;
            d.options.revolution = 2 * sim::kMillisecond;
        }
        mc.adapters[0].devices[1].options.target.tagged_queuing = false;
        mc.seed = 3;
        sim::Machine machine(mc);
        sim::RngChoices choices(machine.rng());
        sim::MachineFaults faults(machine, choices);
        for (const uint8_t id : {0, 1})
            faults.device(0, id).set_behaviours(FaultSet{}.set(size_t(row.kind)), 0.3);
        ASSERT_EQ(machine.boot(hba::linked_driver()), 0u);
        sim::workload::WorkloadConfig workload;
        workload.requests = 30;
        workload.read_percent = 50;
        workload.outstanding = 4;
        workload.unusual.legal_flags = 0;  // plain requests: what is logged is the behaviour's
        workload.unusual.against_direction = 0;
        workload.unusual.linked = 0;
        sim::workload::Runner runner(machine, sim::workload::scan_machine(machine), workload);
        const sim::workload::Results results = runner.run();

        EXPECT_GT(faults.counts()[size_t(row.kind)], 0u) << "never drawn";
        EXPECT_TRUE(results.clean()) << fmt::format("{}", fmt::join(results.problems(), "\n"));
        EXPECT_EQ(results.devices.size(), 2u);
        EXPECT_EQ(results.total.short_transfers, 0u);
        EXPECT_EQ(results.total.resent_after_reset, 0u);
        const sim::PortDriver& port = machine.port_driver();
        EXPECT_EQ(port.timeouts().time_outs(), 0u);
        EXPECT_EQ(port.adapter(0).resets_detected, 0u);
        EXPECT_TRUE(port.logged_by_code().empty());
        EXPECT_TRUE(machine.errors().empty()) << machine.errors().summary();
    }
}

}  // namespace
}  // namespace hbatest
