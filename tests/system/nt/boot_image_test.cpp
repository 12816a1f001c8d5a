// The kernel image itself, on the emulated i386 processor, boots exactly as
// the linked-in driver does: the same status, the same adapters, and the same
// port accesses, one for one, on the same machine.
#include <gtest/gtest.h>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <span>

#include "support/kernel_image.h"
#include "support/machines.h"
#include "linked_driver.h"

namespace {

using hbatest::KernelImage;

struct BootResult {
    uint32_t status;
    std::vector<sim::PortAccess> accesses;
    std::vector<uint32_t> bases;
    std::vector<uint32_t> irqs;
    std::vector<std::string> configs;  // what HwFindAdapter left in the fields the port driver pre-fills
    std::string errors;
    bool interrupts_enabled;
    size_t flag_depth;
};

BootResult Boot(const sim::MachineConfig& config, KernelImage* image)
{
    sim::Machine machine(config);
    machine.ports().record(true);
    BootResult r;
    r.status = image ? machine.boot(image->driver()) : machine.boot(hba::linked_driver());
    r.accesses = machine.ports().recorded();
    for (const auto& a : machine.adapters()) {
        r.bases.push_back(static_cast<uint32_t>((*a.config.AccessRanges)[0].RangeStart.QuadPart));
        r.irqs.push_back(a.config.BusInterruptLevel);
        const PORT_CONFIGURATION_INFORMATION& c = a.config;
        r.configs.push_back(fmt::format("breaks {} max {:#x} dma {:#x}/{:#x} ids {:02x} master {} dma32 {} sg {}",
                                        c.NumberOfPhysicalBreaks, c.MaximumTransferLength, c.DmaChannel, c.DmaPort,
                                        fmt::join(std::span(reinterpret_cast<const uint8_t*>(c.InitiatorBusId), 8), ""),
                                        c.Master, c.Dma32BitAddresses, c.ScatterGather));
    }
    r.errors = machine.errors().summary();
    r.interrupts_enabled = machine.cpu().interrupts_enabled();
    r.flag_depth = machine.cpu().depth();
    return r;
}

sim::AdapterConfig Adapter(uint8_t bus, uint8_t device, uint16_t io_base, uint8_t irq)
{
    sim::AdapterConfig a;
    a.bus = bus;
    a.device = device;
    a.io_base = io_base;
    a.irq = irq;
    a.settings = sim::all_features_settings();
    return a;
}

struct MachineCase {
    const char* name;
    sim::MachineConfig config;
    size_t adapters_found;
};

void PrintTo(const MachineCase& c, std::ostream* os)
{
    *os << c.name;
}

MachineCase DefaultMachine()
{
    return {"default", sim::default_machine_config(), 1};
}

MachineCase TwoAdaptersBothMechanisms()
{
    auto c = sim::default_machine_config();
    c.mechanism2 = true;
    c.adapters = {Adapter(0, 3, 0xE800, 11), Adapter(1, 5, 0xD000, 10)};
    return {"two_adapters_both_mechanisms", c, 2};
}

MachineCase DamagedEeprom()
{
    auto c = sim::default_machine_config();
    c.adapters = {Adapter(0, 3, 0xE800, 11), Adapter(0, 9, 0xD000, 9)};
    c.adapters[0].damaged_eeprom = true;
    return {"damaged_eeprom_passed_over", c, 1};
}

// A driver-parameter string configured: the driver ignores it.
MachineCase WithArgumentString()
{
    MachineCase c = TwoAdaptersBothMechanisms();
    c.name = "argument_string";
    c.config.argument_string = "MaximumTags=8; DisableSync";
    return c;
}

MachineCase NoAdapter()
{
    auto c = sim::default_machine_config();
    c.adapters.clear();
    return {"no_adapter", c, 0};
}

class ImageBoot : public ::testing::TestWithParam<MachineCase> {};

TEST_P(ImageBoot, MatchesTheLinkedDriverAccessForAccess)
{
    const BootResult linked = Boot(GetParam().config, nullptr);
    KernelImage image;
    ASSERT_TRUE(image.ok());
    const BootResult loaded = Boot(GetParam().config, &image);

    EXPECT_EQ(linked.bases.size(), GetParam().adapters_found);
    EXPECT_EQ(loaded.status, linked.status);
    EXPECT_EQ(loaded.bases, linked.bases);
    EXPECT_EQ(loaded.irqs, linked.irqs);
    EXPECT_EQ(loaded.configs, linked.configs);
    EXPECT_EQ(loaded.errors, "");
    EXPECT_EQ(linked.errors, "");
    EXPECT_TRUE(loaded.interrupts_enabled);
    EXPECT_EQ(loaded.flag_depth, 0u);
    ASSERT_FALSE(linked.accesses.empty());
    ASSERT_EQ(loaded.accesses.size(), linked.accesses.size());
    for (size_t i = 0; i < linked.accesses.size(); i++)
        ASSERT_EQ(sim::to_string(loaded.accesses[i]), sim::to_string(linked.accesses[i])) << "access " << i;
}

INSTANTIATE_TEST_SUITE_P(Machines, ImageBoot,
                         ::testing::Values(DefaultMachine(), TwoAdaptersBothMechanisms(), DamagedEeprom(),
                                           WithArgumentString(), NoAdapter()),
                         [](const auto& p) { return std::string(p.param.name); });

// A buffer the port driver bounces below 16 MiB (as for an adapter with
// 24-bit addresses) looks the same to the image as to the linked-in driver:
// its address is the caller's buffer, and only the physical addresses change.
// Both read the INQUIRY data from before the transfer, so neither clears
// CmdQue for the untagged target, and the copy back at completion shows it.
TEST(ImageBoot, ABouncedBufferLooksTheSameAsToTheLinkedDriver)
{
    struct Seen {
        std::vector<uint8_t> data;
        uint8_t status = 0;
        uint64_t bounced = 0, accesses = 0;
        std::string errors;
    };
    auto run = [](KernelImage* image) {
        sim::MachineConfig config = sim::default_machine_config();
        config.adapters[0].settings = hbatest::Flags(sim::kTargetParity | sim::kTargetDisconnect);
        config.adapters[0].devices = {hbatest::DiskAt(0)};
        sim::Machine machine(config);
        Seen seen;
        EXPECT_EQ(image ? machine.boot(image->driver()) : machine.boot(hba::linked_driver()), 0u);
        machine.port_driver().adapter(0).config.Dma32BitAddresses = FALSE;
        auto& buffer = machine.memory().allocate(36, 0xFF0, sim::PhysicalMemory::Layout::Scattered,
                                                 sim::PhysicalMemory::Region::Above16MiB);
        sim::RequestSpec request_spec;
        request_spec.cdb = {0x12, 0, 0, 0, 36, 0};
        request_spec.direction = sim::DataDirection::In;
        request_spec.buffer = &buffer;
        const sim::Request& r = machine.port_driver().submit(0, request_spec);
        machine.port_driver().run_until_idle();
        seen.data.assign(buffer.data, buffer.data + buffer.length);
        seen.status = r.srb.SrbStatus;
        seen.bounced = machine.port_driver().dma().pages_bounced();
        seen.accesses = machine.ports().access_count();
        seen.errors = machine.errors().summary();
        return seen;
    };
    const Seen linked = run(nullptr);
    KernelImage image;
    ASSERT_TRUE(image.ok());
    const Seen loaded = run(&image);
    EXPECT_EQ(linked.errors, "");
    EXPECT_EQ(loaded.errors, "");
    EXPECT_EQ(linked.status, SRB_STATUS_SUCCESS);
    EXPECT_EQ(linked.bounced, 2u);  // 36 bytes across a page boundary
    EXPECT_NE(linked.data[7] & 0x02, 0) << "the driver's clear of CmdQue, overwritten by the copy back";
    EXPECT_EQ(loaded.status, linked.status);
    EXPECT_EQ(loaded.bounced, linked.bounced);
    EXPECT_EQ(loaded.data, linked.data);
    EXPECT_EQ(loaded.accesses, linked.accesses);
}

}  // namespace
