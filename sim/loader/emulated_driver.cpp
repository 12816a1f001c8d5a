// The kernel image, checked and laid out once, and loaded afresh for each machine.
#include "loader/emulated_session.h"

#include <filesystem>
#include <fstream>

#include <fmt/format.h>

#include "loader/instruction_set.h"
#include "pc/boundary.h"

namespace sim::loader {

EmulatedDriver::EmulatedDriver(std::unique_ptr<LoadedImage> image, std::vector<uint32_t> flag_sites,
                               const Options& options)
    : image_(std::move(image)),
      flag_sites_(std::move(flag_sites)),
      options_(options),
      stats_(std::make_shared<Stats>())
{
}

EmulatedDriver::~EmulatedDriver() = default;

std::unique_ptr<EmulatedDriver> EmulatedDriver::open(std::vector<uint8_t> file, const Options& options,
                                                     std::string& error)
{
    auto image = LoadedImage::load(file, options.base.value_or(kDefaultBase), resolve_service, error);
    if (!image)
        return nullptr;
    // The image may lie anywhere the port driver's own parts do not.
    const uint64_t first = image->base(), end = first + image->size();
    const uint64_t stack_floor = kStackTop - uint64_t{options.stack_size} - kPage;
    const bool clash = (first < kPoolEnd && end > kTokenFirst) || end > stack_floor;
    if (clash) {
        error = fmt::format("base {:#x} puts the image over the port driver's part of the address space",
                            image->base());
        return nullptr;
    }
    if (image->base() < 0x10000) {
        error = "the image would cover the first 64 KiB, which stay unmapped";
        return nullptr;
    }
    if (options.stack_size == 0 || options.stack_size % kPage != 0 || options.stack_size > 1024 * 1024) {
        error = fmt::format("a kernel stack of {} bytes: it takes whole pages, up to 1 MiB", options.stack_size);
        return nullptr;
    }
    const auto writes = interrupt_flag_writes(image->pe(), file, error);
    if (!error.empty())
        return nullptr;
    std::vector<uint32_t> sites;
    for (const FlagWrite& w : writes) {
        sites.push_back(image->base() + w.rva);
        sites.push_back(image->base() + w.next_rva);
    }
    return std::unique_ptr<EmulatedDriver>(new EmulatedDriver(std::move(image), std::move(sites), options));
}

std::unique_ptr<EmulatedDriver> EmulatedDriver::open_file(const std::string& path, const Options& options,
                                                          std::string& error)
{
    std::error_code ec;
    const bool regular = std::filesystem::is_regular_file(path, ec);
    const uintmax_t size = regular ? std::filesystem::file_size(path, ec) : 0;
    std::ifstream in(path, std::ios::binary);
    if (!regular || ec || !in) {
        error = fmt::format("{}: cannot be read{}", path, ec || !std::filesystem::exists(path) ? "" : ": not a file");
        return nullptr;
    }
    if (size > (256u << 20)) {
        error = fmt::format("{}: not a loadable driver image: {} bytes is far larger than any driver", path, size);
        return nullptr;
    }
    std::vector<uint8_t> file(static_cast<size_t>(size));
    if (!in.read(reinterpret_cast<char*>(file.data()), static_cast<std::streamsize>(file.size()))) {
        error = fmt::format("{}: cannot be read", path);
        return nullptr;
    }
    std::string why;
    auto driver = open(std::move(file), options, why);
    if (!driver)
        error = fmt::format("{}: not a loadable driver image: {}", path, why);
    return driver;
}

Miniport::EntryPoint EmulatedDriver::load()
{
    Machine* machine = current_machine();
    if (!machine)
        return nullptr;
    auto session = std::make_shared<Session>(*machine, image_, flag_sites_, stats_, options_);
    set_loading(session.get());
    machine->keep(session);
    return &DriverEntryThunk;
}

std::vector<StackUse> EmulatedDriver::stack_use() const
{
    return {stats_->routines.begin(), stats_->routines.end()};
}

uint32_t EmulatedDriver::deepest_stack() const
{
    return stats_->deepest;
}

}  // namespace sim::loader
