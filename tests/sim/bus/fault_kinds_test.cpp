// The kind table's timed column against what a device's faults do with a
// kind: a timed kind, armed, is handed to the machine with a delay at the
// next command planned (it happens at a moment of its own, and is counted
// when it does); any other is never handed over, and is either applied to
// the command or waits, armed, for the hook it belongs to.
#include <deque>
#include <vector>

#include "bus/faults.h"
#include "support/chip_host.h"

namespace hbatest::chiphost {
namespace {

using sim::FaultKind;
using sim::FaultKindRow;

TEST(KindTable, TimedKindsAndOnlyThemHappenAtAMomentOfTheirOwn)
{
    for (const FaultKindRow& row : sim::kFaultKindTable) {
        SCOPED_TRACE(row.name);
        Fixture f;
        Disk& disk = f.add_disk(0);
        const std::vector<uint8_t> picks(64, 1);
        sim::ByteChoices choices(picks);
        sim::FaultCounts counts{};
        std::vector<FaultKind> handed;
        sim::DeviceFaults faults(disk, choices, counts, [&](FaultKind kind, Nanoseconds) { handed.push_back(kind); });
        faults.force(row.kind);

        // A tagged read of 4 KiB that may disconnect.
        using K = sim::Target::Step::Kind;
        const std::vector<uint8_t> cdb = Read10(8, 8);
        sim::CommandReply reply{.direction = sim::DataDirection::In, .data = std::vector<uint8_t>(4096)};
        std::deque<sim::Target::Step> steps = {{K::DataIn, {}, 4096}, {K::Status}, {K::MessageIn, {0x00}}, {K::Free}};
        sim::PlannedCommand command{0, uint8_t{3}, cdb, true, reply, steps};
        faults.command_planned(disk, command);

        if (is_timed(row.kind)) {
            EXPECT_EQ(handed, std::vector<FaultKind>{row.kind});
            EXPECT_FALSE(faults.armed(row.kind));
            EXPECT_EQ(counts[size_t(row.kind)], 0u) << "counted before it happened";
        } else {
            EXPECT_TRUE(handed.empty());
            EXPECT_NE(faults.armed(row.kind), counts[size_t(row.kind)] == 1u) << "neither applied nor waiting";
        }
    }
    // The three the machine makes happen (MachineFaults::timed).
    EXPECT_TRUE(is_timed(FaultKind::GhostReselection));
    EXPECT_TRUE(is_timed(FaultKind::ForeignBusReset));
    EXPECT_TRUE(is_timed(FaultKind::ForeignInterrupt));
}

}  // namespace
}  // namespace hbatest::chiphost
