// The processor a kernel-mode driver image may assume: an 80386 with no
// coprocessor. Every instruction of every executable section is decoded
// with capstone, from the first byte to the last (the linker's empty
// constructor lists that close the code section excepted), and each one
// that such a processor lacks, or that does not decode, is named with its
// address: conditional moves, x87 and MMX/SSE/AVX, the 486's and the P5 class's
// additions (BSWAP, CMPXCHG, XADD, INVD, WBINVD, INVLPG, CPUID, RDTSC,
// CMPXCHG8B, RDMSR/WRMSR), SYSENTER, multi-byte NOPs and the like. A kernel
// driver that executes an opcode its processor does not have stops the
// whole system.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "loader/pe_file.h"

namespace sim::loader {

struct ForeignInstruction {
    uint32_t address = 0;      // where it starts, at the image's preferred base
    uint32_t rva = 0;          // the same, relative to the image base
    std::string section;       // the section it is in
    uint32_t section_offset = 0;
    std::string text;          // mnemonic and operands, or the bytes that do not decode
    std::string why;           // the class of instruction, and which processor brought it
};

// The instructions of `pe`'s executable sections (read from `file`) that an
// 80386 without a coprocessor does not have, in address order. An empty
// result with `error` set means the decoder could not be used.
std::vector<ForeignInstruction> instructions_beyond_386(const PeFile& pe, std::span<const uint8_t> file,
                                                      std::string& error);

// An instruction that may set the interrupt flag (STI, POPF, IRET) and the
// instruction after it, where the flag has taken its new value. RVAs.
struct FlagWrite {
    uint32_t rva = 0;
    uint32_t next_rva = 0;
};
std::vector<FlagWrite> interrupt_flag_writes(const PeFile& pe, std::span<const uint8_t> file, std::string& error);

// One line: "instruction beyond the 80386 at 0x11234 (RVA 0x1234, .text+0x234):
// cmove eax, edx: CMOVcc (P6 and later)".
std::string describe(const ForeignInstruction& insn);

}  // namespace sim::loader
