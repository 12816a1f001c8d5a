#include "support/bus_log.h"

namespace hbatest {

using sim::BusEvent;

BusLog::BusLog(sim::ScsiBus& bus)
{
    bus.set_listener([this](const BusEvent& e) {
        if (e.kind != BusEvent::Kind::DataIn && e.kind != BusEvent::Kind::DataOut && e.kind != BusEvent::Kind::Request)
            events_.push_back(e);
    });
}

size_t BusLog::count(BusEvent::Kind kind, uint8_t target) const
{
    size_t n = 0;
    for (const BusEvent& e : events_)
        n += e.kind == kind && e.target == target;
    return n;
}

bool BusLog::SentMessage(uint8_t target, const std::vector<uint8_t>& message) const
{
    std::vector<uint8_t> out;
    for (const BusEvent& e : events_)
        if (e.kind == BusEvent::Kind::MessageOut && e.target == target)
            out.push_back(e.byte);
    return std::search(out.begin(), out.end(), message.begin(), message.end()) != out.end();
}

bool BusLog::OtherSelectedWhileDisconnected(uint8_t target) const
{
    bool away = false;
    for (const BusEvent& e : events_) {
        if (e.kind == BusEvent::Kind::MessageIn && e.target == target && e.byte == 0x04)
            away = true;
        else if (e.kind == BusEvent::Kind::Reselection && e.target == target)
            away = false;
        else if (away && e.kind == BusEvent::Kind::Selection && e.target != target)
            return true;
    }
    return false;
}

}  // namespace hbatest
