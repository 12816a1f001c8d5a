// A PE32 image laid out as a kernel's loader lays it out, for whatever base
// the loader chooses: sections at their offsets from that base, base
// relocations applied, imports bound to the addresses a resolver names, and
// each page given its section's protection. The image lives in this
// process's memory as the bytes an i386 processor would see at `base`; an
// emulated processor maps them there (see emulated_driver.h).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "loader/pe_file.h"

namespace sim::loader {

// The address to bind an import to, or nothing when it is not provided.
using ImportResolver = std::function<std::optional<uint32_t>(std::string_view module, std::string_view name)>;

// What a page of the image may be used for.
enum PageAccess : uint8_t { kPageNone = 0, kPageRead = 1, kPageWrite = 2, kPageExecute = 4 };

class LoadedImage {
public:
    static constexpr uint32_t kPageSize = 4096;

    // Lays `file` out for `base` (a multiple of 64 KiB); on failure returns
    // null with `error` saying why.
    static std::unique_ptr<LoadedImage> load(std::span<const uint8_t> file, uint32_t base,
                                             const ImportResolver& resolve, std::string& error);

    uint32_t base() const { return base_; }
    uint32_t size() const { return static_cast<uint32_t>(memory_.size()); }
    uint32_t entry() const { return base_ + pe_.entry_rva; }
    const PeFile& pe() const { return pe_; }
    bool contains(uint32_t address) const { return address >= base_ && address - base_ < size(); }
    // True when `address` lies in an executable section.
    bool in_code(uint32_t address) const;
    uint32_t read32(uint32_t rva) const;
    // The image's bytes, page after page from its base.
    std::span<const uint8_t> memory() const { return memory_; }
    // The protection of page `index` (0 is the page at the base): a
    // combination of PageAccess bits.
    uint8_t page_access(uint32_t index) const { return access_.at(index); }

private:
    LoadedImage(PeFile pe, uint32_t base, uint32_t size);
    bool place(std::span<const uint8_t> file, std::string& error);
    bool relocate(std::string& error);
    bool bind(const ImportResolver& resolve, std::string& error);
    void protect();
    void write32(uint32_t rva, uint32_t value);

    PeFile pe_;
    uint32_t base_;
    std::vector<uint8_t> memory_;
    std::vector<uint8_t> access_;
};

}  // namespace sim::loader
