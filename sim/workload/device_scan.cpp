#include "workload/device_scan.h"

#include <algorithm>

namespace sim::workload {

namespace {

constexpr uint8_t kQualifierMask = 0xE0;
constexpr uint8_t kDirectAccess = 0x00;
constexpr uint8_t kCdRom = 0x05;

std::string trimmed(const uint8_t* p, size_t n)
{
    std::string s(reinterpret_cast<const char*>(p), n);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0'))
        s.pop_back();
    return s;
}

uint32_t be32(const uint8_t* p)
{
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

class Scanner {
public:
    explicit Scanner(Machine& machine) : machine_(machine), port_(machine.port_driver()) {}

    std::vector<ScannedDevice> run()
    {
        std::vector<ScannedDevice> found;
        for (size_t a = 0; a < port_.adapter_count(); a++) {
            const AdapterExtension& ext = *port_.adapter(a).driver_extension();
            for (uint8_t id = 0; id < MAX_TARGETS; id++) {
                if (id == ext.InitiatorId)
                    continue;
                for (uint8_t lun = 0; lun < MAX_LUNS; lun++) {
                    const int answered = probe(a, id, lun, found);
                    if (lun == 0 && answered < 0)
                        break;  // nobody at this ID
                }
            }
        }
        return found;
    }

private:
    // -1: the target did not answer; 0: no device at this LUN; 1: a device was added.
    int probe(size_t adapter, uint8_t id, uint8_t lun, std::vector<ScannedDevice>& found)
    {
        PhysicalMemory::Buffer& inquiry = machine_.memory().allocate(36);
        const Request& r = execute(adapter, id, lun, {0x12, 0, 0, 0, 36, 0}, inquiry);
        const uint8_t status = r.srb.SrbStatus & 0x3F;
        const uint8_t head = inquiry.data[0];
        ScannedDevice d;
        d.adapter = adapter;
        d.target = id;
        d.lun = lun;
        d.peripheral_type = head & 0x1F;
        d.vendor = trimmed(inquiry.data + 8, 8);
        d.product = trimmed(inquiry.data + 16, 16);
        machine_.memory().free(inquiry);
        if (status != SRB_STATUS_SUCCESS && status != SRB_STATUS_DATA_OVERRUN)
            return -1;  // no answer (the driver reports a selection time-out as an error)
        if ((head & kQualifierMask) != 0 || (d.peripheral_type != kDirectAccess && d.peripheral_type != kCdRom))
            return 0;
        PhysicalMemory::Buffer& capacity = machine_.memory().allocate(8);
        const Request& c = execute(adapter, id, lun, {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, capacity);
        if ((c.srb.SrbStatus & 0x3F) == SRB_STATUS_SUCCESS) {
            d.block_count = uint64_t{be32(capacity.data)} + 1;
            d.block_size = be32(capacity.data + 4);
        }
        machine_.memory().free(capacity);
        if (d.block_count == 0 || d.block_size == 0)
            return 0;  // not ready or no medium: nothing to run traffic against
        refresh_settings(machine_, d);
        found.push_back(d);
        return 1;
    }

    const Request& execute(size_t adapter, uint8_t id, uint8_t lun, std::vector<uint8_t> cdb,
                           PhysicalMemory::Buffer& buffer)
    {
        RequestSpec spec;
        spec.target = id;
        spec.lun = lun;
        spec.cdb = std::move(cdb);
        spec.direction = DataDirection::In;
        spec.buffer = &buffer;
        const Request& r = port_.submit(adapter, spec);
        port_.run_until_idle();
        return r;
    }

    Machine& machine_;
    PortDriver& port_;
};

}  // namespace

std::string ScannedDevice::kind() const
{
    return peripheral_type == kCdRom ? "optical" : "disk";
}

std::vector<ScannedDevice> scan_machine(Machine& machine)
{
    return Scanner(machine).run();
}

void refresh_settings(const Machine& machine, ScannedDevice& device)
{
    const AdapterExtension& ext = *machine.port_driver().adapter(device.adapter).driver_extension();
    const LunRecord& lun = ext.Lun[device.target][device.lun];
    const bool sync = !lun.Asynchronous && (lun.SyncOffsetReg & 0x0F) != 0;
    device.period_ns = sync ? lun.SyncClocks * 25u : 0;
    device.offset = sync ? lun.SyncOffsetReg & 0x0F : 0;
    device.tag_depth = (lun.TargetFlags & TF_TAGGED) && lun.QueueDepth > 1 ? lun.QueueDepth : 0;
}

}  // namespace sim::workload
