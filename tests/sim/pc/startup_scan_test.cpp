// The port driver's start-up scan run against the real driver: every ID and
// LUN is asked, exactly the devices present are found, the scan reports the
// timing the bus saw and the tagged queuing the INQUIRY data offers, and it
// leaves the agreements and queue depths in the driver's LUN records.
#include "support/driver_fixture.h"

#include <map>

#include "pc/startup_scan.h"
#include "linked_driver.h"

namespace hbatest {
namespace {

sim::MachineConfig TwoAdapters()
{
    sim::AdapterSettings first = Flags(sim::kTargetParity | sim::kTargetDisconnect | sim::kTargetTagged | sim::kTargetSync);
    first.initiator_id = 6;
    first.targets[2].flags = sim::kTargetParity | sim::kTargetDisconnect | sim::kTargetTagged;  // no negotiation

    sim::DeviceConfig small = DiskAt(2);
    small.options.vendor = "ACME";
    small.options.product = "SMALL";
    small.options.revision = "2.1";
    small.options.block_count = 1000;
    sim::TargetOptions untagged;
    untagged.tagged_queuing = false;

    sim::AdapterConfig a = AdapterAt(0, 3, 0xE800, 11);
    a.settings = first;
    a.devices = {DiskAt(0), small, OpticalAt(5), DiskAt(7, untagged)};
    sim::AdapterConfig b = AdapterAt(0, 4, 0xEC00, 10);
    sim::TargetOptions busy;
    busy.busy_answers = 2;  // the scan asks again
    b.devices = {DiskAt(1, busy)};
    sim::MachineConfig config;
    config.adapters = {a, b};
    return config;
}

TEST(StartupScan, FindsExactlyTheDevicesAndLeavesTheirSettings)
{
    sim::Machine machine(TwoAdapters());
    machine.boot(hba::linked_driver());
    ASSERT_EQ(machine.port_driver().adapter_count(), 2u);
    std::map<std::pair<size_t, uint8_t>, int> selections, timeouts;
    auto key = [](size_t a, int id) { return std::make_pair(a, uint8_t(id)); };
    for (size_t a = 0; a < 2; a++)
        machine.bus(a).set_listener([&, a](const BusEvent& e) {
            if (e.kind == BusEvent::Kind::Selection)
                selections[key(a, e.target)]++;
            if (e.kind == BusEvent::Kind::SelectionTimeout)
                timeouts[key(a, e.target)]++;
        });

    const std::vector<sim::FoundUnit> found = sim::scan_devices(machine);

    struct Expected {
        size_t adapter;
        uint8_t id, peripheral;
        const char* vendor;
        const char* product;
        uint64_t blocks;
        uint32_t blockSize;
        uint8_t period, offset, depth;  // the driver's records
        uint32_t period_ns;              // the bus's view
        bool tagged;                     // the INQUIRY data as returned
    };
    const sim::BlockDeviceOptions optical = sim::OpticalDrive::optical_defaults();
    const Expected expected[] = {
        // The scan's INQUIRY forbids synchronous negotiation, and no device
        // had sense to fetch: every target is still asynchronous.
        {0, 0, 0x00, "SIM", "BLOCK DEVICE", 65536, 512, 0, 0, 8, 0, true},
        {0, 2, 0x00, "ACME", "SMALL", 1000, 512, 0, 0, 8, 0, true},
        {0, 5, 0x05, optical.vendor.c_str(), optical.product.c_str(), optical.block_count, optical.block_size, 0, 0,
         1, 0, false},
        {0, 7, 0x00, "SIM", "BLOCK DEVICE", 65536, 512, 0, 0, 1, 0, false},
        {1, 1, 0x00, "SIM", "BLOCK DEVICE", 65536, 512, 0, 0, 8, 0, true},
    };
    ASSERT_EQ(found.size(), std::size(expected));
    for (size_t i = 0; i < found.size(); i++) {
        const sim::FoundUnit& d = found[i];
        const Expected& e = expected[i];
        SCOPED_TRACE(testing::Message() << "adapter " << e.adapter << " ID " << int(e.id));
        EXPECT_EQ(d.adapter, e.adapter);
        EXPECT_EQ(d.id, e.id);
        EXPECT_EQ(d.lun, 0);
        EXPECT_EQ(d.peripheral, e.peripheral);
        EXPECT_EQ(d.vendor, e.vendor);
        EXPECT_EQ(d.product, e.product);
        EXPECT_TRUE(d.capacity_known);
        EXPECT_EQ(d.block_count, e.blocks);
        EXPECT_EQ(d.block_size, e.blockSize);
        EXPECT_EQ(d.period_ns, e.period_ns);
        EXPECT_EQ(d.offset, e.offset);
        EXPECT_EQ(d.tagged, e.tagged);
        const LunRecord& lun = internals::Extension(machine, e.adapter)->Lun[e.id][0];
        EXPECT_EQ(lun.SyncPeriodReg, e.period);
        EXPECT_EQ(lun.SyncOffsetReg, e.offset);
        EXPECT_EQ(lun.QueueDepth, e.depth);
    }
    EXPECT_EQ(found[1].revision, "2.1");

    // An empty ID is asked once per LUN: a selection time-out is not sent
    // again. The adapter's own ID is never asked.
    for (uint8_t id : {1, 3, 4})
        EXPECT_EQ(timeouts[key(0, id)], 8) << "ID " << int(id);
    EXPECT_EQ(selections[key(0, 6)], 0);
    EXPECT_EQ(selections[key(1, 7)], 0);
    // A device: eight INQUIRYs and one READ CAPACITY.
    EXPECT_EQ(selections[key(0, 0)] - timeouts[key(0, 0)], 9);
    EXPECT_EQ(machine.port_driver().outstanding(), 0u);
    ExpectDriverIdle(machine);
    EXPECT_TRUE(machine.errors().empty()) << machine.errors().summary();
}

// The port driver's INQUIRY goes with SRB_FLAGS_DISABLE_SYNCH_TRANSFER: on
// the bus, no SDTR goes with one. READ CAPACITY is an ordinary data-in
// request.
TEST(StartupScan, InquiryOffersNoSynchronousNegotiation)
{
    sim::Machine machine(TwoAdapters());
    machine.boot(hba::linked_driver());
    struct Command {
        uint8_t identify = 0;
        bool sdtr = false;
        uint8_t opcode = 0xFF;
    };
    std::vector<Command> commands;  // adapter 0's, in order
    // From an IDENTIFY to the first command byte (messages in between: an SDTR exchange).
    bool identified = false, after_identify = false;
    machine.bus(0).set_listener([&](const BusEvent& e) {
        if (e.kind == BusEvent::Kind::MessageOut) {
            if (after_identify && e.byte == 0x01)
                commands.back().sdtr = true;
            after_identify = (e.byte & 0x80) != 0;
            if (after_identify) {
                commands.push_back({e.byte});
                identified = true;
            }
        } else if (e.kind == BusEvent::Kind::Command && identified) {
            commands.back().opcode = e.byte;
            identified = false;
        }
    });
    machine.port_driver().record_completions();
    const size_t before = machine.port_driver().completed().size();
    const std::vector<sim::FoundUnit> found = sim::scan_devices(machine);
    ASSERT_FALSE(found.empty());

    const auto& completed = machine.port_driver().completed();
    for (size_t i = before; i < completed.size(); i++) {
        const SCSI_REQUEST_BLOCK& srb = completed[i]->srb;
        const ULONG own = srb.SrbFlags & ~ULONG{SRB_FLAGS_QUEUE_ACTION_ENABLE};
        if (srb.Cdb[0] == 0x12)
            EXPECT_EQ(own, ULONG{SRB_FLAGS_DATA_IN | SRB_FLAGS_DISABLE_SYNCH_TRANSFER});
        else
            EXPECT_EQ(own, ULONG{SRB_FLAGS_DATA_IN}) << "opcode " << int(srb.Cdb[0]);
    }
    size_t inquiries = 0, capacities = 0;
    for (const Command& c : commands) {
        if (c.opcode == 0x12) {
            inquiries++;
            EXPECT_FALSE(c.sdtr) << "an INQUIRY offered SDTR";
        }
        capacities += c.opcode == 0x25;
    }
    EXPECT_GT(inquiries, 8u);
    EXPECT_EQ(capacities, 4u);
    EXPECT_TRUE(machine.errors().empty()) << machine.errors().summary();
}

// An INQUIRY that fails other than by a selection time-out (here: the
// target takes it and leaves the bus) is sent twice more; a LUN whose three
// INQUIRYs all fail is given up.
TEST(StartupScan, AFailedInquiryIsSentAgainTwice)
{
    class LeavesTheBus : public sim::TargetFaultHooks {
    public:
        explicit LeavesTheBus(unsigned count) : left_(count) {}
        void command_planned(sim::Target& /*target*/, sim::PlannedCommand& command) override
        {
            if (command.cdb[0] != 0x12 || command.lun != 0 || left_ == 0)
                return;
            left_--;
            command.steps = {{sim::Target::Step::Kind::Free}};
        }

    private:
        unsigned left_;
    };
    for (unsigned failures : {2u, 3u}) {
        SCOPED_TRACE(testing::Message() << failures << " INQUIRYs fail");
        sim::MachineConfig config;
        config.adapters = {AdapterAt(0, 3, 0xE800, 11)};
        config.adapters[0].devices = {DiskAt(0)};
        sim::Machine machine(config);
        ASSERT_EQ(machine.boot(hba::linked_driver()), 0u);
        LeavesTheBus leaves(failures);
        machine.bus(0).target(0)->set_fault_hooks(&leaves);
        size_t inquiries = 0;
        machine.bus(0).set_listener([&](const BusEvent& e) {
            inquiries += e.kind == BusEvent::Kind::Command && e.byte == 0x12;
        });
        const std::vector<sim::FoundUnit> found = sim::scan_devices(machine);
        machine.bus(0).target(0)->set_fault_hooks(nullptr);
        const bool found_disk = !found.empty() && found[0].id == 0 && found[0].lun == 0;
        EXPECT_EQ(found_disk, failures < 3);
        // LUN 0 asked up to three times, LUNs 1-7 once each (qualifier 3).
        EXPECT_EQ(inquiries, 3u + 7u);
        EXPECT_TRUE(machine.errors().empty()) << machine.errors().summary();
    }
}

// READ CAPACITY is the class driver's: one that ends with a CHECK CONDITION
// whose sense says nothing, or BUSY still after the port driver's twenty
// retries, is sent again up to four times, then the capacity stays unknown.
TEST(StartupScan, ReadCapacityIsSentAgainAsAClassDriverDoes)
{
    // Answers the first `count` READ CAPACITY commands with `status` alone.
    class Refuses : public sim::TargetFaultHooks {
    public:
        Refuses(uint8_t status, unsigned count) : status_(status), left_(count) {}
        void command_planned(sim::Target& /*target*/, sim::PlannedCommand& command) override
        {
            if (command.cdb[0] != 0x25 || left_ == 0)
                return;
            left_--;
            using Kind = sim::Target::Step::Kind;
            command.reply = sim::CommandReply{.status = status_};
            command.steps = {{Kind::Status}, {Kind::MessageIn, {0x00}}, {Kind::Free}};
        }

    private:
        uint8_t status_;
        unsigned left_;
    };
    constexpr unsigned kPortSendings = 21;  // the first and twenty retries
    const struct {
        const char* what;
        uint8_t status;
        unsigned refused;
        bool capacity_known;
    } cases[] = {
        {"CHECK CONDITION four times", 0x02, 4, true},
        {"CHECK CONDITION five times", 0x02, 5, false},
        {"BUSY through one sending's port retries", 0x08, kPortSendings, true},
        {"BUSY through five sendings' port retries", 0x08, 5 * kPortSendings, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        sim::MachineConfig config;
        config.adapters = {AdapterAt(0, 3, 0xE800, 11)};
        config.adapters[0].devices = {DiskAt(0)};
        sim::Machine machine(config);
        ASSERT_EQ(machine.boot(hba::linked_driver()), 0u);
        Refuses refuses(c.status, c.refused);
        machine.bus(0).target(0)->set_fault_hooks(&refuses);
        const std::vector<sim::FoundUnit> found = sim::scan_devices(machine);
        machine.bus(0).target(0)->set_fault_hooks(nullptr);
        ASSERT_EQ(found.size(), 1u);
        EXPECT_EQ(found[0].capacity_known, c.capacity_known);
        EXPECT_TRUE(machine.errors().empty()) << machine.errors().summary();
    }
}

}  // namespace
}  // namespace hbatest
