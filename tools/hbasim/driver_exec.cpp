// The 64-bit hbasim's half of --driver: hand over to hbasim32.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include <fmt/format.h>

#include "driver_image.h"

#ifndef HBASIM32_PATH
#define HBASIM32_PATH ""
#endif

namespace hbasim {
namespace {

std::filesystem::path beside_this_program()
{
    std::error_code ec;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec)
        return {};
    return self.parent_path() / "hbasim32";
}

bool runnable(const std::filesystem::path& p)
{
    return !p.empty() && access(p.c_str(), X_OK) == 0;
}

// Replaces this process with hbasim32 given the same arguments. Returns only
// when that cannot be done, with `error` saying why.
void exec_image_runner(char** argv, std::string& error)
{
    std::filesystem::path runner = beside_this_program();
    if (!runnable(runner))
        runner = HBASIM32_PATH;
    if (!runnable(runner)) {
        error = fmt::format("--driver needs hbasim32, the 32-bit build that loads kernel images; it is neither "
                            "beside hbasim nor at '{}'",
                            HBASIM32_PATH);
        return;
    }
    argv[0] = const_cast<char*>(runner.c_str());
    execv(runner.c_str(), argv);
    error = fmt::format("cannot run {}: {}", runner.string(), std::strerror(errno));
}

}  // namespace

std::unique_ptr<sim::Miniport> choose_driver(const std::string& path, char** argv, std::string&, std::string& error)
{
    if (!path.empty())
        exec_image_runner(argv, error);
    return nullptr;
}

}  // namespace hbasim
