// The emulated processor keeps the image to what a kernel gives it: a stray
// access, a write to its own code, a fault and a stack overflow each stop the
// run with one model error that names what happened and where, and the
// machine goes on. The image runs the same wherever it is loaded, and every
// routine's stack use is measured.
#include <gtest/gtest.h>

#include <cstring>

#include <fmt/format.h>

#include "loader/pe_file.h"
#include "support/kernel_image.h"

namespace {

using hbatest::BuiltImage;
using hbatest::KernelImage;
using sim::loader::EmulatedDriver;

constexpr uint32_t kBase = EmulatedDriver::kDefaultBase;

// The built image with its entry point's first bytes replaced by `code`.
std::vector<uint8_t> WithEntryCode(std::vector<uint8_t> code)
{
    std::vector<uint8_t> file = BuiltImage();
    const auto pe = *sim::loader::parse_pe(file).file;
    for (uint32_t rva : pe.relocations)
        EXPECT_FALSE(rva + 4 > pe.entry_rva && rva < pe.entry_rva + code.size()) << "a fixup lies in the patch";
    const auto* s = pe.section_at(pe.entry_rva);
    std::memcpy(file.data() + s->raw_offset + (pe.entry_rva - s->virtual_address), code.data(), code.size());
    return file;
}

uint32_t EntryAddress()
{
    return kBase + sim::loader::parse_pe(BuiltImage()).file->entry_rva;
}

std::vector<uint8_t> Le32(uint8_t op, uint32_t v)
{
    return {op, static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

struct Stray {
    const char* name;
    std::vector<uint8_t> code;
    const char* error;
};

TEST(EmulatedDriver, StopsAndNamesEveryAccessAKernelWouldNotAllow)
{
    // The instruction is named where the processor reports it: a fault at the
    // instruction, a trap (the breakpoint) just after it.
    const std::string entry = fmt::format("{:#010x} (image+", EntryAddress());
    const std::string after_entry = fmt::format("{:#010x} (image+", EntryAddress() + 1);
    const Stray cases[] = {
        {"read of unmapped memory", Le32(0xA1, 0x12345678),  // mov eax, [0x12345678]
         "4-byte read of unmapped memory at 0x12345678 by the instruction at "},
        {"write to its own code", Le32(0xA3, EntryAddress()),  // mov [entry], eax
         "write to read-only memory at "},
        {"null pointer", {0x31, 0xC0, 0x8B, 0x00},  // xor eax, eax; mov eax, [eax]
         "read of unmapped memory at 0x00000000"},
        {"breakpoint", {0xCC}, "processor exception 3 at "},
        {"endless recursion", {0xE8, 0xFB, 0xFF, 0xFF, 0xFF},  // call itself
         "DriverEntry overflowed its 12 KiB kernel stack"},
    };
    for (const Stray& c : cases) {
        SCOPED_TRACE(c.name);
        KernelImage image(WithEntryCode(c.code), {});
        ASSERT_TRUE(image.ok());
        sim::Machine machine(sim::default_machine_config());
        EXPECT_NE(machine.boot(image.driver()), 0u);
        ASSERT_EQ(machine.errors().all().size(), 1u) << machine.errors().summary();
        const std::string error = machine.errors().summary();
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
        EXPECT_NE(error.find(std::string(c.name) == "breakpoint" ? after_entry : entry), std::string::npos)
            << "names the instruction: " << error;
        EXPECT_EQ(machine.adapters().size(), 0u);
    }
}

// The interrupt flag the port driver reads is the processor's EFLAGS.IF: an
// image that ends DriverEntry with CLI leaves the machine with interrupts off.
TEST(EmulatedDriver, InterruptFlagIsTheProcessors)
{
    KernelImage image(WithEntryCode({0xFA, 0xC2, 0x08, 0x00}), {});  // cli; ret 8
    ASSERT_TRUE(image.ok());
    sim::Machine machine(sim::default_machine_config());
    EXPECT_TRUE(machine.cpu().interrupts_enabled());
    machine.boot(image.driver());
    EXPECT_EQ(machine.errors().summary(), "");
    EXPECT_FALSE(machine.cpu().interrupts_enabled());
}

// However small the stack is made, running off its end is stopped in the
// guard page below it; 4 KiB is still enough for the driver to boot.
TEST(EmulatedDriver, GuardPageStopsARunawayStackOfAnySize)
{
    KernelImage image(BuiltImage(), {.stack_size = 4096});
    ASSERT_TRUE(image.ok());
    sim::Machine machine(sim::default_machine_config());
    EXPECT_EQ(machine.boot(image.driver()), 0u);
    EXPECT_EQ(machine.errors().summary(), "");

    KernelImage runaway(WithEntryCode({0xE8, 0xFB, 0xFF, 0xFF, 0xFF}), {.stack_size = 4096});
    ASSERT_TRUE(runaway.ok());
    sim::Machine other(sim::default_machine_config());
    other.boot(runaway.driver());
    EXPECT_NE(other.errors().summary().find("overflowed its 4 KiB kernel stack"), std::string::npos)
        << other.errors().summary();

    std::string error;
    EXPECT_FALSE(EmulatedDriver::open(BuiltImage(), {.stack_size = 1000}, error));
    EXPECT_NE(error.find("whole pages"), std::string::npos) << error;
}

// At its preferred base (no fixup moves) and away from it (every fixup moves)
// the image boots alike, and each routine the port driver called has its
// stack use measured, well inside 12 KiB.
TEST(EmulatedDriver, RunsAnywhereItIsLoadedAndMeasuresItsStack)
{
    const uint32_t preferred = sim::loader::parse_pe(BuiltImage()).file->image_base;
    std::vector<size_t> accesses;
    for (uint32_t base : {preferred, kBase, 0x80400000u}) {
        SCOPED_TRACE(base);
        KernelImage image(BuiltImage(), {.base = base});
        ASSERT_TRUE(image.ok());
        EXPECT_EQ(image.driver().base(), base);
        sim::Machine machine(sim::default_machine_config());
        machine.ports().record(true);
        EXPECT_EQ(machine.boot(image.driver()), 0u);
        EXPECT_EQ(machine.errors().summary(), "");
        EXPECT_EQ(machine.adapters().size(), 1u);
        accesses.push_back(machine.ports().recorded().size());
        for (const auto& use : image.driver().stack_use()) {
            const std::string name = use.routine;
            if (name == "DriverEntry" || name == "HwFindAdapter" || name == "HwInitialize") {
                EXPECT_GT(use.calls, 0u) << name;
                EXPECT_GT(use.deepest, 16u) << name;
            }
        }
        EXPECT_GT(image.driver().deepest_stack(), 0u);
        EXPECT_LT(image.driver().deepest_stack(), EmulatedDriver::kStackSize);
    }
    EXPECT_EQ(accesses[0], accesses[1]);
    EXPECT_EQ(accesses[1], accesses[2]);

    std::string error;
    EXPECT_FALSE(EmulatedDriver::open(BuiltImage(), {.base = 0xE0000000}, error));
    EXPECT_NE(error.find("port driver's part of the address space"), std::string::npos) << error;
}

}  // namespace
