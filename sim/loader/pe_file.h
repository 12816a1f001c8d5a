// Reading a PE32 image file: headers, sections, imports, base relocations and
// the header checksum. Every offset read from the file is bounds-checked; a
// malformed file yields an error text, never a read outside the bytes given.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace sim::loader {

inline constexpr uint16_t kMachineI386 = 0x14C;
inline constexpr uint16_t kSubsystemNative = 1;
inline constexpr uint32_t kSectionExecute = 0x20000000;
inline constexpr uint32_t kSectionRead = 0x40000000;
inline constexpr uint32_t kSectionWrite = 0x80000000;

struct PeSection {
    std::string name;
    uint32_t virtual_address = 0;
    uint32_t virtual_size = 0;
    uint32_t raw_offset = 0;
    uint32_t raw_size = 0;
    uint32_t characteristics = 0;
};

// One imported routine, by name, and the import-address-table slot the
// loader fills with its address.
struct PeImport {
    std::string module;
    std::string name;
    uint32_t iat_rva = 0;
};

struct PeFile {
    uint16_t machine = 0;
    uint16_t characteristics = 0;
    uint16_t subsystem = 0;
    uint16_t dll_characteristics = 0;
    uint32_t image_base = 0;
    uint32_t entry_rva = 0;
    uint32_t size_of_image = 0;
    uint32_t size_of_headers = 0;
    uint32_t section_alignment = 0;
    uint32_t file_alignment = 0;
    uint32_t checksum = 0;
    uint32_t checksum_offset = 0;  // file offset of the checksum field
    std::vector<PeSection> sections;
    std::vector<PeImport> imports;
    bool has_relocation_directory = false;
    std::vector<uint32_t> relocations;  // RVAs of 32-bit absolute fixups
    uint32_t resource_rva = 0;          // the resource directory; 0 when there is none
    uint32_t resource_size = 0;

    // The section holding `rva`, if any.
    const PeSection* section_at(uint32_t rva) const;
};

struct PeParse {
    std::optional<PeFile> file;
    std::string error;
};

PeParse parse_pe(std::span<const uint8_t> bytes);

// The `length` bytes of `file` that the image holds at `rva`, when all of
// them lie in the file (in the headers or one section's raw data).
std::optional<std::span<const uint8_t>> bytes_at(const PeFile& pe, std::span<const uint8_t> file, uint32_t rva,
                                                uint32_t length);

// The header checksum of a PE file: 16-bit one's-complement-style sum of the
// file with the checksum field taken as zero, plus the file length.
uint32_t compute_pe_checksum(std::span<const uint8_t> bytes, uint32_t checksum_offset);

}  // namespace sim::loader
