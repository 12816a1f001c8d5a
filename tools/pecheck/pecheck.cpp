// pecheck: checks a built kernel-mode driver image, or writes its checksum,
// or checks the driver disk's setup files.
//   pecheck --services HEADER [--version V] IMAGE
//                                     check IMAGE; imports must be services HEADER declares,
//                                     and its version resource must give file version V
//   pecheck --set-checksum IMAGE      write the correct header checksum into IMAGE
//   pecheck --setup-files DIR         check txtsetup.oem and oemsetup.inf in DIR against DIR
#include <fmt/format.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "driver_check.h"
#include "setup_check.h"
#include "version_info.h"

namespace {

std::optional<std::vector<uint8_t>> ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int Usage()
{
    fmt::print(stderr, "usage: pecheck --services HEADER [--version V] IMAGE | pecheck --set-checksum IMAGE | "
                       "pecheck --setup-files DIR\n");
    return 2;
}

int SetChecksum(const std::string& path)
{
    auto image = ReadFile(path);
    std::string error = "cannot read the file";
    if (!image || !pecheck::SetChecksum(*image, error)) {
        fmt::print(stderr, "pecheck: {}: {}\n", path, error);
        return 1;
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image->data()), static_cast<std::streamsize>(image->size()));
    if (!out) {
        fmt::print(stderr, "pecheck: {}: cannot write\n", path);
        return 1;
    }
    return 0;
}

int Check(const std::string& header_path, const std::string& version, const std::string& path)
{
    auto header = ReadFile(header_path);
    auto image = ReadFile(path);
    if (!header || !image) {
        fmt::print(stderr, "pecheck: cannot read {}\n", !header ? header_path : path);
        return 1;
    }
    const auto services = pecheck::ServicesDeclaredIn(std::string(header->begin(), header->end()));
    if (services.empty()) {
        fmt::print(stderr, "pecheck: {} declares no port-driver service\n", header_path);
        return 1;
    }
    auto problems = pecheck::CheckDriverImage(*image, services);
    std::string file_version;
    if (problems.empty()) {
        std::string error;
        const auto pe = sim::loader::parse_pe(*image);
        const auto info = pecheck::ReadVersionInfo(*pe.file, *image, error);
        file_version = info ? info->file_version_text() : error;
        if (!version.empty() && file_version != version)
            problems.push_back(fmt::format("file version is {}, the project's is {}", file_version, version));
    }
    for (const auto& p : problems)
        fmt::print("pecheck: {}: {}\n", path, p);
    if (!problems.empty())
        return 1;
    fmt::print("pecheck: {}: PE32 i386 native driver image, version {}, 80386 instructions only, imports from "
               "SCSIPORT.SYS only, checksum valid\n",
               path, file_version);
    return 0;
}

int CheckSetupFiles(const std::string& dir)
{
    pecheck::DiskFiles disk;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
        if (!entry.is_regular_file())
            continue;
        auto bytes = ReadFile(entry.path().string());
        if (!bytes) {
            fmt::print(stderr, "pecheck: cannot read {}\n", entry.path().string());
            return 1;
        }
        disk[entry.path().filename().string()] = std::string(bytes->begin(), bytes->end());
    }
    if (error) {
        fmt::print(stderr, "pecheck: cannot read the directory {}: {}\n", dir, error.message());
        return 1;
    }
    const auto problems = pecheck::CheckSetupFiles(disk);
    for (const auto& p : problems)
        fmt::print("pecheck: {}\n", p);
    if (!problems.empty())
        return 1;
    fmt::print("pecheck: {}: txtsetup.oem and oemsetup.inf name only sections they have and files on the disk; "
               "the service is a boot-start SCSI miniport\n",
               dir);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 2 && args[0] == "--set-checksum")
        return SetChecksum(args[1]);
    if (args.size() == 3 && args[0] == "--services")
        return Check(args[1], "", args[2]);
    if (args.size() == 5 && args[0] == "--services" && args[2] == "--version")
        return Check(args[1], args[3], args[4]);
    if (args.size() == 2 && args[0] == "--setup-files")
        return CheckSetupFiles(args[1]);
    return Usage();
}
