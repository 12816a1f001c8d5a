#include "pc/machine_faults.h"

#include <numeric>
#include <stdexcept>

#include <fmt/format.h>

namespace sim {

// Another device's interrupt source on an adapter's line, and whether it is raised.
struct MachineFaults::Line {
    InterruptLine* source = nullptr;
    bool raised = false;
};

MachineFaults::MachineFaults(Machine& machine, Choices& choices) : machine_(machine), choices_(choices)
{
    for (size_t a = 0; a < machine.config().adapters.size(); a++)
        for (const DeviceConfig& d : machine.config().adapters[a].devices) {
            Target* t = machine.bus(a).target(d.id);
            if (!t)
                continue;
            devices_[{a, d.id}] = std::make_unique<DeviceFaults>(
                *t, choices_, counts_, [this, a, id = d.id](FaultKind kind, Nanoseconds delay) { timed(a, id, kind, delay); });
        }
}

MachineFaults::~MachineFaults()
{
    *alive_ = false;
    for (auto& [index, l] : lines_)
        if (l->raised)
            l->source->set_level(false);
}

DeviceFaults& MachineFaults::device(size_t config_index, uint8_t target)
{
    auto it = devices_.find({config_index, target});
    if (it == devices_.end())
        throw std::invalid_argument("no device at that adapter and ID");
    return *it->second;
}

void MachineFaults::set_random(FaultSet kinds, double rate)
{
    quiet_ = false;
    for (auto& [key, d] : devices_)
        d->set_random(kinds, rate);
}

void MachineFaults::stop()
{
    quiet_ = true;
    for (auto& [key, d] : devices_)
        d->stop();
    for (auto& [key, d] : devices_)
        if (Target* t = machine_.bus(key.first).target(key.second))
            t->drop_ghosts();
}

uint64_t MachineFaults::injected() const { return std::accumulate(counts_.begin(), counts_.end(), uint64_t{0}); }

MachineFaults::Line& MachineFaults::line(size_t config_index)
{
    auto& slot = lines_[config_index];
    if (slot)
        return *slot;
    slot = std::make_unique<Line>();
    const uint8_t irq = machine_.config().adapters.at(config_index).irq;
    slot->source = &machine_.interrupts().connect(irq);
    // Its own routine claims it and quiets the device. It shares the adapter's
    // line, which it cannot when the adapter holds the line Latched.
    const bool shared = machine_.port_driver().add_shared_handler(irq, [this, l = slot.get(), alive = alive_] {
        if (!*alive || !l->raised)
            return false;
        l->raised = false;
        l->source->set_level(false);
        foreign_claimed_++;
        return true;
    });
    if (!shared)
        machine_.errors().report("machine faults", fmt::format("another device cannot share IRQ {}: the adapter "
                                                               "connected it Latched (exclusive)",
                                                               irq));
    return *slot;
}

void MachineFaults::timed(size_t config_index, uint8_t target, FaultKind kind, Nanoseconds delay)
{
    machine_.clock().after(delay, [this, alive = alive_, config_index, target, kind] {
        if (!*alive || quiet_)
            return;
        counts_[static_cast<size_t>(kind)]++;
        switch (kind) {
        case FaultKind::ForeignBusReset:
            if (!machine_.bus(config_index).resetting())
                machine_.bus(config_index).assert_reset();
            return;
        case FaultKind::GhostReselection: ghost(config_index, target); return;
        case FaultKind::ForeignInterrupt: {
            Line& l = line(config_index);
            l.raised = true;
            l.source->set_level(true);
            return;
        }
        default: return;
        }
    });
}

// A LUN the target holds nothing for, with or without a tag.
void MachineFaults::ghost(size_t config_index, uint8_t target_id)
{
    Target* t = machine_.bus(config_index).target(target_id);
    const auto start = static_cast<uint8_t>(choices_.below(8));
    for (uint8_t i = 0; i < 8; i++) {
        const auto lun = static_cast<uint8_t>((start + i) & 7);
        if (t->holds_commands(lun))
            continue;
        std::optional<uint8_t> tag;
        if (choices_.below(2))
            tag = static_cast<uint8_t>(choices_.below(32));
        t->ghost_reselection(lun, tag);
        return;
    }
}

}  // namespace sim
