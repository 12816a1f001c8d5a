// The image checker: the built driver image passes, and each way an image can
// break the kernel's or the boundary's rules is caught and named.
#include <gtest/gtest.h>

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <functional>
#include <regex>

#include "driver_check.h"
#include "loader/loaded_image.h"
#include "loader/emulated_driver.h"
#include "support/pe_image.h"
#include "version_info.h"

namespace {

using namespace hbatest;

std::vector<std::string> Services()
{
    return pecheck::ServicesDeclaredIn(ReadText(HBA_SOURCE_DIR "/driver/interface/miniport.h"));
}

std::string Joined(const std::vector<std::string>& problems)
{
    std::string all;
    for (const auto& p : problems)
        all += p + "\n";
    return all;
}

TEST(ImageCheck, BuiltImageKeepsEveryRule)
{
    auto image = BuiltImage();
    ASSERT_FALSE(image.empty()) << "hba.sys was not built";
    EXPECT_EQ(Joined(pecheck::CheckDriverImage(image, Services())), "");
}

TEST(ImageCheck, ImportsAreTheServicesTheDriverCalls)
{
    auto parsed = sim::loader::parse_pe(BuiltImage());
    ASSERT_TRUE(parsed.file) << parsed.error;
    std::vector<std::string> names;
    for (const auto& i : parsed.file->imports)
        names.push_back(i.name);
    std::sort(names.begin(), names.end());
    // Plain export names (no stdcall decoration), and the ones discovery and
    // initialization cannot do without.
    for (const auto& n : names)
        EXPECT_EQ(n.find('@'), std::string::npos) << n;
    for (const char* needed : {"ScsiPortInitialize", "ScsiPortGetDeviceBase", "ScsiPortFreeDeviceBase",
                               "ScsiPortReadPortUchar", "ScsiPortWritePortUchar", "ScsiPortWritePortUlong"})
        EXPECT_TRUE(std::binary_search(names.begin(), names.end(), needed)) << needed;
}

// The definition file the import library is made from names exactly the
// services the boundary declares, with the right argument bytes for stdcall.
TEST(ImageCheck, DefinitionFileMatchesTheBoundary)
{
    const std::string def = ReadText(HBA_SOURCE_DIR "/nt/scsiport.def");
    static const std::regex line(R"(^\s+(ScsiPort\w+)(@(\d+))?\s*$)", std::regex::multiline);
    std::vector<std::string> exported;
    for (auto it = std::sregex_iterator(def.begin(), def.end(), line); it != std::sregex_iterator(); ++it) {
        exported.push_back((*it)[1]);
        // Only the variadic service is cdecl; every stdcall one pops whole dwords.
        if ((*it)[1] == "ScsiPortNotification")
            EXPECT_FALSE((*it)[2].matched);
        else
            EXPECT_TRUE((*it)[2].matched && std::stoi((*it)[3]) % 4 == 0) << (*it)[0];
    }
    auto declared = Services();
    std::sort(exported.begin(), exported.end());
    std::sort(declared.begin(), declared.end());
    EXPECT_EQ(exported, declared);
}

struct Breakage {
    const char* name;
    std::function<void(std::vector<uint8_t>&)> edit;
    bool fix_checksum;  // re-sum after the edit, so that only the intended rule breaks
    const char* expected;
};

void PrintTo(const Breakage& b, std::ostream* os)
{
    *os << b.name;
}

class ImageCheckBreakage : public ::testing::TestWithParam<Breakage> {};

TEST_P(ImageCheckBreakage, IsNamed)
{
    auto image = BuiltImage();
    ASSERT_FALSE(image.empty());
    GetParam().edit(image);
    if (GetParam().fix_checksum) {
        std::string error;
        ASSERT_TRUE(pecheck::SetChecksum(image, error)) << error;
    }
    auto problems = pecheck::CheckDriverImage(image, Services());
    ASSERT_EQ(problems.size(), 1u) << Joined(problems);
    EXPECT_NE(problems[0].find(GetParam().expected), std::string::npos) << problems[0];
}

INSTANTIATE_TEST_SUITE_P(
    Rules, ImageCheckBreakage,
    ::testing::Values(
        Breakage{"WrongMachine", [](auto& b) { Put16(b, LayoutOf(b).coff, 0x8664); }, true, "not i386"},
        Breakage{"WindowsSubsystem", [](auto& b) { Put16(b, LayoutOf(b).optional + 68, 2); }, true,
                 "not native"},
        Breakage{"NoEntryPoint", [](auto& b) { Put32(b, LayoutOf(b).optional + 16, 0); }, true, "entry point"},
        Breakage{"EntryInData",
                 [](auto& b) {
                     auto pe = *sim::loader::parse_pe(b).file;
                     for (const auto& s : pe.sections)
                         if (!(s.characteristics & sim::loader::kSectionExecute))
                             return Put32(b, LayoutOf(b).optional + 16, s.virtual_address);
                 },
                 true, "entry point"},
        Breakage{"NoRelocations", [](auto& b) { Put32(b, LayoutOf(b).optional + 96 + 5 * 8 + 4, 0); }, true,
                 "no base relocations"},
        Breakage{"OtherModule", [](auto& b) { ReplaceText(b, "SCSIPORT.SYS", "NTOSKRNL.EXE"); }, true,
                 "only SCSIPORT.SYS"},
        Breakage{"UndeclaredService",
                 [](auto& b) { ReplaceText(b, "ScsiPortStallExecution", "ScsiPortStallExecutioN"); }, true,
                 "does not declare"},
        Breakage{"NoVersionResource", [](auto& b) { Put32(b, LayoutOf(b).optional + 96 + 2 * 8, 0); }, true,
                 "no version resource"},
        Breakage{"WrongOriginalFilename", [](auto& b) { ReplaceText(b, Utf16("hba.sys"), Utf16("hbx.sys")); },
                 true, "OriginalFilename"},
        Breakage{"VersionTextsDisagree",
                 [](auto& b) { ReplaceText(b, Utf16(HBA_VERSION ".0"), Utf16(HBA_VERSION ".9")); },
                 true, "is not the file version"},
        Breakage{"StaleChecksum", [](auto& b) { Put32(b, LayoutOf(b).optional + 64, 0); }, false, "checksum"},
        // The first byte of code, a prologue's push of a register: flipped, it
        // pushes another one, still an instruction whatever the layout.
        Breakage{"CodeChangedAfterSumming", [](auto& b) { b[0x400] ^= 0x01; }, false, "checksum"},
        Breakage{"NotPe", [](auto& b) { b[0] = 'X'; }, false, "not a readable PE32"},
        Breakage{"Truncated", [](auto& b) { b.resize(0x300); }, false, "not a readable PE32"}),
    [](const auto& p) { return std::string(p.param.name); });

// The shipped image names itself and the project's version.
TEST(ImageCheck, VersionResourceReadsBack)
{
    const auto image = BuiltImage();
    auto parsed = sim::loader::parse_pe(image);
    ASSERT_TRUE(parsed.file) << parsed.error;
    std::string error;
    const auto info = pecheck::ReadVersionInfo(*parsed.file, image, error);
    ASSERT_TRUE(info) << error;
    EXPECT_EQ(info->strings.at("OriginalFilename"), "hba.sys");
    EXPECT_EQ(info->strings.at("FileVersion"), info->file_version_text());
    EXPECT_EQ(info->file_version_text(), HBA_VERSION ".0");
    EXPECT_FALSE(info->strings.at("FileDescription").empty());
    EXPECT_EQ(info->file_type, 3u);     // a driver
    EXPECT_EQ(info->file_subtype, 7u);  // a system driver
}

// A three-byte slot of alignment padding right after a return: an
// instruction written there leaves every other instruction as it was.
size_t PaddingSlot(const std::vector<uint8_t>& b)
{
    const auto pe = *sim::loader::parse_pe(b).file;
    const std::vector<uint8_t> pattern = {0xC3, 0x8D, 0x76, 0x00};  // ret; lea esi, [esi+0]
    for (const auto& s : pe.sections)
        if (s.characteristics & sim::loader::kSectionExecute) {
            auto first = b.begin() + s.raw_offset;
            auto it = std::search(first, first + s.raw_size, pattern.begin(), pattern.end());
            if (it != first + s.raw_size)
                return static_cast<size_t>(it - b.begin()) + 1;
        }
    return 0;
}

struct Instruction {
    const char* name;
    std::array<uint8_t, 3> bytes;  // padded with NOPs
    const char* refused;           // what the problem names; null: an 80386 has it
};

void PrintTo(const Instruction& i, std::ostream* os)
{
    *os << i.name;
}

class InstructionSet : public ::testing::TestWithParam<Instruction> {};

// The checker names the instruction, its class and its address; the loader
// refuses to load the same image, with the same words.
TEST_P(InstructionSet, OnlyThe80386sWithoutCoprocessor)
{
    auto image = BuiltImage();
    const size_t slot = PaddingSlot(image);
    ASSERT_NE(slot, 0u) << "no padding slot after a return in the code";
    std::copy(GetParam().bytes.begin(), GetParam().bytes.end(), image.begin() + static_cast<long>(slot));
    std::string error;
    ASSERT_TRUE(pecheck::SetChecksum(image, error)) << error;

    const auto problems = pecheck::CheckDriverImage(image, Services());
    auto loaded = sim::loader::EmulatedDriver::open(image, {}, error);
    if (!GetParam().refused) {
        EXPECT_EQ(Joined(problems), "");
        EXPECT_EQ(error.find("80386"), std::string::npos) << error;
        return;
    }
    ASSERT_EQ(problems.size(), 1u) << Joined(problems);
    EXPECT_NE(problems[0].find(GetParam().refused), std::string::npos) << problems[0];
    const auto pe = *sim::loader::parse_pe(image).file;
    const auto& text = pe.sections.front();
    const uint32_t rva = text.virtual_address + static_cast<uint32_t>(slot - text.raw_offset);
    EXPECT_NE(problems[0].find(fmt::format("RVA {:#x}", rva)), std::string::npos) << problems[0];
    EXPECT_FALSE(loaded);
    EXPECT_NE(error.find(GetParam().refused), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Classes, InstructionSet,
    ::testing::Values(
        Instruction{"Cmov", {0x0F, 0x44, 0xF6}, "CMOVcc"},           // cmove esi, esi
        Instruction{"X87", {0xD9, 0xE8, 0x90}, "x87"},               // fld1
        Instruction{"Fwait", {0x9B, 0x90, 0x90}, "FWAIT"},
        Instruction{"Mmx", {0x0F, 0xEF, 0xC0}, "MMX"},               // pxor mm0, mm0
        Instruction{"Sse", {0x0F, 0x57, 0xC0}, "SSE"},               // xorps xmm0, xmm0
        Instruction{"Avx", {0xC5, 0xF8, 0x77}, "VEX"},               // vzeroupper
        Instruction{"Rdtsc", {0x0F, 0x31, 0x90}, "RDTSC"},
        Instruction{"Cpuid", {0x0F, 0xA2, 0x90}, "CPUID"},
        Instruction{"Bswap", {0x0F, 0xC8, 0x90}, "BSWAP"},
        Instruction{"Cmpxchg", {0x0F, 0xB1, 0x0E}, "CMPXCHG"},       // cmpxchg [esi], ecx
        Instruction{"Xadd", {0x0F, 0xC1, 0xC8}, "XADD"},
        Instruction{"Invd", {0x0F, 0x08, 0x90}, "INVD"},
        Instruction{"Wbinvd", {0x0F, 0x09, 0x90}, "WBINVD"},
        Instruction{"Invlpg", {0x0F, 0x01, 0x38}, "INVLPG"},         // invlpg [eax]
        Instruction{"Cmpxchg8b", {0x0F, 0xC7, 0x0E}, "CMPXCHG8B"},   // cmpxchg8b [esi]
        Instruction{"Rdmsr", {0x0F, 0x32, 0x90}, "RDMSR"},
        Instruction{"Wrmsr", {0x0F, 0x30, 0x90}, "WRMSR"},
        Instruction{"Sysenter", {0x0F, 0x34, 0x90}, "SYSENTER"},
        Instruction{"MultiByteNop", {0x0F, 0x1F, 0x00}, "multi-byte NOP"},  // nop [eax]
        Instruction{"Ud2", {0x0F, 0x0B, 0x90}, "UD2"},
        Instruction{"Pause", {0xF3, 0x90, 0x90}, "PAUSE"},
        // What an 80386 has, of the two-byte opcodes and the privileged ones.
        Instruction{"Movzx", {0x0F, 0xB6, 0xC0}, nullptr},
        Instruction{"Sete", {0x0F, 0x94, 0xC0}, nullptr},
        Instruction{"Bt", {0x0F, 0xA3, 0xC8}, nullptr},
        Instruction{"Imul", {0x0F, 0xAF, 0xC1}, nullptr},
        Instruction{"Smsw", {0x0F, 0x01, 0xE0}, nullptr},
        Instruction{"CliStiIn", {0xFA, 0xFB, 0xEC}, nullptr},
        Instruction{"PushfdPopfd", {0x9C, 0x9D, 0x90}, nullptr}),
    [](const auto& p) { return std::string(p.param.name); });

// Built for the P6, as the cross compiler does by default, the same driver
// holds conditional moves: the checker and the loader refuse it.
TEST(InstructionSet, DriverBuiltForTheP6IsRefused)
{
    const auto image = ReadBytes(HBA_SYS_I686_PATH);
    ASSERT_FALSE(image.empty()) << "the P6 build was not made";
    const auto problems = pecheck::CheckDriverImage(image, Services());
    EXPECT_TRUE(std::any_of(problems.begin(), problems.end(),
                            [](const std::string& p) { return p.find("CMOVcc") != std::string::npos; }))
        << Joined(problems);
    std::string error;
    EXPECT_FALSE(sim::loader::EmulatedDriver::open(image, {}, error));
    EXPECT_NE(error.find("beyond the 80386"), std::string::npos) << error;
}

// The sum is the 16-bit end-around-carry sum of the file's words, with the
// checksum field itself left out, plus the file's length.
TEST(PeChecksum, SumsWordsWithCarryAndAddsLength)
{
    struct Case {
        std::vector<uint8_t> bytes;
        uint32_t field;
        uint32_t sum;
    };
    const Case cases[] = {
        {{0x01, 0x02, 0x03}, 100, 0x0201 + 0x0003 + 3},           // odd length: last byte alone
        {{0xFF, 0xFF, 0x02, 0x00}, 100, 0x0002 + 4},              // 0xFFFF + 2 folds its carry
        {{0x10, 0x00, 0xAA, 0xBB, 0xCC, 0xDD, 0x01, 0x00}, 2, 0x0011 + 8},  // field skipped
        {{}, 0, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(sim::loader::compute_pe_checksum(c.bytes, c.field), c.sum);
}

// No file, however damaged, makes the reader step outside the bytes it was
// given (the sanitizer build proves the "outside"); damaged headers fail
// cleanly or still parse.
TEST(PeReader, SurvivesEveryTruncationAndHeaderCorruption)
{
    const auto image = BuiltImage();
    ASSERT_FALSE(image.empty());
    for (size_t length = 0; length < image.size(); length += 7) {
        std::vector<uint8_t> cut(image.begin(), image.begin() + static_cast<long>(length));
        (void)sim::loader::parse_pe(cut);
    }
    for (size_t at = 0; at < 0x400; at++) {
        for (uint8_t value : {uint8_t{0x00}, uint8_t{0xFF}, uint8_t{0x7F}}) {
            auto bad = image;
            bad[at] = value;
            (void)sim::loader::parse_pe(bad);
        }
    }
    auto pe = *sim::loader::parse_pe(image).file;
    for (const auto& s : pe.sections) {
        if (s.name != ".idata" && s.name != ".reloc")
            continue;
        for (uint32_t at = s.raw_offset; at < s.raw_offset + s.raw_size; at++) {
            auto bad = image;
            bad[at] = 0xFF;
            (void)sim::loader::parse_pe(bad);
        }
    }
}

}  // namespace
