// ScsiPortGetDeviceBase and ScsiPortFreeDeviceBase, and the port accesses
// they allow: every access must lie in a mapping the miniport holds.
#include "pc/port_driver.h"

#include <algorithm>

#include <fmt/format.h>

#include "pc/pci_bus.h"
#include "pc/port_driver_internal.h"

namespace sim {

using namespace port_internal;

namespace {
constexpr uint32_t kConfigPortsFirst = 0xCF8;
constexpr uint32_t kConfigPortsEnd = 0xD00;

bool raw_mech2_port(uint32_t port) { return port >= PciBus::kMech2First && port < PciBus::kMech2First + PciBus::kMech2Count; }
}  // namespace

void PortDriver::check_config_ports_released()
{
    const bool held = std::any_of(mappings_.begin(), mappings_.end(), [](const Mapping& m) {
        return m.first < kConfigPortsEnd && kConfigPortsFirst < m.first + m.length;
    });
    if (!held)
        return;
    errors_.report(kWho, "HwFindAdapter returned with the PCI configuration ports still mapped");
    unmap_if([](const Mapping& m) { return m.first < kConfigPortsEnd && kConfigPortsFirst < m.first + m.length; });
}

void PortDriver::drop_mappings_of(const void* extension)
{
    unmap_if([extension](const Mapping& m) { return m.extension == extension; });
}

void PortDriver::cover(const Mapping& m, int by)
{
    for (uint32_t p = m.first; p < m.first + m.length && p < port_cover_.size(); p++)
        port_cover_[p] = static_cast<uint16_t>(port_cover_[p] + by);
}

void PortDriver::map(const Mapping& m)
{
    mappings_.push_back(m);
    cover(m, +1);
}

template <class Pred> void PortDriver::unmap_if(Pred pred)
{
    for (const Mapping& m : mappings_)
        if (pred(m))
            cover(m, -1);
    std::erase_if(mappings_, pred);
}

PVOID PortDriver::get_device_base(PVOID extension, INTERFACE_TYPE, ULONG, SCSI_PHYSICAL_ADDRESS address,
                                  ULONG length, BOOLEAN in_io_space)
{
    if (routines_.empty() || routines_.back() != Routine::FindAdapter)
        errors_.report(kWho, "ScsiPortGetDeviceBase called outside HwFindAdapter");
    if (extension != candidate_extension_ && adapter_of(extension) < 0)
        errors_.report(kWho, "ScsiPortGetDeviceBase with an extension the port driver did not allocate");
    if (!in_io_space) {
        errors_.report(kWho, fmt::format("ScsiPortGetDeviceBase for memory at {:#x}: this PC maps I/O space only",
                                         address.QuadPart));
        return nullptr;
    }
    if (address.QuadPart < 0 || length == 0 || address.QuadPart + length > 0x10000) {
        errors_.report(kWho, fmt::format("ScsiPortGetDeviceBase({:#x}, {}) lies outside the I/O space",
                                         address.QuadPart, length));
        return nullptr;
    }
    const auto first = static_cast<uint32_t>(address.QuadPart);
    // A range another driver already holds: the port driver cannot map it.
    if (std::find(options_.unmappable.begin(), options_.unmappable.end(), first) != options_.unmappable.end())
        return nullptr;
    map(Mapping{extension, first, length});
    // On an i386 PC an I/O-space mapping is the port number itself.
    return reinterpret_cast<PVOID>(static_cast<uintptr_t>(first));
}

void PortDriver::free_device_base(PVOID extension, PVOID base)
{
    const auto first = reinterpret_cast<uintptr_t>(base);
    auto it = std::find_if(mappings_.begin(), mappings_.end(),
                           [&](const Mapping& m) { return m.first == first && m.extension == extension; });
    if (it == mappings_.end()) {
        errors_.report(kWho, fmt::format("ScsiPortFreeDeviceBase({:#x}), which this extension has not mapped", first));
        return;
    }
    cover(*it, -1);
    mappings_.erase(it);
}

bool PortDriver::port_mapped(uint32_t port) const
{
    return port < port_cover_.size() && port_cover_[port] != 0;
}

uint32_t PortDriver::read_port(const void* port, Width width)
{
    const auto p = reinterpret_cast<uintptr_t>(port);
    const auto bytes = static_cast<uint32_t>(width);
    if (p + bytes > 0x10000) {
        errors_.report(kWho, fmt::format("port read at {:#x}, which is no I/O port", p));
        return all_ones(width);
    }
    if (!(options_.mechanism2_ports && raw_mech2_port(static_cast<uint32_t>(p))) &&
        (!port_mapped(static_cast<uint32_t>(p)) || !port_mapped(static_cast<uint32_t>(p + bytes - 1))))
        errors_.report(kWho, fmt::format("port read at {:#06x} ({} bytes): no mapping held covers it", p, bytes));
    return ports_.read(static_cast<uint16_t>(p), width);
}

void PortDriver::write_port(const void* port, Width width, uint32_t value)
{
    const auto p = reinterpret_cast<uintptr_t>(port);
    const auto bytes = static_cast<uint32_t>(width);
    if (p + bytes > 0x10000) {
        errors_.report(kWho, fmt::format("port write at {:#x}, which is no I/O port", p));
        return;
    }
    if (!(options_.mechanism2_ports && raw_mech2_port(static_cast<uint32_t>(p))) &&
        (!port_mapped(static_cast<uint32_t>(p)) || !port_mapped(static_cast<uint32_t>(p + bytes - 1))))
        errors_.report(kWho, fmt::format("port write at {:#06x} ({} bytes): no mapping held covers it", p, bytes));
    ports_.write(static_cast<uint16_t>(p), width, value);
}

}  // namespace sim
