#include "driver_image.h"

#include <fmt/format.h>

namespace hbasim {

std::unique_ptr<sim::loader::EmulatedDriver> open_driver(const std::string& path, std::string& description,
                                                         std::string& error)
{
    auto driver = sim::loader::EmulatedDriver::open_file(path, {}, error);
    if (driver)
        description = fmt::format("driver: {}, loaded at {:#010x} on the emulated i386", path, driver->base());
    return driver;
}

std::string stack_table(const sim::loader::EmulatedDriver& driver)
{
    std::string out = fmt::format("\nkernel stack ({} KiB): deepest {} bytes from the top\n",
                                  sim::loader::EmulatedDriver::kStackSize / 1024, driver.deepest_stack());
    out += fmt::format("  {:<16}{:>8}{:>12}\n", "routine", "deepest", "calls");
    for (const sim::loader::StackUse& u : driver.stack_use())
        if (u.calls)
            out += fmt::format("  {:<16}{:>8}{:>12}\n", u.routine, u.deepest, u.calls);
    return out;
}

nlohmann::json stack_json(const sim::loader::EmulatedDriver& driver)
{
    nlohmann::json routines = nlohmann::json::object();
    for (const sim::loader::StackUse& u : driver.stack_use())
        if (u.calls)
            routines[u.routine] = {{"deepest", u.deepest}, {"calls", u.calls}};
    return {{"stack_bytes", sim::loader::EmulatedDriver::kStackSize},
            {"deepest", driver.deepest_stack()},
            {"routines", routines}};
}

}  // namespace hbasim
