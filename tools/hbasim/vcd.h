// The bus signals as a waveform (Value Change Dump, timescale 1 ns): BSY,
// SEL, ATN, MSG, C/D, I/O, REQ, ACK and RST per adapter bus, plus the phase
// as a 3-bit vector (MSG C/D I/O) and the connected target's ID. REQ and ACK
// are shown at phase level: REQ while the target asks, one ACK pulse per
// transfer (a whole data transfer is one pulse).
#pragma once

#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "bus/scsi_bus.h"

namespace hbasim {

class VcdWriter {
public:
    // `adapters`: how many buses; `timing`: for the arbitration and reset
    // hold times the events imply.
    VcdWriter(std::ostream& out, size_t adapters, sim::BusTiming timing);
    void on(size_t adapter, const sim::BusEvent& event);
    // Writes what is still pending (the end of a reset, an ACK pulse).
    void finish();

private:
    enum Signal : uint8_t { Bsy, Sel, Atn, Msg, Cd, Io, Req, Ack, Rst, Phase, Target, kSignals };
    struct Change {
        size_t adapter;
        Signal signal;
        uint32_t value;
    };
    void header(size_t adapters);
    void set(sim::Nanoseconds t, size_t adapter, Signal s, uint32_t value);
    void later(sim::Nanoseconds t, size_t adapter, Signal s, uint32_t value);
    void advance(sim::Nanoseconds t);
    void release_all(sim::Nanoseconds t, size_t adapter);
    std::string id(size_t adapter, Signal s) const;

    std::ostream& out_;
    sim::BusTiming timing_;
    std::vector<std::array<uint32_t, kSignals>> values_;
    std::multimap<sim::Nanoseconds, Change> pending_;
    sim::Nanoseconds written_ = 0;
    bool stamped_ = false;
};

}  // namespace hbasim
