#include "report.h"

#include <algorithm>

#include <fmt/format.h>

namespace hbasim {

unsigned tag_depth(uint8_t shift)
{
    return shift >= 3 ? 16u : std::min(2u << shift, 16u);
}

int found_under_mechanism(const sim::MachineConfig& config, const sim::AdapterConfig& adapter)
{
    return config.mechanism2 && adapter.device < 16 ? 2 : 1;
}

namespace {

const char* yes_no(bool on)
{
    return on ? "yes" : "-";
}

std::string describe_target(const AdapterExtension& ext, unsigned id)
{
    const LunRecord& lun = ext.Lun[id][0];
    const uint8_t f = lun.TargetFlags;
    const unsigned period = lun.SyncClocks * 25u;
    const bool tagged = (f & TF_TAGGED) != 0;
    return fmt::format("    {:<6} {:<6} {:<4} {:<10} {:<6} {:<8} {:<4} {}{}\n", id, yes_no(f & TF_PARITY),
                       yes_no(f & TF_SYNC), yes_no(f & TF_DISCONNECT), yes_no(tagged),
                       period ? fmt::format("{} ns", period) : "async", period ? fmt::to_string(period / 4) : "-",
                       tagged ? fmt::to_string(tag_depth(ext.TagDepthShift)) : "-",
                       id == ext.InitiatorId ? "   (the adapter's own ID)" : "");
}

}  // namespace

std::string describe_adapters(sim::Machine& machine)
{
    std::string out;
    const auto& found = machine.adapters();
    out += fmt::format("{} adapter{} found\n", found.size(), found.size() == 1 ? "" : "s");
    for (size_t i = 0; i < found.size(); i++) {
        const sim::Machine::FoundAdapter& a = found[i];
        const AdapterExtension& ext = *a.extension;
        const auto base = static_cast<uint32_t>((*a.config.AccessRanges)[0].RangeStart.QuadPart);
        if (a.config_index >= 0) {
            const sim::AdapterConfig& ac = machine.config().adapters[static_cast<size_t>(a.config_index)];
            out += fmt::format("adapter {}: PCI bus {} device {} (mechanism #{}), ", i, ac.bus, ac.device,
                               found_under_mechanism(machine.config(), ac));
        } else {
            out += fmt::format("adapter {}: not in the machine's configuration, ", i);
        }
        out += fmt::format("I/O 0x{:04X}-0x{:04X}, IRQ {}, initiator ID {}\n", base,
                           base + (*a.config.AccessRanges)[0].RangeLength - 1, a.config.BusInterruptLevel,
                           ext.InitiatorId);
        out += "    target parity sync disconnect tagged period   SDTR tag depth\n";
        for (unsigned t = 0; t < MAX_TARGETS; t++)
            out += describe_target(ext, t);
    }
    return out;
}

std::string describe_errors(const sim::Machine& machine)
{
    const auto& all = machine.errors().all();
    if (all.empty())
        return {};
    // The first ones tell the story; a broken run can report thousands.
    constexpr size_t kShown = 20;
    std::string out = fmt::format("{} model error{}{}:\n", all.size(), all.size() == 1 ? "" : "s",
                                  all.size() > kShown ? fmt::format(", the first {}", kShown) : "");
    for (size_t i = 0; i < std::min(all.size(), kShown); i++)
        out += all[i].to_string() + "\n";
    return out;
}

}  // namespace hbasim
