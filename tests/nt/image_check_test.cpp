// The image checker: the built driver image passes, and each way an image can
// break the kernel's or the boundary's rules is caught and named.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <regex>

#include "driver_check.h"
#include "support.h"

namespace {

using namespace nttest;

std::vector<std::string> Services()
{
    return pecheck::ServicesDeclaredIn(ReadText(HBA_SOURCE_DIR "/driver/include/miniport.h"));
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
    auto parsed = sim::loader::ParsePe(BuiltImage());
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
                     auto pe = *sim::loader::ParsePe(b).file;
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
        Breakage{"StaleChecksum", [](auto& b) { Put32(b, LayoutOf(b).optional + 64, 0); }, false, "checksum"},
        Breakage{"CodeChangedAfterSumming", [](auto& b) { b[0x400 + 0x10] ^= 0x01; }, false, "checksum"},
        Breakage{"NotPe", [](auto& b) { b[0] = 'X'; }, false, "not a readable PE32"},
        Breakage{"Truncated", [](auto& b) { b.resize(0x300); }, false, "not a readable PE32"}),
    [](const auto& p) { return std::string(p.param.name); });

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
        EXPECT_EQ(sim::loader::ComputePeChecksum(c.bytes, c.field), c.sum);
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
        (void)sim::loader::ParsePe(cut);
    }
    for (size_t at = 0; at < 0x400; at++) {
        for (uint8_t value : {uint8_t{0x00}, uint8_t{0xFF}, uint8_t{0x7F}}) {
            auto bad = image;
            bad[at] = value;
            (void)sim::loader::ParsePe(bad);
        }
    }
    auto pe = *sim::loader::ParsePe(image).file;
    for (const auto& s : pe.sections) {
        if (s.name != ".idata" && s.name != ".reloc")
            continue;
        for (uint32_t at = s.raw_offset; at < s.raw_offset + s.raw_size; at++) {
            auto bad = image;
            bad[at] = 0xFF;
            (void)sim::loader::ParsePe(bad);
        }
    }
}

}  // namespace
