// pecheck: checks a built kernel-mode driver image, or writes its checksum.
//   pecheck --services HEADER IMAGE   check IMAGE; imports must be services HEADER declares
//   pecheck --set-checksum IMAGE      write the correct header checksum into IMAGE
#include <fmt/format.h>

#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "driver_check.h"

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
    fmt::print(stderr, "usage: pecheck --services HEADER IMAGE | pecheck --set-checksum IMAGE\n");
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

int Check(const std::string& header_path, const std::string& path)
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
    const auto problems = pecheck::CheckDriverImage(*image, services);
    for (const auto& p : problems)
        fmt::print("pecheck: {}: {}\n", path, p);
    if (!problems.empty())
        return 1;
    fmt::print("pecheck: {}: PE32 i386 native driver image, imports from SCSIPORT.SYS only, checksum valid\n",
               path);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 2 && args[0] == "--set-checksum")
        return SetChecksum(args[1]);
    if (args.size() == 3 && args[0] == "--services")
        return Check(args[1], args[2]);
    return Usage();
}
