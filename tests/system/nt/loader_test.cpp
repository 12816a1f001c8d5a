// The loader lays the image out at whatever base it gets, as a kernel would:
// every absolute address moved by the same distance, every import slot bound,
// code pages not writable and data pages not executable.
#include <gtest/gtest.h>

#include <map>

#include "loader/loaded_image.h"
#include "support/pe_image.h"

namespace {

using namespace hbatest;
using sim::loader::LoadedImage;

// Hands each import a distinct made-up address and remembers it.
struct FakeExports {
    std::map<std::string, uint32_t> given;
    std::string refuse;
    std::optional<uint32_t> operator()(std::string_view module, std::string_view name)
    {
        if (module != "SCSIPORT.SYS" || name == refuse)
            return std::nullopt;
        auto address = 0x7000'0000u + static_cast<uint32_t>(given.size()) * 16;
        given.emplace(name, address);
        return address;
    }
};

// The file's own value of the dword at `rva`.
uint32_t FileDword(const std::vector<uint8_t>& file, const sim::loader::PeFile& pe, uint32_t rva)
{
    const auto* s = pe.section_at(rva);
    return Get32(file, s->raw_offset + (rva - s->virtual_address));
}

// A base a kernel would choose, away from the preferred one.
constexpr uint32_t kBase = 0xF8A00000;

TEST(Loader, RelocatesEveryFixupByTheSameDistance)
{
    auto file = BuiltImage();
    FakeExports exports;
    std::string error;
    auto image = LoadedImage::load(file, kBase, std::ref(exports), error);
    ASSERT_TRUE(image) << error;
    const auto& pe = image->pe();
    ASSERT_NE(image->base(), pe.image_base) << "the test needs a base other than the preferred one";
    ASSERT_FALSE(pe.relocations.empty());
    const uint32_t delta = image->base() - pe.image_base;
    for (uint32_t rva : pe.relocations) {
        ASSERT_EQ(image->read32(rva), FileDword(file, pe, rva) + delta) << std::hex << rva;
        // What a fixup points at lies inside the loaded image.
        EXPECT_TRUE(image->contains(image->read32(rva))) << std::hex << rva;
    }
    EXPECT_TRUE(image->in_code(image->entry()));
}

TEST(Loader, BindsEveryImportSlot)
{
    auto file = BuiltImage();
    FakeExports exports;
    std::string error;
    auto image = LoadedImage::load(file, kBase, std::ref(exports), error);
    ASSERT_TRUE(image) << error;
    ASSERT_EQ(exports.given.size(), image->pe().imports.size());
    for (const auto& import : image->pe().imports)
        EXPECT_EQ(image->read32(import.iat_rva), exports.given.at(import.name)) << import.name;
}

TEST(Loader, RefusesAnImageWithAnImportNobodyProvides)
{
    auto file = BuiltImage();
    FakeExports exports;
    exports.refuse = "ScsiPortStallExecution";
    std::string error;
    EXPECT_FALSE(LoadedImage::load(file, kBase, std::ref(exports), error));
    EXPECT_EQ(error, "unresolved import SCSIPORT.SYS!ScsiPortStallExecution");
}

TEST(Loader, RefusesAnImageItCannotPlace)
{
    struct Case {
        const char* name;
        std::function<void(std::vector<uint8_t>&)> edit;
        const char* error;
    };
    const Case cases[] = {
        {"other machine", [](auto& b) { Put16(b, LayoutOf(b).coff, 0x8664); }, "not i386"},
        {"no relocations", [](auto& b) { Put32(b, LayoutOf(b).optional + 96 + 5 * 8 + 4, 0); }, "no base relocations"},
        {"not a PE file", [](auto& b) { b.resize(64); }, "PE signature"},
    };
    for (const auto& c : cases) {
        auto file = BuiltImage();
        c.edit(file);
        FakeExports exports;
        std::string error;
        EXPECT_FALSE(LoadedImage::load(file, kBase, std::ref(exports), error)) << c.name;
        EXPECT_NE(error.find(c.error), std::string::npos) << c.name << ": " << error;
    }
}

TEST(Loader, GivesEachSectionItsProtection)
{
    auto file = BuiltImage();
    FakeExports exports;
    std::string error;
    auto image = LoadedImage::load(file, kBase, std::ref(exports), error);
    ASSERT_TRUE(image) << error;
    for (const auto& s : image->pe().sections) {
        const bool exec = s.characteristics & sim::loader::kSectionExecute;
        const bool write = s.characteristics & sim::loader::kSectionWrite;
        const uint8_t expected = sim::loader::kPageRead | (write ? sim::loader::kPageWrite : 0) |
                                 (exec ? sim::loader::kPageExecute : 0);
        EXPECT_EQ(image->page_access(s.virtual_address / LoadedImage::kPageSize), expected) << s.name;
    }
    // At its preferred base no fixup moves; off a 64 KiB boundary it is not placed.
    auto at_home = LoadedImage::load(file, image->pe().image_base, std::ref(exports), error);
    ASSERT_TRUE(at_home) << error;
    for (uint32_t rva : image->pe().relocations)
        EXPECT_EQ(at_home->read32(rva), FileDword(file, image->pe(), rva)) << std::hex << rva;
    EXPECT_FALSE(LoadedImage::load(file, kBase + 0x1000, std::ref(exports), error));
    EXPECT_NE(error.find("64 KiB"), std::string::npos) << error;
}

}  // namespace
