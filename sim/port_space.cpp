#include "port_space.h"

#include <algorithm>
#include <stdexcept>

#include <fmt/format.h>

namespace sim {

std::string to_string(const PortAccess& a)
{
    int digits = 2 * static_cast<int>(a.width);
    return fmt::format("{} {:#06x} {}{:0{}x}", a.direction == Direction::Read ? "in " : "out", a.port,
                       "0x", a.value, digits);
}

void PortSpace::claim(uint16_t first, uint32_t count, PortDevice* device)
{
    for (const Claim& c : claims_)
        if (first < c.first + c.count && c.first < first + count)
            throw std::logic_error(fmt::format("ports {:#x}+{} claimed twice", first, count));
    claims_.push_back(Claim{first, count, device});
}

void PortSpace::release(PortDevice* device)
{
    std::erase_if(claims_, [device](const Claim& c) { return c.device == device; });
}

PortDevice* PortSpace::find(uint16_t port) const
{
    auto covers = [port](const Claim& c) { return port >= c.first && port < c.first + c.count; };
    // Accesses come in runs on one device: the last one found is tried first.
    if (last_claim_ < claims_.size() && covers(claims_[last_claim_]))
        return claims_[last_claim_].device;
    for (size_t i = 0; i < claims_.size(); i++)
        if (covers(claims_[i])) {
            last_claim_ = i;
            return claims_[i].device;
        }
    return nullptr;
}

void PortSpace::note(uint16_t port, Width width, Direction direction, uint32_t value)
{
    ++accesses_;
    if (recording_)
        log_.push_back(PortAccess{clock_.now(), port, width, direction, value});
}

uint32_t PortSpace::read(uint16_t port, Width width)
{
    clock_.advance(access_cost_);
    PortDevice* device = find(port);
    // An unclaimed port floats: the bus reads all ones.
    uint32_t value = device ? device->read_port(port, width)
                            : (width == Width::Byte ? 0xFFu : width == Width::Word ? 0xFFFFu : 0xFFFFFFFFu);
    note(port, width, Direction::Read, value);
    return value;
}

void PortSpace::write(uint16_t port, Width width, uint32_t value)
{
    clock_.advance(access_cost_);
    note(port, width, Direction::Write, value);
    if (PortDevice* device = find(port))
        device->write_port(port, width, value);
}

}  // namespace sim
