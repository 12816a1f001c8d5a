// The emulation of cli, sti and in al,0x61 on small pieces of i386 code of
// the kind the kernel build contains: the simulated interrupt flag follows
// the critical sections, nested ones included; the flags value read by pushfd
// tells the simulated flag; and nothing but the emulated effect reaches the
// code's registers and arithmetic flags.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstring>
#include <vector>

#include "loader/privileged.h"
#include "pc/boundary.h"
#include "pc/machine.h"

namespace {

using Routine = uint32_t (*)(uint32_t);

// Hand-assembled routines, cdecl, one argument, result in EAX.
const std::vector<uint8_t> kSave = {0x9C, 0xFA, 0x58, 0xC3};  // pushfd; cli; pop eax; ret
const std::vector<uint8_t> kRestore = {
    0x8B, 0x44, 0x24, 0x04,        // mov eax, [esp+4]
    0xA9, 0x00, 0x02, 0x00, 0x00,  // test eax, 0x200
    0x74, 0x01,                    // jz +1
    0xFB,                          // sti
    0xC3};
const std::vector<uint8_t> kReadPort61 = {0x8B, 0x44, 0x24, 0x04, 0xE4, 0x61, 0xC3};  // eax = arg; in al,0x61
// Loads known values into every general register, does cli and sti, and
// returns the xor of them all: a clobbered register changes the result.
const std::vector<uint8_t> kRegisters = {
    0x53, 0x56, 0x57, 0x55,        // push ebx, esi, edi, ebp
    0xBB, 0x44, 0x33, 0x22, 0x11,  // mov ebx, 0x11223344
    0xBE, 0x88, 0x77, 0x66, 0x55,  // mov esi, 0x55667788
    0xBF, 0x01, 0x10, 0x01, 0x10,  // mov edi, 0x10011001
    0xBD, 0x02, 0x20, 0x02, 0x20,  // mov ebp, 0x20022002
    0xB9, 0x04, 0x40, 0x04, 0x40,  // mov ecx, 0x40044004
    0xBA, 0x08, 0x80, 0x08, 0x80,  // mov edx, 0x80088008
    0xFA, 0xFB,                    // cli; sti
    0x89, 0xD8, 0x31, 0xF0, 0x31, 0xF8, 0x31, 0xE8, 0x31, 0xC8, 0x31, 0xD0,
    0x5D, 0x5F, 0x5E, 0x5B, 0xC3};
constexpr uint32_t kRegistersXor = 0x11223344 ^ 0x55667788 ^ 0x10011001 ^ 0x20022002 ^ 0x40044004 ^ 0x80088008;
// stc; cli; setc al; movzx eax, al; sti; ret: the carry survives the trap.
const std::vector<uint8_t> kCarry = {0xF9, 0xFA, 0x0F, 0x92, 0xC0, 0x0F, 0xB6, 0xC0, 0xFB, 0xC3};

class Code {
public:
    explicit Code(const std::vector<uint8_t>& bytes)
    {
        memory_ = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        std::memcpy(memory_, bytes.data(), bytes.size());
        mprotect(memory_, 4096, PROT_READ | PROT_EXEC);
        EXPECT_TRUE(sim::loader::trap_privileged_instructions(address(), 4096));
    }
    ~Code()
    {
        sim::loader::forget_privileged_instructions(address());
        munmap(memory_, 4096);
    }
    uint32_t operator()(uint32_t argument = 0) const { return reinterpret_cast<Routine>(memory_)(argument); }

private:
    uint32_t address() const { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(memory_)); }
    void* memory_;
};

class PrivilegedInstructions : public ::testing::Test {
protected:
    sim::Machine machine{sim::default_machine_config()};
    sim::CurrentMachineScope scope{&machine};
};

TEST_F(PrivilegedInstructions, NestedSectionsFollowTheSimulatedFlag)
{
    Code save(kSave), restore(kRestore);
    const uint32_t outer = save();
    EXPECT_TRUE(outer & 0x200);
    EXPECT_FALSE(machine.cpu().interrupts_enabled());
    const uint32_t inner = save();
    EXPECT_FALSE(inner & 0x200) << "a user-mode pushfd shows interrupts on; the saved value must not";
    restore(inner);
    EXPECT_FALSE(machine.cpu().interrupts_enabled()) << "the inner section turned interrupts back on";
    restore(outer);
    EXPECT_TRUE(machine.cpu().interrupts_enabled());
    EXPECT_EQ(machine.cpu().depth(), 0u);
    EXPECT_EQ(machine.errors().summary(), "");
}

TEST_F(PrivilegedInstructions, PortReadChangesOnlyAl)
{
    Code read(kReadPort61);
    for (uint32_t seed : {0xABCDEF00u, 0x123456FFu}) {
        const uint32_t result = read(seed);
        EXPECT_EQ(result & 0xFFFFFF00u, seed & 0xFFFFFF00u);
    }
    EXPECT_EQ(machine.errors().summary(), "");
}

TEST_F(PrivilegedInstructions, RegistersAndArithmeticFlagsSurvive)
{
    Code registers(kRegisters), carry(kCarry);
    EXPECT_EQ(registers(), kRegistersXor);
    EXPECT_EQ(carry(), 1u);
    EXPECT_TRUE(machine.cpu().interrupts_enabled());
    EXPECT_EQ(machine.errors().summary(), "");
}

// A restore that no save of the code's opened is the platform's to judge.
TEST_F(PrivilegedInstructions, StrayStiIsReportedByThePlatform)
{
    Code restore(kRestore);
    restore(0x202);
    EXPECT_NE(machine.errors().summary(), "");
}

}  // namespace
