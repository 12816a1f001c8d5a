// hbasim32's half of --driver: load the image and keep its traps while it lives.
#include "driver_image.h"

#include <fstream>
#include <iterator>
#include <vector>

#include <fmt/format.h>

#include "loader/loaded_image.h"
#include "loader/port_driver_exports.h"
#include "loader/privileged.h"

namespace hbasim {
namespace {

// A kernel image loaded and bound to the simulator's port driver services,
// its privileged instructions emulated while it lives. As a Miniport it is
// loaded once, fresh, and boots one machine.
class DriverImage : public sim::Miniport {
public:
    // Null with `error` (one line) when the file cannot be read or is not a loadable image.
    static std::unique_ptr<DriverImage> load(const std::string& path, std::string& error);
    ~DriverImage() override;
    DriverImage(const DriverImage&) = delete;
    DriverImage& operator=(const DriverImage&) = delete;

    EntryPoint load() override { return entry(); }
    sim::Machine::EntryPoint entry() const;
    uint32_t base() const;

private:
    struct Loaded;
    explicit DriverImage(std::unique_ptr<Loaded> loaded);
    std::unique_ptr<Loaded> loaded_;
};

struct DriverImage::Loaded {
    std::vector<uint8_t> file;
    std::unique_ptr<sim::loader::LoadedImage> image;
};

std::unique_ptr<DriverImage> DriverImage::load(const std::string& path, std::string& error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = fmt::format("{}: cannot be read", path);
        return nullptr;
    }
    auto loaded = std::make_unique<Loaded>();
    loaded->file.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    std::string why;
    loaded->image = sim::loader::LoadedImage::load(loaded->file, sim::loader::resolve_port_driver_export, why);
    if (!loaded->image) {
        error = fmt::format("{}: not a loadable driver image: {}", path, why);
        return nullptr;
    }
    if (!sim::loader::trap_privileged_instructions(*loaded->image)) {
        error = fmt::format("{}: its privileged instructions cannot be emulated on this host", path);
        return nullptr;
    }
    return std::unique_ptr<DriverImage>(new DriverImage(std::move(loaded)));
}

DriverImage::DriverImage(std::unique_ptr<Loaded> loaded) : loaded_(std::move(loaded)) {}

DriverImage::~DriverImage()
{
    sim::loader::forget_privileged_instructions(*loaded_->image);
}

sim::Machine::EntryPoint DriverImage::entry() const
{
    return reinterpret_cast<sim::Machine::EntryPoint>(static_cast<uintptr_t>(loaded_->image->entry()));
}

uint32_t DriverImage::base() const
{
    return loaded_->image->base();
}

}  // namespace

std::unique_ptr<sim::Miniport> choose_driver(const std::string& path, char**, std::string& description,
                                             std::string& error)
{
    if (path.empty())
        return nullptr;
    std::unique_ptr<DriverImage> image = DriverImage::load(path, error);
    if (image)
        description = fmt::format("driver: {}, loaded at {:#010x}", path, image->base());
    return image;
}

}  // namespace hbasim
