// The bus as a listener saw it, without the data bytes, to read the order of
// selections, messages, disconnections and reselections from.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "bus/scsi_bus.h"

namespace hbatest {

class BusLog {
public:
    explicit BusLog(sim::ScsiBus& bus);

    const std::vector<sim::BusEvent>& events() const { return events_; }
    size_t count(sim::BusEvent::Kind kind, uint8_t target) const;
    // Whether `message` went out to `target` (message-out bytes travel one by one).
    bool SentMessage(uint8_t target, const std::vector<uint8_t>& message) const;
    // Whether some other target was selected while `target` was disconnected
    // (between its DISCONNECT message and its next reselection).
    bool OtherSelectedWhileDisconnected(uint8_t target) const;

private:
    std::vector<sim::BusEvent> events_;
};

}  // namespace hbatest
