#include "loader/loaded_image.h"

#include <sys/mman.h>
#include <unistd.h>

#include <fmt/format.h>

#include "loader/instruction_set.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace sim::loader {
namespace {

uint32_t page_size()
{
    return static_cast<uint32_t>(sysconf(_SC_PAGESIZE));
}

uint8_t* map_low(size_t length)
{
    int flags = MAP_PRIVATE | MAP_ANONYMOUS;
#if defined(__x86_64__)
    flags |= MAP_32BIT;  // the image's pointers are 32 bits wide
#endif
    void* p = mmap(nullptr, length, PROT_READ | PROT_WRITE, flags, -1, 0);
    return p == MAP_FAILED ? nullptr : static_cast<uint8_t*>(p);
}

int protection(uint32_t characteristics)
{
    int prot = PROT_READ;
    if (characteristics & kSectionWrite)
        prot |= PROT_WRITE;
    if (characteristics & kSectionExecute)
        prot |= PROT_EXEC;
    return prot;
}

}  // namespace

std::unique_ptr<LoadedImage> LoadedImage::load(std::span<const uint8_t> file, const ImportResolver& resolve,
                                               std::string& error)
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
    const uint32_t page = page_size();
    const uint64_t length = (uint64_t{parsed.file->size_of_image} + page - 1) / page * page;
    if (length == 0 || length > (256u << 20)) {
        error = fmt::format("image size {:#x} out of range", parsed.file->size_of_image);
        return nullptr;
    }
    uint8_t* memory = map_low(length);
    if (memory == nullptr) {
        error = "no memory below 4 GiB for the image";
        return nullptr;
    }
    std::unique_ptr<LoadedImage> image(new LoadedImage(std::move(*parsed.file), memory, static_cast<uint32_t>(length)));
    if (!image->place(file, error) || !image->relocate(error) || !image->bind(resolve, error) ||
        !image->protect(error))
        return nullptr;
    return image;
}

LoadedImage::LoadedImage(PeFile pe, uint8_t* memory, uint32_t size)
    : pe_(std::move(pe)),
      memory_(memory),
      base_(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(memory))),
      size_(size)
{
}

LoadedImage::~LoadedImage()
{
    munmap(memory_, size_);
}

bool LoadedImage::place(std::span<const uint8_t> file, std::string& error)
{
    std::memcpy(memory_, file.data(), pe_.size_of_headers);
    for (const auto& s : pe_.sections) {
        // Raw data beyond the section's virtual size is file padding, not image.
        const uint32_t length = s.virtual_size != 0 ? std::min(s.raw_size, s.virtual_size) : s.raw_size;
        if (uint64_t{s.virtual_address} + length > size_) {
            error = fmt::format("section {} does not fit the image", s.name);
            return false;
        }
        std::memcpy(memory_ + s.virtual_address, file.data() + s.raw_offset, length);
    }
    return true;
}

uint32_t LoadedImage::read32(uint32_t rva) const
{
    uint32_t v;
    std::memcpy(&v, memory_ + rva, sizeof(v));
    return v;
}

void LoadedImage::write32(uint32_t rva, uint32_t value)
{
    std::memcpy(memory_ + rva, &value, sizeof(value));
}

bool LoadedImage::relocate(std::string& error)
{
    const uint32_t delta = base_ - pe_.image_base;
    if (delta != 0 && !pe_.has_relocation_directory) {
        error = "the image has no base relocations and cannot load away from its preferred base";
        return false;
    }
    for (uint32_t rva : pe_.relocations)
        write32(rva, read32(rva) + delta);
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
        write32(import.iat_rva, *address);
    }
    return true;
}

bool LoadedImage::protect(std::string& error)
{
    const uint32_t page = page_size();
    std::vector<int> prot(size_ / page, PROT_NONE);
    for (uint32_t p = 0; p * page < pe_.size_of_headers; p++)
        prot[p] |= PROT_READ;
    for (const auto& s : pe_.sections) {
        const uint32_t extent = std::max(s.virtual_size, s.raw_size);
        for (uint32_t p = s.virtual_address / page; extent != 0 && p <= (s.virtual_address + extent - 1) / page; p++)
            prot[p] |= protection(s.characteristics);
    }
    for (uint32_t p = 0; p < prot.size(); p++) {
        if (mprotect(memory_ + uint64_t{p} * page, page, prot[p]) != 0) {
            error = fmt::format("cannot protect image page {:#x}", p * page);
            return false;
        }
    }
    return true;
}

bool LoadedImage::in_code(uint32_t address) const
{
    if (!contains(address))
        return false;
    const PeSection* s = pe_.section_at(address - base_);
    return s != nullptr && (s->characteristics & kSectionExecute);
}

}  // namespace sim::loader
