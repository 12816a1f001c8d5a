// The version resource of a driver image: the fixed file information and
// the string table (FileVersion, FileDescription, OriginalFilename, ...),
// read back from the image's resource directory.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>

#include "loader/pe_file.h"

namespace pecheck {

struct VersionInfo {
    std::array<uint16_t, 4> file_version{};
    std::array<uint16_t, 4> product_version{};
    uint32_t file_os = 0;
    uint32_t file_type = 0;
    uint32_t file_subtype = 0;
    std::map<std::string, std::string> strings;  // from every string table

    std::string file_version_text() const;  // "1.2.3.4"
};

// The image's version resource; nothing, with `error` set, when it has none
// or it cannot be read. Every read is bounds-checked.
std::optional<VersionInfo> ReadVersionInfo(const sim::loader::PeFile& pe, std::span<const uint8_t> image,
                                           std::string& error);

}  // namespace pecheck
