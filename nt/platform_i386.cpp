// The three platform hooks of the kernel build, done with the processor's own
// instructions. Compiled only into the i386 kernel image.
#include "miniport.h"

#define EFLAGS_IF 0x200

// The flags as they were, with interrupts now off. pushfd, cli and pop stay
// one sequence so that nothing runs between reading the flags and clearing IF.
extern "C" ULONG SaveFlagsAndDisableInterrupts(void)
{
    ULONG flags;
    __asm__ __volatile__("pushfl\n\t"
                         "cli\n\t"
                         "popl %0"
                         : "=r"(flags)
                         :
                         : "memory");
    return flags;
}

// Interrupts go back on only if they were on when the flags were saved. No
// popfd: the saved value is only ever used for its interrupt flag, and the
// rest of the flags must not be put back from a stale copy.
extern "C" VOID RestoreFlags(ULONG SavedFlags)
{
    if (SavedFlags & EFLAGS_IF)
        __asm__ __volatile__("sti" : : : "memory");
}

// System control port B: bit 0x10 toggles with every memory refresh cycle.
extern "C" UCHAR ReadSystemControlPort(void)
{
    UCHAR value;
    __asm__ __volatile__("inb $0x61, %0" : "=a"(value) : : "memory");
    return value;
}
