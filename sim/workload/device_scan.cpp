#include "workload/device_scan.h"

#include "pc/startup_scan.h"

namespace sim::workload {

namespace {

constexpr uint8_t kDirectAccess = 0x00;
constexpr uint8_t kCdRom = 0x05;

}  // namespace

std::string ScannedDevice::kind() const
{
    return peripheral_type == kCdRom ? "optical" : "disk";
}

std::vector<ScannedDevice> scan_machine(Machine& machine)
{
    std::vector<ScannedDevice> found;
    for (const sim::FoundUnit& s : scan_devices(machine)) {
        const uint8_t type = s.peripheral & 0x1F;
        if ((s.peripheral & 0xE0) != 0 || (type != kDirectAccess && type != kCdRom))
            continue;  // not a block device this workload reads and writes
        if (!s.capacity_known || s.block_count == 0 || s.block_size == 0)
            continue;  // not ready or no medium
        ScannedDevice d;
        d.adapter = s.adapter;
        d.target = s.id;
        d.lun = s.lun;
        d.peripheral_type = type;
        d.vendor = s.vendor;
        d.product = s.product;
        d.block_count = s.block_count;
        d.block_size = s.block_size;
        d.tagged = s.tagged;
        refresh_settings(machine, d);
        found.push_back(d);
    }
    return found;
}

// What the bus saw of the device's transfers (the last data phase since the
// last reset), and the tag depth its adapter's settings give when the port
// driver was told it takes tagged commands.
void refresh_settings(const Machine& machine, ScannedDevice& device)
{
    const int index = machine.config_index_of(device.adapter);
    if (index < 0)
        return;
    const auto& timing = machine.bus(static_cast<size_t>(index)).last_data_timing(device.target);
    device.period_ns = timing ? timing->period_ns : 0;
    device.offset = timing ? timing->offset : 0;
    const AdapterSettings& settings = machine.config().adapters[static_cast<size_t>(index)].settings;
    device.tag_depth = device.tagged ? settings_tag_depth(settings.tag_depth_shift) : 0;
}

}  // namespace sim::workload
