// The instructions of a kernel image that a user process may not execute,
// emulated against the simulated PC (i386 hosts only). cli, sti and
// in al,0x61 fault with a general protection error; the fault handler moves
// the thread to a small trampoline that performs the instruction through the
// platform hooks the simulator defines (SaveFlagsAndDisableInterrupts,
// RestoreFlags, ReadSystemControlPort) and resumes after it. The image
// itself is not changed.
//
// The kernel build reads the flags with pushfd before its cli; a user-mode
// pushfd always shows interrupts on, so when a cli follows a pushfd and
// precedes a pop, the interrupt flag of the value about to be popped is set
// to the simulated flag as it was before the cli.
#pragma once

#include <cstdint>

namespace sim::loader {

class LoadedImage;

// Emulates the privileged instructions of `image`'s code from now on (at
// most a few images at a time). False when the handler cannot be installed
// or there is no room for another image, or on a host that is not i386.
bool trap_privileged_instructions(const LoadedImage& image);
// Stops for `image`; faults there are then the process's own again.
void forget_privileged_instructions(const LoadedImage& image);
// The same for any range of code of this process's own (address, length).
bool trap_privileged_instructions(uint32_t first, uint32_t size);
void forget_privileged_instructions(uint32_t first);

// Times each instruction was emulated, for tests.
struct TrapCounts {
    uint64_t cli = 0, sti = 0, port61 = 0, flags_fixed = 0;
};
TrapCounts privileged_instruction_counts();

}  // namespace sim::loader
