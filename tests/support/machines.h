// Machines for the tests: adapter settings, adapters at given places, and the
// devices put on their buses.
#pragma once

#include <cstdint>
#include <vector>

#include "bus/block_device.h"
#include "pc/machine.h"

namespace hbatest {

constexpr sim::Nanoseconds kUs = sim::kMicrosecond;
constexpr sim::Nanoseconds kMs = sim::kMillisecond;

// Settings with the same flags (and speed index) for every target.
inline sim::AdapterSettings Flags(uint8_t flags, uint8_t speed = 0, uint8_t shift = 2)
{
    sim::AdapterSettings s;
    for (auto& t : s.targets)
        t = {flags, speed};
    s.tag_depth_shift = shift;
    return s;
}

// Settings that turn on every feature for every target.
inline sim::AdapterSettings AllFeatures(uint8_t speed = 0)
{
    return Flags(sim::kTargetParity | sim::kTargetSync | sim::kTargetDisconnect | sim::kTargetTagged, speed);
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

// The driver's own protocol is what these tests look at: their devices raise
// no unit attention (as if it had been reported before the test), except
// where a test asks for one.
inline sim::DeviceConfig DiskAt(uint8_t id, sim::TargetOptions target = {})
{
    sim::DeviceConfig d;
    d.id = id;
    d.options.target = target;
    d.options.unit_attention = false;
    return d;
}

// A small disk (4096 blocks) that takes time to seek and turn, so that
// commands disconnect and overlap.
inline sim::DeviceConfig SeekingDiskAt(uint8_t id, sim::TargetOptions target, sim::Nanoseconds track_seek,
                                       sim::Nanoseconds full_seek = 0, sim::Nanoseconds revolution = 0)
{
    sim::DeviceConfig d = DiskAt(id, target);
    d.options.block_count = 4096;
    d.options.track_seek = track_seek;
    d.options.full_seek = full_seek;
    d.options.revolution = revolution;
    return d;
}

// A disk or an optical drive as a machine description gives it, its
// power-on unit attention included: the workload runner and the campaigns
// answer that as a class driver would.
inline sim::DeviceConfig Disk(uint8_t id, uint64_t blocks = 2048)
{
    sim::DeviceConfig d;
    d.id = id;
    d.options.block_count = blocks;
    return d;
}
inline sim::DeviceConfig Optical(uint8_t id, uint64_t blocks = 1024)
{
    sim::DeviceConfig d;
    d.id = id;
    d.kind = sim::DeviceConfig::Kind::Optical;
    d.options = sim::OpticalDrive::optical_defaults();
    d.options.block_count = blocks;
    return d;
}

// The default machine with `devices` on its one adapter's bus.
inline sim::MachineConfig OneAdapter(std::vector<sim::DeviceConfig> devices)
{
    sim::MachineConfig c = sim::default_machine_config();
    c.adapters[0].devices = std::move(devices);
    return c;
}

inline sim::DeviceConfig OpticalAt(uint8_t id, bool tagged = false)
{
    sim::DeviceConfig d;
    d.id = id;
    d.kind = sim::DeviceConfig::Kind::Optical;
    d.options = sim::OpticalDrive::optical_defaults();
    d.options.target.tagged_queuing = tagged;
    d.options.unit_attention = false;
    return d;
}

}  // namespace hbatest
