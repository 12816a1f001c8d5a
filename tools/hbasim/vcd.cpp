#include "vcd.h"

#include <algorithm>
#include <array>

#include <fmt/format.h>

namespace hbasim {

using sim::BusEvent;

namespace {

constexpr std::array<const char*, 11> kNames = {"BSY", "SEL", "ATN", "MSG", "C_D", "I_O", "REQ", "ACK", "RST", "phase", "target"};
constexpr std::array<unsigned, 11> kWidths = {1, 1, 1, 1, 1, 1, 1, 1, 1, 3, 4};

}  // namespace

VcdWriter::VcdWriter(std::ostream& out, size_t adapters, sim::BusTiming timing)
    : out_(out), timing_(timing), values_(adapters)
{
    header(adapters);
}

std::string VcdWriter::id(size_t adapter, Signal s) const
{
    // Printable identifiers from '!' on, one per signal of every adapter.
    size_t n = adapter * kSignals + s;
    std::string out;
    do {
        out += static_cast<char>('!' + n % 94);
        n /= 94;
    } while (n);
    return out;
}

void VcdWriter::header(size_t adapters)
{
    out_ << "$date simulated $end\n$version hbasim bus waveform $end\n$timescale 1 ns $end\n";
    for (size_t a = 0; a < adapters; a++) {
        out_ << fmt::format("$scope module adapter{} $end\n", a);
        for (size_t s = 0; s < kSignals; s++)
            out_ << fmt::format("$var wire {} {} {} $end\n", kWidths[s], id(a, static_cast<Signal>(s)), kNames[s]);
        out_ << "$upscope $end\n";
    }
    out_ << "$enddefinitions $end\n#0\n$dumpvars\n";
    for (size_t a = 0; a < adapters; a++)
        for (size_t s = 0; s < kSignals; s++)
            out_ << (kWidths[s] == 1 ? fmt::format("0{}\n", id(a, static_cast<Signal>(s)))
                                     : fmt::format("b0 {}\n", id(a, static_cast<Signal>(s))));
    out_ << "$end\n";
    stamped_ = true;
}

void VcdWriter::advance(sim::Nanoseconds t)
{
    while (!pending_.empty() && pending_.begin()->first <= t) {
        const auto [when, c] = *pending_.begin();
        pending_.erase(pending_.begin());
        set(when, c.adapter, c.signal, c.value);
    }
}

void VcdWriter::set(sim::Nanoseconds t, size_t adapter, Signal s, uint32_t value)
{
    if (adapter >= values_.size())
        return;
    t = std::max(t, written_);  // an implied earlier edge is drawn at the last time written
    if (values_[adapter][s] == value)
        return;
    values_[adapter][s] = value;
    if (t != written_ || !stamped_) {
        out_ << fmt::format("#{}\n", t);
        written_ = t;
        stamped_ = true;
    }
    if (kWidths[s] == 1)
        out_ << fmt::format("{}{}\n", value ? 1 : 0, id(adapter, s));
    else
        out_ << fmt::format("b{:b} {}\n", value, id(adapter, s));
}

void VcdWriter::later(sim::Nanoseconds t, size_t adapter, Signal s, uint32_t value)
{
    pending_.emplace(t, Change{adapter, s, value});
}

void VcdWriter::release_all(sim::Nanoseconds t, size_t adapter)
{
    for (size_t s = 0; s < kSignals; s++)
        if (s != Rst)
            set(t, adapter, static_cast<Signal>(s), 0);
}

void VcdWriter::on(size_t adapter, const BusEvent& e)
{
    advance(e.time);
    const sim::Nanoseconds t = e.time;
    using K = BusEvent::Kind;
    switch (e.kind) {
    case K::Arbitration:
        set(t >= timing_.arbitration_delay ? t - timing_.arbitration_delay : 0, adapter, Bsy, 1);
        break;
    case K::Selection:
        set(t, adapter, Sel, 1);
        set(t, adapter, Atn, e.atn);
        set(t, adapter, Target, e.target);
        break;
    case K::Reselection:
        set(t, adapter, Sel, 1);
        set(t, adapter, Io, 1);
        set(t, adapter, Target, e.target);
        break;
    case K::Request: {
        // A REQ that follows at once keeps the line up: drop the release still pending.
        std::erase_if(pending_, [&](const auto& entry) {
            return entry.second.adapter == adapter && entry.second.signal == Req;
        });
        const auto p = static_cast<uint32_t>(e.phase);
        set(t, adapter, Sel, 0);
        set(t, adapter, Bsy, 1);
        set(t, adapter, Msg, (p >> 2) & 1);
        set(t, adapter, Cd, (p >> 1) & 1);
        set(t, adapter, Io, p & 1);
        set(t, adapter, Phase, p);
        set(t, adapter, Target, e.target);
        set(t, adapter, Req, 1);
        break;
    }
    case K::MessageOut:
    case K::Command:
    case K::MessageIn:
    case K::Status:
    case K::DataOut:
    case K::DataIn:
        if (e.kind == K::MessageOut)
            set(t, adapter, Atn, e.atn);
        set(t, adapter, Ack, 1);
        later(t + 1, adapter, Req, 0);
        later(t + 1, adapter, Ack, 0);
        break;
    case K::BusFree:
    case K::SelectionTimeout: release_all(t, adapter); break;
    case K::Reset:
        release_all(t, adapter);
        set(t, adapter, Rst, 1);
        later(t + timing_.reset_hold, adapter, Rst, 0);
        break;
    default: break;
    }
}

void VcdWriter::finish()
{
    advance(UINT64_MAX);
    out_.flush();
}

}  // namespace hbasim
