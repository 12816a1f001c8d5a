// Port accesses as the simulator's recorder keeps them, written the way a
// test expects them, and searched for in a recording.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "port_space.h"

namespace hbatest {

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

}  // namespace hbatest
