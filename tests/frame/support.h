// Helpers for tests that boot a machine and read back what the driver did
// through the port accesses the simulator recorded.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "driver_view/driver_internals.h"
#include "pc/machine.h"
#include "port_space.h"

namespace frametest {

using sim::Direction;
using sim::PortAccess;
using sim::Width;

inline PortAccess Out8(uint16_t port, uint32_t v) { return {0, port, Width::Byte, Direction::Write, v}; }
inline PortAccess Out32(uint16_t port, uint32_t v) { return {0, port, Width::Dword, Direction::Write, v}; }
inline PortAccess In8(uint16_t port, uint32_t v) { return {0, port, Width::Byte, Direction::Read, v}; }
inline PortAccess In16(uint16_t port, uint32_t v) { return {0, port, Width::Word, Direction::Read, v}; }
inline PortAccess In32(uint16_t port, uint32_t v) { return {0, port, Width::Dword, Direction::Read, v}; }

// Index of the first place `needle` stands in `hay` as a contiguous run, or -1.
inline long FindRun(const std::vector<PortAccess>& hay, const std::vector<PortAccess>& needle)
{
    auto it = std::search(hay.begin(), hay.end(), needle.begin(), needle.end());
    return it == hay.end() ? -1 : static_cast<long>(it - hay.begin());
}

inline std::string Describe(const std::vector<PortAccess>& accesses, size_t from, size_t count)
{
    std::string out;
    for (size_t i = from; i < std::min(accesses.size(), from + count); i++)
        out += sim::to_string(accesses[i]) + "\n";
    return out;
}

// Settings that turn on every feature for every target.
inline sim::AdapterSettings AllFeatures(uint8_t speed = 0)
{
    sim::AdapterSettings s;
    for (auto& t : s.targets)
        t = {sim::kTargetParity | sim::kTargetSync | sim::kTargetDisconnect | sim::kTargetTagged, speed};
    return s;
}

inline sim::AdapterConfig AdapterAt(uint8_t bus, uint8_t device, uint16_t ioBase, uint8_t irq = 11)
{
    sim::AdapterConfig a;
    a.bus = bus;
    a.device = device;
    a.io_base = ioBase;
    a.irq = irq;
    a.settings = AllFeatures();
    return a;
}

inline sim::MachineConfig Machine(bool mech1, bool mech2, std::vector<sim::AdapterConfig> adapters)
{
    sim::MachineConfig c;
    c.mechanism1 = mech1;
    c.mechanism2 = mech2;
    c.adapters = std::move(adapters);
    return c;
}

// The I/O bases the driver reported, in the order it reported them.
inline std::vector<uint32_t> FoundBases(const sim::Machine& m)
{
    std::vector<uint32_t> bases;
    for (const auto& a : m.adapters())
        bases.push_back(static_cast<uint32_t>((*a.config.AccessRanges)[0].RangeStart.QuadPart));
    return bases;
}

}  // namespace frametest
