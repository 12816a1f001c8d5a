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
    for (const sim::ScannedDevice& s : scan_devices(machine)) {
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
        refresh_settings(machine, d);
        found.push_back(d);
    }
    return found;
}

void refresh_settings(const Machine& machine, ScannedDevice& device)
{
    const AdapterExtension& ext = *machine.port_driver().adapter(device.adapter).driver_extension();
    const LunRecord& lun = ext.Lun[device.target][device.lun];
    // What the chip is loaded with at selection: the offset, and the period in
    // 25 ns clocks (the register holds one clock less outside fast mode).
    const unsigned offset = lun.SyncOffsetReg & 0x0F;
    const unsigned clocks = (lun.Config3 & 0x10) ? lun.SyncPeriodReg : lun.SyncPeriodReg + 1u;
    const bool sync = offset != 0 && lun.SyncPeriodReg != 0;
    device.period_ns = sync ? clocks * 25u : 0;
    device.offset = sync ? static_cast<uint8_t>(offset) : 0;
    device.tag_depth = (lun.TargetFlags & TF_TAGGED) && lun.QueueDepth > 1 ? lun.QueueDepth : 0;
}

}  // namespace sim::workload
