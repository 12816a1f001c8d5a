#include "model_errors.h"

#include <algorithm>

#include <fmt/format.h>

namespace hbasim {

std::string describe_errors(const sim::Machine& machine)
{
    const auto& all = machine.errors().all();
    const uint64_t count = machine.errors().count();
    if (count == 0)
        return {};
    // The first ones tell the story; a broken run can report thousands.
    constexpr size_t kShown = 20;
    std::string out = fmt::format("{} model error{}{}:\n", count, count == 1 ? "" : "s",
                                  count > kShown ? fmt::format(", the first {}", kShown) : "");
    for (size_t i = 0; i < std::min(all.size(), kShown); i++)
        out += all[i].to_string() + "\n";
    return out;
}

}  // namespace hbasim
