// Connecting the adapters' interrupts, and calling HwInterrupt when a line
// they are connected to rises.
#include "pc/port_driver.h"

#include <algorithm>
#include <memory>

#include <fmt/format.h>

#include "pc/port_driver_internal.h"

namespace sim {

using namespace port_internal;

namespace {
constexpr int kMaxInterruptRounds = 1000;
}  // namespace

bool PortDriver::interrupt_deliverable() const
{
    if (!interrupts_.any_raised())
        return false;
    for (uint8_t irq : interrupts_.raised_lines())
        for (const auto& a : adapters_)
            if (a->initialized && a->config.BusInterruptLevel == irq &&
                (a->config.InterruptMode != Latched || interrupts_.edge_pending(irq)))
                return true;
    return false;
}

// ---------------------------------------------------------------- interrupts

void PortDriver::on_interrupts_enabled()
{
    // HwResetBus runs at the interrupt's level, whatever it does with the
    // processor's flag. Leniently, the reset wait's re-enabling between its
    // polls lets the adapter's interrupt in at exactly those moments.
    if (options_.interrupts_inside_reset_wait && !routines_.empty() && routines_.back() == Routine::ResetBus)
        deliver_interrupts();
}

void PortDriver::deliver_interrupts()
{
    if (delivering_ || !cpu_.interrupts_enabled() || !interrupts_.any_raised())
        return;
    if (!routines_.empty() && (routines_.back() != Routine::ResetBus || !options_.interrupts_inside_reset_wait))
        return;
    delivering_ = true;
    for (uint8_t irq : interrupts_.raised_lines())
        service_interrupt_line(irq);
    delivering_ = false;
}

// Calls every HwInterrupt on the line until it drops. A line that stays raised
// while every routine declines it would interrupt forever: it is reported and masked.
// A line connected Latched has one adapter and interrupts once per rising edge:
// one HwInterrupt call, and none again until the line has dropped and risen.
bool PortDriver::service_interrupt_line(uint8_t irq)
{
    // No adapter comes or goes while the line is serviced: they are picked out in place.
    const auto on_line = [irq](const std::unique_ptr<Adapter>& a) {
        return a->initialized && a->config.BusInterruptLevel == irq;
    };
    const auto first = std::find_if(adapters_.begin(), adapters_.end(), on_line);
    if (first == adapters_.end())
        return false;
    if ((*first)->config.InterruptMode == Latched) {
        if (!interrupts_.take_edge(irq))
            return true;
        Adapter& a = **first;
        clock_.advance(options_.interrupt_entry_cost);
        if (call(Routine::Interrupt, "HwInterrupt", [&] { return registration_.HwInterrupt(a.extension); }))
            a.interrupts_claimed++;
        else
            errors_.report(kWho, fmt::format("IRQ {} rose and the HwInterrupt it is connected to (Latched) returned "
                                             "FALSE: an interrupt nobody claims",
                                             irq));
        return true;
    }
    for (int round = 0; interrupts_.raised(irq); round++) {
        if (round == kMaxInterruptRounds) {
            errors_.report(kWho, fmt::format("IRQ {} still raised after {} claimed interrupts; line masked", irq, round));
            interrupts_.mask(irq);
            return true;
        }
        bool claimed = false;
        for (const auto& a : adapters_) {
            if (!on_line(a))
                continue;
            clock_.advance(options_.interrupt_entry_cost);
            const BOOLEAN mine = call(Routine::Interrupt, "HwInterrupt",
                                      [&] { return registration_.HwInterrupt(a->extension); });
            if (mine) {
                claimed = true;
                a->interrupts_claimed++;
            }
        }
        for (auto& [line, handler] : shared_handlers_)
            if (line == irq && handler())
                claimed = true;
        if (!claimed) {
            errors_.report(kWho, fmt::format("IRQ {} is raised and every HwInterrupt on it returned FALSE: an "
                                             "interrupt nobody claims; line masked",
                                             irq));
            interrupts_.mask(irq);
            return true;
        }
    }
    return true;
}

bool PortDriver::add_shared_handler(uint8_t irq, std::function<bool()> handler)
{
    if (line_held_latched(irq))
        return false;
    shared_handlers_.emplace_back(irq, std::move(handler));
    return true;
}

bool PortDriver::line_held_latched(uint8_t irq) const
{
    return std::any_of(adapters_.begin(), adapters_.end(), [irq](const auto& a) {
        return a->connected && a->config.BusInterruptLevel == irq && a->config.InterruptMode == Latched;
    });
}

// Connects the adapter's interrupt as HwFindAdapter described it. A Latched
// connection is exclusive, a LevelSensitive one shareable: the connection
// fails when the line has another user and either side is Latched. That is
// the driver's configuration at work, not a fault of the port: the adapter
// is recorded as not connected, its mappings are given back, and it is never
// initialized nor given requests.
bool PortDriver::connect_interrupt(Adapter& adapter)
{
    const uint8_t irq = static_cast<uint8_t>(adapter.config.BusInterruptLevel);
    const bool latched = adapter.config.InterruptMode == Latched;
    const bool other_device =
        std::any_of(shared_handlers_.begin(), shared_handlers_.end(), [irq](const auto& h) { return h.first == irq; });
    const auto other = std::find_if(adapters_.begin(), adapters_.end(), [&](const auto& a) {
        return a.get() != &adapter && a->connected && a->config.BusInterruptLevel == irq;
    });
    if (other != adapters_.end() && (latched || (*other)->config.InterruptMode == Latched)) {
        adapter.not_connected = fmt::format(
            "IRQ {} is connected {} by adapter {}; this adapter asks for it {}", irq,
            (*other)->config.InterruptMode == Latched ? "Latched (exclusive)" : "LevelSensitive",
            other - adapters_.begin(), latched ? "Latched (exclusive)" : "LevelSensitive");
    } else if (latched && other_device) {
        adapter.not_connected = fmt::format("IRQ {} is used by another device; this adapter asks for it Latched "
                                            "(exclusive)",
                                            irq);
    } else {
        adapter.connected = true;
        return true;
    }
    drop_mappings_of(adapter.extension);
    return false;
}

}  // namespace sim
