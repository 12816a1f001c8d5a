// The kernel image itself, on the emulated i386 processor, boots exactly as
// the linked-in driver does: the same status, the same adapters, and the same
// port accesses, one for one, on the same machine.
#include <gtest/gtest.h>

#include "support/kernel_image.h"

namespace {

using hbatest::KernelImage;

struct BootResult {
    uint32_t status;
    std::vector<sim::PortAccess> accesses;
    std::vector<uint32_t> bases;
    std::vector<uint32_t> irqs;
    std::string errors;
    bool interrupts_enabled;
    size_t flag_depth;
};

BootResult Boot(const sim::MachineConfig& config, KernelImage* image)
{
    sim::Machine machine(config);
    machine.ports().record(true);
    BootResult r;
    r.status = image ? machine.boot(image->driver()) : machine.boot();
    r.accesses = machine.ports().recorded();
    for (const auto& a : machine.adapters()) {
        r.bases.push_back(static_cast<uint32_t>((*a.config.AccessRanges)[0].RangeStart.QuadPart));
        r.irqs.push_back(a.config.BusInterruptLevel);
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
                                           NoAdapter()),
                         [](const auto& p) { return std::string(p.param.name); });

}  // namespace
