// A PE32 image mapped into this process as a kernel would map it: sections at
// their offsets from any base, base relocations applied, imports bound to the
// addresses a resolver names, and each page given its section's protection.
// Addresses are 32-bit: on a 64-bit host the image is placed below 4 GiB (it
// can then be inspected, not run); on an i386 host it can be called.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "loader/pe_file.h"

namespace sim::loader {

// The address to bind an import to, or nothing when it is not provided.
using ImportResolver = std::function<std::optional<uint32_t>(std::string_view module, std::string_view name)>;

class LoadedImage {
public:
    // Maps `file`; on failure returns null with `error` saying why.
    static std::unique_ptr<LoadedImage> load(std::span<const uint8_t> file, const ImportResolver& resolve,
                                             std::string& error);
    ~LoadedImage();
    LoadedImage(const LoadedImage&) = delete;
    LoadedImage& operator=(const LoadedImage&) = delete;

    uint32_t base() const { return base_; }
    uint32_t size() const { return size_; }
    uint32_t entry() const { return base_ + pe_.entry_rva; }
    const PeFile& pe() const { return pe_; }
    bool contains(uint32_t address) const { return address >= base_ && address - base_ < size_; }
    // True when `address` lies in an executable section.
    bool in_code(uint32_t address) const;
    uint32_t read32(uint32_t rva) const;

private:
    LoadedImage(PeFile pe, uint8_t* memory, uint32_t size);
    bool place(std::span<const uint8_t> file, std::string& error);
    bool relocate(std::string& error);
    bool bind(const ImportResolver& resolve, std::string& error);
    bool protect(std::string& error);
    void write32(uint32_t rva, uint32_t value);

    PeFile pe_;
    uint8_t* memory_;
    uint32_t base_;
    uint32_t size_;
};

}  // namespace sim::loader
