#include "loader/instruction_set.h"

#include <capstone/capstone.h>
#include <fmt/format.h>

#include <algorithm>
#include <memory>

namespace sim::loader {
namespace {

// Two-byte opcodes (0F xx) an 80386 has: protected-mode system instructions,
// control/debug/test register moves, near Jcc, SETcc, FS/GS pushes and pops,
// the bit tests and scans, double shifts, IMUL r,r/m, the far-pointer loads
// and MOVZX/MOVSX. Everything else in that map came later.
bool two_byte_on_386(uint8_t op)
{
    if (op >= 0x80 && op <= 0x9F)
        return true;
    switch (op) {
    case 0x00: case 0x01: case 0x02: case 0x03: case 0x06:
    case 0x20: case 0x21: case 0x22: case 0x23: case 0x24: case 0x26:
    case 0xA0: case 0xA1: case 0xA3: case 0xA4: case 0xA5:
    case 0xA8: case 0xA9: case 0xAB: case 0xAC: case 0xAD: case 0xAF:
    case 0xB2: case 0xB3: case 0xB4: case 0xB5: case 0xB6: case 0xB7:
    case 0xBA: case 0xBB: case 0xBC: case 0xBD: case 0xBE: case 0xBF:
        return true;
    default:
        return false;
    }
}

// What a two-byte opcode beyond the 80386 is, for the message.
std::string two_byte_class(uint8_t op, uint8_t modrm)
{
    const int reg = (modrm >> 3) & 7;
    if (op >= 0x40 && op <= 0x4F)
        return "CMOVcc (P6 and later)";
    if (op >= 0xC8 && op <= 0xCF)
        return "BSWAP (486 and later)";
    if ((op >= 0x10 && op <= 0x17) || (op >= 0x28 && op <= 0x2F) || (op >= 0x50 && op <= 0x7F) ||
        (op >= 0xC2 && op <= 0xC6) || op >= 0xD0 || op == 0x38 || op == 0x3A || op == 0x0E || op == 0x0F)
        return "MMX/SSE vector instruction (late P5 class and later)";
    if (op >= 0x18 && op <= 0x1F)
        return "multi-byte NOP or hint (P6 and later)";
    switch (op) {
    case 0x00: return "JMPE or invalid system instruction";
    case 0x01: return reg == 7 ? "INVLPG (486 and later)" : "system instruction beyond the 80386";
    case 0x05: case 0x07: return "SYSCALL/SYSRET or LOADALL";
    case 0x08: return "INVD (486 and later)";
    case 0x09: return "WBINVD (486 and later)";
    case 0x0B: return "UD2 (P6 and later)";
    case 0x0D: return "prefetch (a vector extension)";
    case 0x30: return "WRMSR (P5 class and later)";
    case 0x31: return "RDTSC (P5 class and later)";
    case 0x32: return "RDMSR (P5 class and later)";
    case 0x33: return "RDPMC (P6 and later)";
    case 0x34: case 0x35: return "SYSENTER/SYSEXIT (P6 and later)";
    case 0xA2: return "CPUID (late 486 and later)";
    case 0xAA: return "RSM (system management mode)";
    case 0xAE: return "FXSAVE/LDMXCSR/fences (P6 and later)";
    case 0xB0: case 0xB1: return "CMPXCHG (486 and later)";
    case 0xC0: case 0xC1: return "XADD (486 and later)";
    case 0xC7: return "CMPXCHG8B (P5 class and later)";
    case 0xB8: return "POPCNT (much later)";
    case 0xBA: return "invalid bit-test form";
    default: return "not an 80386 instruction";
    }
}

bool is_prefix(uint8_t b)
{
    switch (b) {
    case 0xF0: case 0xF2: case 0xF3: case 0x2E: case 0x36: case 0x3E: case 0x26: case 0x64: case 0x65:
    case 0x66: case 0x67:
        return true;
    default:
        return false;
    }
}

// Instruction classes capstone tags that are beyond an 80386 without a
// coprocessor, whatever the opcode bytes say.
bool foreign_group(uint8_t group, std::string& why)
{
    switch (group) {
    case X86_GRP_CMOV: why = "CMOVcc (P6 and later)"; return true;
    case X86_GRP_FPU: why = "x87 floating point (needs a coprocessor)"; return true;
    case X86_GRP_MMX: case X86_GRP_3DNOW: why = "MMX or another vector extension (late P5 class and later)"; return true;
    case X86_GRP_SSE1: case X86_GRP_SSE2: case X86_GRP_SSE3: case X86_GRP_SSSE3: case X86_GRP_SSE41:
    case X86_GRP_SSE42: case X86_GRP_SSE4A:
        why = "SSE (late P6 class and later)"; return true;
    case X86_GRP_AVX: case X86_GRP_AVX2: case X86_GRP_AVX512: case X86_GRP_FMA: case X86_GRP_FMA4:
    case X86_GRP_F16C: case X86_GRP_XOP:
        why = "AVX and later vector extensions"; return true;
    case X86_GRP_VM: case X86_GRP_AES: case X86_GRP_ADX: case X86_GRP_BMI: case X86_GRP_BMI2:
    case X86_GRP_FSGSBASE: case X86_GRP_HLE: case X86_GRP_RTM: case X86_GRP_SHA: case X86_GRP_PCLMUL:
    case X86_GRP_TBM: case X86_GRP_SGX: case X86_GRP_SMAP: case X86_GRP_CDI: case X86_GRP_ERI:
    case X86_GRP_DQI: case X86_GRP_BWI: case X86_GRP_PFI: case X86_GRP_VLX:
        why = "a much later instruction set extension"; return true;
    default:
        return false;
    }
}

// Why the instruction in `bytes` is beyond the 80386, or empty when it is not.
std::string judge(const cs_insn& insn)
{
    const uint8_t* b = insn.bytes;
    const size_t n = insn.size;
    size_t i = 0;
    while (i < n && is_prefix(b[i]))
        i++;
    if (i >= n)
        return "prefixes without an instruction";
    const uint8_t op = b[i];
    const uint8_t next = i + 1 < n ? b[i + 1] : 0;
    if (op >= 0xD8 && op <= 0xDF)
        return "x87 floating point (needs a coprocessor)";
    if (op == 0x9B)
        return "FWAIT (waits for a coprocessor)";
    // In 32-bit code LES, LDS and BOUND take memory operands only: a
    // register form is a VEX or EVEX prefix; POP r/m with a nonzero reg field is XOP.
    if ((op == 0xC4 || op == 0xC5 || op == 0x62) && (next >> 6) == 3)
        return "VEX/EVEX-encoded vector instruction (AVX and later)";
    if (op == 0x8F && ((next >> 3) & 7) != 0)
        return "XOP-encoded instruction";
    if (op == 0xD6 || op == 0xF1)
        return "undocumented opcode";
    if (op == 0x90 && i > 0 && std::find(b, b + i, uint8_t{0xF3}) != b + i)
        return "PAUSE (after the P6 class)";
    if (op == 0x0F) {
        const uint8_t modrm = i + 2 < n ? b[i + 2] : 0;
        const int mod = modrm >> 6, reg = (modrm >> 3) & 7;
        if (!two_byte_on_386(next))
            return two_byte_class(next, modrm);
        // Within the 386's opcodes, the forms it lacks.
        if (next == 0x00 && reg >= 6)
            return two_byte_class(next, modrm);
        // 0F 01: SGDT SIDT LGDT LIDT (memory), SMSW and LMSW (any); INVLPG
        // and the register forms other than SMSW/LMSW came later.
        if (next == 0x01 && (reg == 5 || reg == 7 || (mod == 3 && reg != 4 && reg != 6)))
            return two_byte_class(next, modrm);
        if (next == 0xBA && reg < 4)
            return two_byte_class(next, modrm);
    }
    const cs_detail* d = insn.detail;
    std::string why;
    for (uint8_t g = 0; d && g < d->groups_count; g++)
        if (foreign_group(d->groups[g], why))
            return why;
    return {};
}

// The linker closes the code section with the constructor and destructor
// lists (each a -1 word, the entries, a 0 word). A kernel driver has no
// static constructors, so both are empty: 16 bytes of data, never executed.
constexpr uint8_t kEmptyStructorLists[16] = {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0};

size_t code_length(const uint8_t* code, size_t length)
{
    const size_t n = sizeof(kEmptyStructorLists);
    if (length >= n && std::equal(code + length - n, code + length, kEmptyStructorLists))
        return length - n;
    return length;
}

struct CloseHandle {
    void operator()(csh* h) const
    {
        cs_close(h);
        delete h;
    }
};

}  // namespace

namespace {

// Decodes every instruction of `pe`'s executable sections: `each(insn, rva,
// section)` for one that decodes, `bad(byte, rva, section)` for a byte that
// does not (decoding goes on after it). False with `error` set when the
// decoder cannot be used.
template <class Each, class Bad>
bool decode_code(const PeFile& pe, std::span<const uint8_t> file, std::string& error, Each&& each, Bad&& bad)
{
    std::unique_ptr<csh, CloseHandle> handle(new csh{});
    if (cs_open(CS_ARCH_X86, CS_MODE_32, handle.get()) != CS_ERR_OK) {
        handle.release();
        error = "the x86 decoder (capstone) cannot be opened";
        return false;
    }
    cs_option(*handle, CS_OPT_DETAIL, CS_OPT_ON);
    cs_option(*handle, CS_OPT_SYNTAX, CS_OPT_SYNTAX_INTEL);
    std::unique_ptr<cs_insn, void (*)(cs_insn*)> insn(cs_malloc(*handle), [](cs_insn* p) { cs_free(p, 1); });

    for (const PeSection& s : pe.sections) {
        if (!(s.characteristics & kSectionExecute) || s.raw_size == 0)
            continue;
        // Raw data past the virtual size is file padding, never loaded.
        uint64_t length = s.virtual_size != 0 ? std::min(s.raw_size, s.virtual_size) : s.raw_size;
        if (s.raw_offset > file.size())
            continue;
        length = std::min<uint64_t>(length, file.size() - s.raw_offset);
        const uint8_t* code = file.data() + s.raw_offset;
        size_t left = code_length(code, length);
        uint64_t address = s.virtual_address;
        while (left > 0) {
            const uint8_t* at = code;
            const uint64_t rva = address;
            if (cs_disasm_iter(*handle, &code, &left, &address, insn.get())) {
                each(*insn, static_cast<uint32_t>(rva), s);
                continue;
            }
            bad(*at, static_cast<uint32_t>(rva), s);
            code = at + 1;
            left--;
            address = rva + 1;
        }
    }
    return true;
}

}  // namespace

std::vector<ForeignInstruction> instructions_beyond_386(const PeFile& pe, std::span<const uint8_t> file,
                                                      std::string& error)
{
    std::vector<ForeignInstruction> found;
    decode_code(
        pe, file, error,
        [&](const cs_insn& insn, uint32_t rva, const PeSection& s) {
            std::string why = judge(insn);
            if (!why.empty())
                found.push_back({pe.image_base + rva, rva, s.name, rva - s.virtual_address,
                                 fmt::format("{} {}", insn.mnemonic, insn.op_str), std::move(why)});
        },
        [&](uint8_t byte, uint32_t rva, const PeSection& s) {
            // Undecodable: name the byte and go on after it.
            found.push_back({pe.image_base + rva, rva, s.name, rva - s.virtual_address, fmt::format("byte {:#04x}", byte),
                             "does not decode as any instruction"});
        });
    return found;
}

std::vector<FlagWrite> interrupt_flag_writes(const PeFile& pe, std::span<const uint8_t> file, std::string& error)
{
    std::vector<FlagWrite> found;
    decode_code(
        pe, file, error,
        [&](const cs_insn& insn, uint32_t rva, const PeSection&) {
            switch (insn.id) {
            case X86_INS_STI: case X86_INS_POPF: case X86_INS_POPFD: case X86_INS_IRET: case X86_INS_IRETD:
                found.push_back({rva, rva + insn.size});
                break;
            default:
                break;
            }
        },
        [](uint8_t, uint32_t, const PeSection&) {});
    return found;
}

std::string describe(const ForeignInstruction& insn)
{
    return fmt::format("instruction beyond the 80386 at {:#x} (RVA {:#x}, {}+{:#x}): {}: {}", insn.address, insn.rva,
                       insn.section, insn.section_offset, insn.text, insn.why);
}

}  // namespace sim::loader
