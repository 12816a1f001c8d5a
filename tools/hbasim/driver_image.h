// --driver PATH.sys: a scenario run with a built kernel image in place of the
// linked-in driver.
//
// The image is i386 code, so only the 32-bit build of hbasim (hbasim32) can
// load and call it. The 64-bit hbasim hands the whole command line over to
// hbasim32, found beside itself or where the build put it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "pc/machine.h"

namespace hbasim {

// The 64-bit side: replaces this process with hbasim32 given the same
// arguments. Returns only when that cannot be done, with `error` saying why.
void exec_image_runner(char** argv, std::string& error);

#if HBASIM_LOADS_IMAGES
// The 32-bit side: a kernel image loaded and bound to the simulator's port
// driver services, its privileged instructions emulated while it lives. As a
// Miniport it is loaded once, fresh, and boots one machine.
class DriverImage : public sim::Miniport {
public:
    // Null with `error` (one line) when the file cannot be read or is not a loadable image.
    static std::unique_ptr<DriverImage> load(const std::string& path, std::string& error);
    ~DriverImage() override;
    DriverImage(const DriverImage&) = delete;
    DriverImage& operator=(const DriverImage&) = delete;

    sim::Machine::EntryPoint entry() const;
    EntryPoint load() override { return entry(); }
    uint32_t base() const;

private:
    struct Loaded;
    explicit DriverImage(std::unique_ptr<Loaded> loaded);
    std::unique_ptr<Loaded> loaded_;
};
#endif

}  // namespace hbasim
