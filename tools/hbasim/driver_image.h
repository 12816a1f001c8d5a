// --driver PATH.sys: a scenario run with a built kernel image in place of the
// linked-in driver.
//
// The image is i386 code, so only the 32-bit build of hbasim (hbasim32) can
// load and call it. Each program links one side of choose_driver: hbasim
// (driver_exec.cpp) hands the whole command line over to hbasim32, found
// beside itself or where the build put it; hbasim32 (driver_image.cpp) loads
// the image and keeps its privileged instructions emulated while it lives.
#pragma once

#include <memory>
#include <string>

#include "pc/machine.h"

namespace hbasim {

// The driver a run boots: null for the linked-in driver (no `path`), or the
// image at `path`, with `description` the line that says where it was loaded.
// Null with `error` (one line) when the image cannot be run; hbasim returns
// from here only then, having handed over to hbasim32 otherwise.
std::unique_ptr<sim::Miniport> choose_driver(const std::string& path, char** argv, std::string& description,
                                             std::string& error);

}  // namespace hbasim
