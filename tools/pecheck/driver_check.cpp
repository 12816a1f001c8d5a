#include "driver_check.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <string>

#include "loader/instruction_set.h"
#include "loader/pe_file.h"
#include "version_info.h"

namespace pecheck {
namespace {

using sim::loader::PeFile;

bool SameModule(std::string_view a, std::string_view b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
    });
}

void CheckHeaders(const PeFile& pe, std::vector<std::string>& problems)
{
    if (pe.machine != sim::loader::kMachineI386)
        problems.push_back(fmt::format("machine is {:#x}, not i386 (0x14c)", pe.machine));
    if (pe.subsystem != sim::loader::kSubsystemNative)
        problems.push_back(fmt::format("subsystem is {}, not native (1)", pe.subsystem));
    const auto* entry = pe.section_at(pe.entry_rva);
    if (pe.entry_rva == 0 || entry == nullptr || !(entry->characteristics & sim::loader::kSectionExecute))
        problems.push_back(fmt::format("entry point {:#x} is not in a code section", pe.entry_rva));
    if (!pe.has_relocation_directory || pe.relocations.empty())
        problems.push_back("no base relocations: the image could load only at its preferred base");
}

void CheckImports(const PeFile& pe, const std::vector<std::string>& services,
                  std::vector<std::string>& problems)
{
    if (pe.imports.empty())
        problems.push_back("imports nothing: the driver cannot reach the port driver");
    std::vector<std::string> foreign;
    for (const auto& import : pe.imports) {
        if (!SameModule(import.module, "SCSIPORT.SYS")) {
            if (std::find(foreign.begin(), foreign.end(), import.module) == foreign.end()) {
                foreign.push_back(import.module);
                problems.push_back(fmt::format("imports {} (and maybe more) from {}: only SCSIPORT.SYS may be "
                                               "imported from",
                                               import.name, import.module));
            }
            continue;
        }
        if (std::find(services.begin(), services.end(), import.name) == services.end())
            problems.push_back(fmt::format("imports {}, which the boundary does not declare", import.name));
    }
}

// Every instruction beyond the 80386 without a coprocessor, each named; a
// long list is cut after the first few dozen.
void CheckInstructions(const PeFile& pe, std::span<const uint8_t> image, std::vector<std::string>& problems)
{
    constexpr size_t kListed = 40;
    std::string error;
    const auto foreign = sim::loader::instructions_beyond_386(pe, image, error);
    if (!error.empty())
        problems.push_back(error);
    for (size_t i = 0; i < foreign.size() && i < kListed; i++)
        problems.push_back(sim::loader::describe(foreign[i]));
    if (foreign.size() > kListed)
        problems.push_back(fmt::format("... and {} more instructions beyond the 80386", foreign.size() - kListed));
}

// The version resource names the file, says what it is, and its version
// texts agree with the fixed version numbers.
void CheckVersion(const PeFile& pe, std::span<const uint8_t> image, std::vector<std::string>& problems)
{
    constexpr uint32_t kTypeDriver = 3, kSubtypeSystemDriver = 7;
    std::string error;
    const auto info = ReadVersionInfo(pe, image, error);
    if (!info) {
        problems.push_back(error);
        return;
    }
    auto text = [&](const char* key) {
        const auto it = info->strings.find(key);
        return it == info->strings.end() ? std::string() : it->second;
    };
    if (text("OriginalFilename") != "hba.sys")
        problems.push_back(fmt::format("version resource: OriginalFilename is \"{}\", not \"hba.sys\"",
                                       text("OriginalFilename")));
    if (text("FileDescription").empty())
        problems.push_back("version resource: no FileDescription");
    if (text("FileVersion") != info->file_version_text())
        problems.push_back(fmt::format("version resource: FileVersion \"{}\" is not the file version {}",
                                       text("FileVersion"), info->file_version_text()));
    if (info->file_type != kTypeDriver || info->file_subtype != kSubtypeSystemDriver)
        problems.push_back(fmt::format("version resource: file type {}/{}, not a system driver (3/7)",
                                       info->file_type, info->file_subtype));
}

}  // namespace

std::vector<std::string> ServicesDeclaredIn(std::string_view header)
{
    // Every identifier that starts with ScsiPort and is followed by an opening
    // parenthesis: a service declaration.
    constexpr std::string_view kPrefix = "ScsiPort";
    auto identifier = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; };
    std::vector<std::string> names;
    for (size_t at = header.find(kPrefix); at != std::string_view::npos; at = header.find(kPrefix, at + 1)) {
        if (at > 0 && identifier(header[at - 1]))
            continue;
        size_t end = at + kPrefix.size();
        while (end < header.size() && identifier(header[end]))
            end++;
        size_t paren = end;
        while (paren < header.size() && std::isspace(static_cast<unsigned char>(header[paren])))
            paren++;
        if (end == at + kPrefix.size() || paren >= header.size() || header[paren] != '(')
            continue;
        std::string name(header.substr(at, end - at));
        if (std::find(names.begin(), names.end(), name) == names.end())
            names.push_back(std::move(name));
    }
    return names;
}

std::vector<std::string> CheckDriverImage(std::span<const uint8_t> image, const std::vector<std::string>& services)
{
    auto parsed = sim::loader::parse_pe(image);
    if (!parsed.file)
        return {fmt::format("not a readable PE32 image: {}", parsed.error)};
    const PeFile& pe = *parsed.file;
    std::vector<std::string> problems;
    CheckHeaders(pe, problems);
    CheckImports(pe, services, problems);
    CheckInstructions(pe, image, problems);
    CheckVersion(pe, image, problems);
    const uint32_t checksum = sim::loader::compute_pe_checksum(image, pe.checksum_offset);
    if (pe.checksum != checksum)
        problems.push_back(fmt::format("header checksum is {:#x}, the file sums to {:#x}", pe.checksum, checksum));
    return problems;
}

bool SetChecksum(std::vector<uint8_t>& image, std::string& error)
{
    auto parsed = sim::loader::parse_pe(image);
    if (!parsed.file) {
        error = parsed.error;
        return false;
    }
    const uint32_t at = parsed.file->checksum_offset;
    const uint32_t sum = sim::loader::compute_pe_checksum(image, at);
    for (int i = 0; i < 4; i++)
        image[at + i] = static_cast<uint8_t>(sum >> (8 * i));
    return true;
}

}  // namespace pecheck
