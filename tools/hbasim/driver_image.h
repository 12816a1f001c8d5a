// --driver PATH.sys: a scenario run with a built kernel image in place of the
// linked-in driver, on the simulator's emulated i386 processor.
#pragma once

#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "loader/emulated_driver.h"

namespace hbasim {

// The image at `path`, checked and laid out, with `description` the line that
// says where it was loaded; null with `error` (one line) when it cannot be run.
std::unique_ptr<sim::loader::EmulatedDriver> open_driver(const std::string& path, std::string& description,
                                                         std::string& error);

// The image's stack figures: a table for the report and an object for the JSON.
std::string stack_table(const sim::loader::EmulatedDriver& driver);
nlohmann::json stack_json(const sim::loader::EmulatedDriver& driver);

}  // namespace hbasim
