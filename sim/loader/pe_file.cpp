#include "pe_file.h"

#include <fmt/format.h>

#include <algorithm>
#include <tuple>

namespace sim::loader {
namespace {

constexpr uint16_t kOptionalMagicPe32 = 0x10B;
constexpr uint32_t kDirectoryImport = 1;
constexpr uint32_t kDirectoryResource = 2;
constexpr uint32_t kDirectoryBaseRelocation = 5;
constexpr uint16_t kRelocAbsolute = 0;
constexpr uint16_t kRelocHighLow = 3;
constexpr size_t kCoffHeaderSize = 20;
constexpr size_t kSectionHeaderSize = 40;
constexpr size_t kImportDescriptorSize = 20;
constexpr uint32_t kImportByOrdinal = 0x80000000;

// Bounds-checked little-endian reads over the file's bytes.
class Reader {
public:
    explicit Reader(std::span<const uint8_t> bytes) : bytes_(bytes) {}

    bool has(uint64_t offset, uint64_t length) const
    {
        return offset <= bytes_.size() && length <= bytes_.size() - offset;
    }
    std::optional<uint8_t> u8(uint64_t offset) const
    {
        if (!has(offset, 1))
            return std::nullopt;
        return bytes_[offset];
    }
    std::optional<uint16_t> u16(uint64_t offset) const
    {
        if (!has(offset, 2))
            return std::nullopt;
        return static_cast<uint16_t>(bytes_[offset] | bytes_[offset + 1] << 8);
    }
    std::optional<uint32_t> u32(uint64_t offset) const
    {
        if (!has(offset, 4))
            return std::nullopt;
        return static_cast<uint32_t>(bytes_[offset]) | static_cast<uint32_t>(bytes_[offset + 1]) << 8 |
               static_cast<uint32_t>(bytes_[offset + 2]) << 16 |
               static_cast<uint32_t>(bytes_[offset + 3]) << 24;
    }
    // A NUL-terminated string that must end before `limit`.
    std::optional<std::string> text(uint64_t offset, uint64_t limit) const
    {
        std::string s;
        for (uint64_t i = offset; i < limit && i < bytes_.size(); i++) {
            if (bytes_[i] == 0)
                return s;
            s.push_back(static_cast<char>(bytes_[i]));
        }
        return std::nullopt;
    }

private:
    std::span<const uint8_t> bytes_;
};

// Where the bytes of an RVA lie in the file, and how far that stretch goes.
struct FileSpan {
    uint64_t offset;
    uint64_t limit;
};

std::optional<FileSpan> map_rva(const PeFile& pe, uint32_t rva)
{
    if (rva < pe.size_of_headers)
        return FileSpan{rva, pe.size_of_headers};
    const PeSection* s = pe.section_at(rva);
    if (s == nullptr || rva - s->virtual_address >= s->raw_size)
        return std::nullopt;
    return FileSpan{uint64_t{s->raw_offset} + (rva - s->virtual_address),
                    uint64_t{s->raw_offset} + s->raw_size};
}

class Parser {
public:
    explicit Parser(std::span<const uint8_t> bytes) : r_(bytes) {}

    PeParse run()
    {
        if (!headers() || !sections() || !imports() || !relocations())
            return {std::nullopt, error_};
        std::tie(pe_.resource_rva, pe_.resource_size) = directory(kDirectoryResource);
        return {std::move(pe_), {}};
    }

private:
    bool fail(std::string why)
    {
        error_ = std::move(why);
        return false;
    }

