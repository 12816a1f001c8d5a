#include "loader/privileged.h"

#include "loader/loaded_image.h"

#if defined(__i386__)

#include <signal.h>
#include <ucontext.h>

#include "miniport.h"

namespace sim::loader {
namespace {

constexpr uint32_t kInterruptFlag = 0x200;
constexpr int kMaxImages = 4;
constexpr int kMaxDisabledDepth = 64;

enum TrapOp : uint32_t { OpCli = 1, OpCliAfterPushfd = 2, OpSti = 3, OpIn61 = 4 };

struct CodeRange {
    uint32_t first = 0, size = 0;
};

CodeRange g_images[kMaxImages];
struct sigaction g_previous;
bool g_installed = false;
TrapCounts g_counts;

// Saved-flags values of the sections that turned the simulated flag off:
// the kernel build executes sti only where interrupts were on, so only those
// sections are ever seen ending.
uint32_t g_disabled[kMaxDisabledDepth];
int g_disabled_depth = 0;

bool in_image(uint32_t address, uint32_t length)
{
    for (const auto& r : g_images)
        if (r.size != 0 && address >= r.first && address - r.first <= r.size - length)
            return true;
    return false;
}

}  // namespace
}  // namespace sim::loader

// The registers as the trampoline leaves them on the stack, lowest address first.
struct TrapFrame {
    uint32_t eflags, edi, esi, ebp, esp, ebx, edx, ecx, eax;
    uint32_t op, resume;
    uint32_t stack[1];  // the image's stack as it was at the trapped instruction
};

extern "C" {
// Handed from the fault handler to the trampoline; taken before anything else runs.
uint32_t hba_trap_op;
uint32_t hba_trap_resume;
void hba_trap_trampoline(void);

__attribute__((used)) void hba_emulate_trap(TrapFrame* f)
{
    using namespace sim::loader;
    switch (f->op) {
    case OpCli:
    case OpCliAfterPushfd: {
        g_counts.cli++;
        const ULONG flags = SaveFlagsAndDisableInterrupts();
        if ((flags & kInterruptFlag) && g_disabled_depth < kMaxDisabledDepth)
            g_disabled[g_disabled_depth++] = flags;
        else
            RestoreFlags(flags);  // already off: nothing changes, nothing stays saved
        if (f->op == OpCliAfterPushfd) {
            f->stack[0] = (f->stack[0] & ~kInterruptFlag) | (flags & kInterruptFlag);
            g_counts.flags_fixed++;
        }
        break;
    }
    case OpSti:
        g_counts.sti++;
        // With no section of ours open, let the platform see (and judge) a
        // restore nobody saved for.
        RestoreFlags(g_disabled_depth > 0 ? g_disabled[--g_disabled_depth] : kInterruptFlag | 0x2);
        break;
    case OpIn61:
        g_counts.port61++;
        f->eax = (f->eax & ~0xFFu) | ReadSystemControlPort();
        break;
    }
}
}

// Entered instead of the trapped instruction: saves every register and the
// arithmetic flags, calls the emulation on a 16-byte aligned stack, restores
// them and returns to the instruction after the trapped one.
__asm__(".text\n"
        ".globl hba_trap_trampoline\n"
        "hba_trap_trampoline:\n"
        "  pushl hba_trap_resume\n"
        "  pushl hba_trap_op\n"
        "  pushal\n"
        "  pushfl\n"
        "  cld\n"
        "  movl %esp, %ebx\n"
        "  andl $-16, %esp\n"
        "  subl $12, %esp\n"
        "  pushl %ebx\n"
        "  call hba_emulate_trap\n"
        "  movl %ebx, %esp\n"
        "  popfl\n"
        "  popal\n"
        "  leal 4(%esp), %esp\n"  // drop the op without touching the flags

        "  ret\n");

namespace sim::loader {
namespace {

void on_fault(int signal, siginfo_t* info, void* context)
{
    auto* uc = static_cast<ucontext_t*>(context);
    greg_t* r = uc->uc_mcontext.gregs;
    const auto eip = static_cast<uint32_t>(r[REG_EIP]);
    const auto* pc = reinterpret_cast<const uint8_t*>(eip);
    uint32_t op = 0, length = 0;
    if (in_image(eip, 1) && pc[0] == 0xFA) {
        const bool pushfd_before = in_image(eip - 1, 1) && pc[-1] == 0x9C;
        const bool pop_after = in_image(eip + 1, 1) && (pc[1] & 0xF8) == 0x58;
        op = pushfd_before && pop_after ? OpCliAfterPushfd : OpCli;
        length = 1;
    } else if (in_image(eip, 1) && pc[0] == 0xFB) {
        op = OpSti;
        length = 1;
    } else if (in_image(eip, 2) && pc[0] == 0xE4 && pc[1] == 0x61) {
        op = OpIn61;
        length = 2;
    }
    if (op == 0) {
        // Not ours: put the previous handling back and let the fault recur.
        sigaction(SIGSEGV, &g_previous, nullptr);
        (void)signal;
        (void)info;
        return;
    }
    hba_trap_op = op;
    hba_trap_resume = eip + length;
    r[REG_EIP] = static_cast<greg_t>(reinterpret_cast<uintptr_t>(&hba_trap_trampoline));
}

bool install()
{
    if (g_installed)
        return true;
    struct sigaction action = {};
    action.sa_sigaction = on_fault;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    if (sigaction(SIGSEGV, &action, &g_previous) != 0)
        return false;
    g_installed = true;
    return true;
}

}  // namespace

bool trap_privileged_instructions(uint32_t first, uint32_t size)
{
    if (size == 0 || !install())
        return false;
    for (auto& r : g_images) {
        if (r.size == 0) {
            r = {first, size};
            return true;
        }
    }
    return false;
}

void forget_privileged_instructions(uint32_t first)
{
    for (auto& r : g_images)
        if (r.first == first)
            r = {};
}

bool trap_privileged_instructions(const LoadedImage& image)
{
    return trap_privileged_instructions(image.base(), image.size());
}

void forget_privileged_instructions(const LoadedImage& image)
{
    forget_privileged_instructions(image.base());
}

TrapCounts privileged_instruction_counts()
{
    return g_counts;
}

}  // namespace sim::loader

#else

namespace sim::loader {

bool trap_privileged_instructions(const LoadedImage&)
{
    return false;
}

void forget_privileged_instructions(const LoadedImage&) {}

bool trap_privileged_instructions(uint32_t, uint32_t)
{
    return false;
}

void forget_privileged_instructions(uint32_t) {}

TrapCounts privileged_instruction_counts()
{
    return {};
}

}  // namespace sim::loader

#endif
