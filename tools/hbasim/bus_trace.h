// A decoded bus trace, as a SCSI bus analyzer shows one: virtual time, the
// adapter, then what happened on the bus: arbitration, selection and
// reselection, each phase the target asks for, every message by name, CDBs
// by command name with their fields, data byte counts, status by name.
#pragma once

#include <array>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "bus/scsi_bus.h"

namespace hbasim {

// Message and CDB decoding, for the trace and for tests.
std::string describe_message(const std::vector<uint8_t>& bytes);
std::string describe_cdb(const std::vector<uint8_t>& cdb);
std::string describe_status(uint8_t status);
// Bytes a message starting with `first` has, given what has arrived so far
// (an extended message says its length in its second byte); 0: not known yet.
size_t message_length(const std::vector<uint8_t>& bytes);

class BusTrace {
public:
    explicit BusTrace(std::ostream& out) : out_(out) {}
    void on(size_t adapter, const sim::BusEvent& event);

private:
    // Bytes of a message or a CDB arrive one event each; they are printed whole.
    struct Pending {
        sim::BusEvent::Kind kind = sim::BusEvent::Kind::Note;
        std::vector<uint8_t> bytes;
        sim::Nanoseconds time = 0;
        bool atn = false;
    };
    struct State {
        Pending pending;
        std::vector<sim::BusEvent> notes;
        int last_phase = -1;
    };
    void flush(size_t adapter, State& s);
    void line(sim::Nanoseconds time, size_t adapter, std::string_view what, const std::string& detail);

    std::ostream& out_;
    std::array<State, 8> states_{};
};

}  // namespace hbasim