    bool headers()
    {
        if (r_.u16(0) != 0x5A4D)
            return fail("no MZ signature");
        auto lfanew = r_.u32(0x3C);
        if (!lfanew || r_.u32(*lfanew) != 0x00004550)
            return fail("no PE signature");
        const uint64_t coff = uint64_t{*lfanew} + 4;
        auto machine = r_.u16(coff);
        auto count = r_.u16(coff + 2);
        auto optional_size = r_.u16(coff + 16);
        auto characteristics = r_.u16(coff + 18);
        if (!machine || !count || !optional_size || !characteristics)
            return fail("COFF header truncated");
        pe_.machine = *machine;
        pe_.characteristics = *characteristics;
        section_count_ = *count;
        optional_ = coff + kCoffHeaderSize;
        section_table_ = optional_ + *optional_size;
        if (!r_.has(optional_, *optional_size) || *optional_size < 96)
            return fail("optional header truncated");
        if (r_.u16(optional_) != kOptionalMagicPe32)
            return fail("not a PE32 image");
        pe_.entry_rva = *r_.u32(optional_ + 16);
        pe_.image_base = *r_.u32(optional_ + 28);
        pe_.section_alignment = *r_.u32(optional_ + 32);
        pe_.file_alignment = *r_.u32(optional_ + 36);
        pe_.size_of_image = *r_.u32(optional_ + 56);
        pe_.size_of_headers = *r_.u32(optional_ + 60);
        pe_.checksum_offset = static_cast<uint32_t>(optional_ + 64);
        pe_.checksum = *r_.u32(optional_ + 64);
        pe_.subsystem = *r_.u16(optional_ + 68);
        pe_.dll_characteristics = *r_.u16(optional_ + 70);
        directory_count_ = *r_.u32(optional_ + 92);
        if (uint64_t{directory_count_} * 8 + 96 > *optional_size)
            return fail("data directories truncated");
        return true;
    }

    std::pair<uint32_t, uint32_t> directory(uint32_t index) const
    {
        if (index >= directory_count_)
            return {0, 0};
        const uint64_t at = optional_ + 96 + uint64_t{index} * 8;
        return {*r_.u32(at), *r_.u32(at + 4)};
    }

    bool sections()
    {
        if (section_count_ == 0)
            return fail("no sections");
        for (uint32_t i = 0; i < section_count_; i++) {
            const uint64_t at = section_table_ + uint64_t{i} * kSectionHeaderSize;
            if (!r_.has(at, kSectionHeaderSize))
                return fail("section table truncated");
            PeSection s;
            for (int c = 0; c < 8; c++) {
                auto byte = static_cast<char>(*r_.u8(at + c));
                if (byte == 0)
                    break;
                s.name.push_back(byte);
            }
            s.virtual_size = *r_.u32(at + 8);
            s.virtual_address = *r_.u32(at + 12);
            s.raw_size = *r_.u32(at + 16);
            s.raw_offset = *r_.u32(at + 20);
            s.characteristics = *r_.u32(at + 36);
            if (s.raw_size != 0 && !r_.has(s.raw_offset, s.raw_size))
                return fail(fmt::format("section {} lies outside the file", s.name));
            const uint64_t end = uint64_t{s.virtual_address} + std::max(s.virtual_size, s.raw_size);
            if (s.virtual_address < pe_.size_of_headers || end > pe_.size_of_image)
                return fail(fmt::format("section {} lies outside the image", s.name));
            pe_.sections.push_back(std::move(s));
        }
        return true;
    }

    bool imports()
    {
        auto [rva, size] = directory(kDirectoryImport);
        if (rva == 0 || size == 0)
            return true;
        for (uint32_t d = rva;; d += kImportDescriptorSize) {
            auto at = map_rva(pe_, d);
            if (!at || at->offset + kImportDescriptorSize > at->limit)
                return fail("import directory outside the file");
            const uint32_t lookup = *r_.u32(at->offset);
            const uint32_t name_rva = *r_.u32(at->offset + 12);
            const uint32_t iat = *r_.u32(at->offset + 16);
            if (name_rva == 0 && iat == 0)
                return true;
            auto name_at = map_rva(pe_, name_rva);
            auto module = name_at ? r_.text(name_at->offset, name_at->limit) : std::nullopt;
            if (!module)
                return fail("import module name outside the file");
            if (!thunks(*module, lookup != 0 ? lookup : iat, iat))
                return false;
        }
    }

