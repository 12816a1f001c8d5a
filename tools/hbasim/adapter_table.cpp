#include "adapter_table.h"

#include <fmt/format.h>

namespace hbasim {

unsigned tag_depth(uint8_t shift)
{
    return sim::settings_tag_depth(shift);
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

// A target as the adapter's settings describe it, and the timing its last
// data phase ran at (from the bus).
std::string describe_target(const sim::AdapterSettings& settings, const sim::ScsiBus* bus, unsigned id,
                            unsigned own_id)
{
    const uint8_t f = settings.targets[id].flags;
    const unsigned period = sim::settings_period_clocks(settings.targets[id].speed_index) * 25u;
    const bool tagged = (f & sim::kTargetTagged) != 0;
    std::string ran = "-";
    if (bus)
        if (const auto& t = bus->last_data_timing(static_cast<uint8_t>(id)))
            ran = t->offset ? fmt::format("{} ns/{}", t->period_ns, t->offset) : "async";
    return fmt::format("    {:<6} {:<6} {:<4} {:<10} {:<6} {:<8} {:<4} {:<9} {}{}\n", id, yes_no(f & sim::kTargetParity),
                       yes_no(f & sim::kTargetSync), yes_no(f & sim::kTargetDisconnect), yes_no(tagged),
                       period ? fmt::format("{} ns", period) : "async", period ? fmt::to_string(period / 4) : "-",
                       tagged ? fmt::to_string(tag_depth(settings.tag_depth_shift)) : "-", ran,
                       id == own_id ? "   (the adapter's own ID)" : "");
}

}  // namespace

std::string describe_adapters(sim::Machine& machine)
{
    std::string out;
    const auto& found = machine.adapters();
    out += fmt::format("{} adapter{} found\n", found.size(), found.size() == 1 ? "" : "s");
    for (size_t i = 0; i < found.size(); i++) {
        const sim::Machine::FoundAdapter& a = found[i];
        const auto base = static_cast<uint32_t>((*a.config.AccessRanges)[0].RangeStart.QuadPart);
        const auto own_id = static_cast<unsigned>(a.config.InitiatorBusId[0]);
        if (a.config_index >= 0) {
            const sim::AdapterConfig& ac = machine.config().adapters[static_cast<size_t>(a.config_index)];
            out += fmt::format("adapter {}: PCI bus {} device {} (mechanism #{}), ", i, ac.bus, ac.device,
                               found_under_mechanism(machine.config(), ac));
        } else {
            out += fmt::format("adapter {}: not in the machine's configuration, ", i);
        }
        out += fmt::format("I/O 0x{:04X}-0x{:04X}, IRQ {}, initiator ID {}\n", base,
                           base + (*a.config.AccessRanges)[0].RangeLength - 1, a.config.BusInterruptLevel, own_id);
        if (a.config_index < 0)
            continue;
        const auto index = static_cast<size_t>(a.config_index);
        out += "    target parity sync disconnect tagged period   SDTR tag depth ran at\n";
        for (unsigned t = 0; t < 8; t++)
            out += describe_target(machine.config().adapters[index].settings, &machine.bus(index), t, own_id);
    }
    return out;
}

}  // namespace hbasim
