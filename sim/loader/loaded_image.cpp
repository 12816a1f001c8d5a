#include "loader/loaded_image.h"

#include <fmt/format.h>

#include "loader/instruction_set.h"

#include <algorithm>
#include <cstring>

namespace sim::loader {

std::unique_ptr<LoadedImage> LoadedImage::load(std::span<const uint8_t> file, uint32_t base,
                                               const ImportResolver& resolve, std::string& error)
{
    auto parsed = parse_pe(file);
    if (!parsed.file) {
        error = parsed.error;
        return nullptr;
    }
    if (parsed.file->machine != kMachineI386) {
        error = fmt::format("machine {:#x} is not i386", parsed.file->machine);
        return nullptr;
    }
    if (parsed.file->size_of_headers > file.size() || parsed.file->size_of_headers > parsed.file->size_of_image) {
        error = "headers larger than the file or the image";
        return nullptr;
    }
    // Code the processors it is meant for cannot execute is not loaded.
    std::string decoder_error;
    const auto foreign = instructions_beyond_386(*parsed.file, file, decoder_error);
    if (!decoder_error.empty()) {
        error = decoder_error;
        return nullptr;
    }
    if (!foreign.empty()) {
        error = describe(foreign.front());
        if (foreign.size() > 1)
            error += fmt::format(" (and {} more)", foreign.size() - 1);
        return nullptr;
    }
    const uint64_t length = (uint64_t{parsed.file->size_of_image} + kPageSize - 1) / kPageSize * kPageSize;
    if (length == 0 || length > (256u << 20)) {
        error = fmt::format("image size {:#x} out of range", parsed.file->size_of_image);
        return nullptr;
    }
    if (base % 0x10000 != 0 || uint64_t{base} + length > 0x1'0000'0000) {
        error = fmt::format("base {:#x} is not a 64 KiB boundary the image fits above", base);
        return nullptr;
    }
    std::unique_ptr<LoadedImage> image(new LoadedImage(std::move(*parsed.file), base, static_cast<uint32_t>(length)));
    if (!image->place(file, error) || !image->relocate(error) || !image->bind(resolve, error))
        return nullptr;
    image->protect();
    return image;
}

LoadedImage::LoadedImage(PeFile pe, uint32_t base, uint32_t size)
    : pe_(std::move(pe)), base_(base), memory_(size), access_(size / kPageSize, kPageNone)
{
}

bool LoadedImage::place(std::span<const uint8_t> file, std::string& error)
{
    std::memcpy(memory_.data(), file.data(), pe_.size_of_headers);
    for (const auto& s : pe_.sections) {
        // Raw data beyond the section's virtual size is file padding, not image.
        const uint32_t length = s.virtual_size != 0 ? std::min(s.raw_size, s.virtual_size) : s.raw_size;
        if (uint64_t{s.virtual_address} + length > size() || uint64_t{s.raw_offset} + length > file.size()) {
            error = fmt::format("section {} does not fit the image", s.name);
            return false;
        }
        std::memcpy(memory_.data() + s.virtual_address, file.data() + s.raw_offset, length);
    }
    return true;
}

uint32_t LoadedImage::read32(uint32_t rva) const
{
    uint32_t v;
    std::memcpy(&v, memory_.data() + rva, sizeof(v));
    return v;
}

void LoadedImage::write32(uint32_t rva, uint32_t value)
{
    std::memcpy(memory_.data() + rva, &value, sizeof(value));
}

bool LoadedImage::relocate(std::string& error)
{
    const uint32_t delta = base_ - pe_.image_base;
    if (delta != 0 && !pe_.has_relocation_directory) {
        error = "the image has no base relocations and cannot load away from its preferred base";
        return false;
    }
    for (uint32_t rva : pe_.relocations) {
        if (uint64_t{rva} + 4 > size()) {
            error = fmt::format("base relocation at RVA {:#x} lies outside the image", rva);
            return false;
        }
        write32(rva, read32(rva) + delta);
    }
    return true;
}

bool LoadedImage::bind(const ImportResolver& resolve, std::string& error)
{
    for (const auto& import : pe_.imports) {
        auto address = resolve(import.module, import.name);
        if (!address) {
            error = fmt::format("unresolved import {}!{}", import.module, import.name);
            return false;
        }
        if (uint64_t{import.iat_rva} + 4 > size()) {
            error = fmt::format("import slot of {} lies outside the image", import.name);
            return false;
        }
        write32(import.iat_rva, *address);
    }
    return true;
}

void LoadedImage::protect()
{
    for (uint32_t p = 0; p * kPageSize < pe_.size_of_headers; p++)
        access_[p] |= kPageRead;
    for (const auto& s : pe_.sections) {
        uint8_t access = kPageRead;
        if (s.characteristics & kSectionWrite)
            access |= kPageWrite;
        if (s.characteristics & kSectionExecute)
            access |= kPageExecute;
        const uint32_t extent = std::max(s.virtual_size, s.raw_size);
        for (uint32_t p = s.virtual_address / kPageSize;
             extent != 0 && p <= (s.virtual_address + extent - 1) / kPageSize && p < access_.size(); p++)
            access_[p] |= access;
    }
}

bool LoadedImage::in_code(uint32_t address) const
{
    if (!contains(address))
        return false;
    const PeSection* s = pe_.section_at(address - base_);
    return s != nullptr && (s->characteristics & kSectionExecute);
}

}  // namespace sim::loader