    bool thunks(const std::string& module, uint32_t lookup, uint32_t iat)
    {
        for (uint32_t i = 0;; i++) {
            auto at = map_rva(pe_, lookup + i * 4);
            if (!at || at->offset + 4 > at->limit)
                return fail(fmt::format("import table of {} outside the file", module));
            const uint32_t entry = *r_.u32(at->offset);
            if (entry == 0)
                return true;
            if (entry & kImportByOrdinal)
                return fail(fmt::format("import by ordinal {} from {}", entry & 0xFFFF, module));
            auto hint_at = map_rva(pe_, entry);
            auto name = hint_at ? r_.text(hint_at->offset + 2, hint_at->limit) : std::nullopt;
            if (!name)
                return fail(fmt::format("import name from {} outside the file", module));
            if (pe_.section_at(iat + i * 4) == nullptr)
                return fail(fmt::format("import slot of {} outside the image", *name));
            pe_.imports.push_back({module, *name, iat + i * 4});
        }
    }

    bool relocations()
    {
        auto [rva, size] = directory(kDirectoryBaseRelocation);
        if (rva == 0 || size == 0)
            return true;
        pe_.has_relocation_directory = true;
        uint32_t done = 0;
        while (done + 8 <= size) {
            auto at = map_rva(pe_, rva + done);
            if (!at || at->offset + 8 > at->limit)
                return fail("relocation block outside the file");
            const uint32_t page = *r_.u32(at->offset);
            const uint32_t block = *r_.u32(at->offset + 4);
            if (block < 8 || block > size - done || at->offset + block > at->limit)
                return fail("relocation block of bad size");
            for (uint32_t e = 8; e + 2 <= block; e += 2) {
                const uint16_t entry = *r_.u16(at->offset + e);
                const uint16_t type = entry >> 12;
                const uint32_t target = page + (entry & 0xFFF);
                if (type == kRelocAbsolute)
                    continue;
                if (type != kRelocHighLow)
                    return fail(fmt::format("relocation type {} not supported", type));
                if (uint64_t{target} + 4 > pe_.size_of_image)
                    return fail("relocation outside the image");
                pe_.relocations.push_back(target);
            }
            done += block;
        }
        return true;
    }

    Reader r_;
    PeFile pe_;
    std::string error_;
    uint32_t section_count_ = 0;
    uint32_t directory_count_ = 0;
    uint64_t optional_ = 0;
    uint64_t section_table_ = 0;
};

}  // namespace

const PeSection* PeFile::section_at(uint32_t rva) const
{
    for (const auto& s : sections) {
        const uint32_t extent = std::max(s.virtual_size, s.raw_size);
        if (rva >= s.virtual_address && rva - s.virtual_address < extent)
            return &s;
    }
    return nullptr;
}

PeParse parse_pe(std::span<const uint8_t> bytes)
{
    return Parser(bytes).run();
}

std::optional<std::span<const uint8_t>> bytes_at(const PeFile& pe, std::span<const uint8_t> file, uint32_t rva,
                                                uint32_t length)
{
    const auto at = map_rva(pe, rva);
    if (!at || at->limit > file.size() || length > at->limit - at->offset)
        return std::nullopt;
    return file.subspan(at->offset, length);
}

uint32_t compute_pe_checksum(std::span<const uint8_t> bytes, uint32_t checksum_offset)
{
    const auto byte = [&](size_t i) -> uint32_t {
        if (i >= bytes.size() || (i >= checksum_offset && i < uint64_t{checksum_offset} + 4))
            return 0;
        return bytes[i];
    };
    uint64_t sum = 0;
    for (size_t i = 0; i < bytes.size(); i += 2) {
        const uint32_t word = byte(i) | byte(i + 1) << 8;
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint32_t>(sum + bytes.size());
}

}  // namespace sim::loader
