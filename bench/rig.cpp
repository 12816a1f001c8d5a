#include "rig.h"
#include "linked_driver.h"

namespace bench {

Rig::Rig(unsigned disks, bool tagged, DiskModel media, sim::Miniport* driver, sim::PortDriver::Lenient lenient)
{
    sim::MachineConfig c = sim::default_machine_config();
    c.port_lenient = lenient;
    sim::AdapterConfig& a = c.adapters[0];
    for (auto& t : a.settings.targets)
        t.flags = static_cast<uint8_t>(tagged ? t.flags | sim::kTargetTagged : t.flags & ~sim::kTargetTagged);
    for (unsigned id = 0; id < disks; id++) {
        sim::DeviceConfig d;
        d.id = static_cast<uint8_t>(id);
        d.options.block_count = 1u << 21;  // 1 GiB
        d.options.track_seek = media.track_seek;
        d.options.full_seek = media.full_seek;
        d.options.revolution = media.revolution;
        d.options.target.tagged_queuing = tagged;
        d.options.target.queue_limit = 16;
        a.devices.push_back(d);
    }
    machine_ = std::make_unique<sim::Machine>(c);
    if (driver)
        machine_->boot(*driver);
    else
        machine_->boot(hba::linked_driver());
    devices_ = sim::workload::scan_machine(*machine_);
}

sim::workload::Results Rig::run(const sim::workload::WorkloadConfig& w)
{
    sim::workload::Runner runner(*machine_, devices_, w);
    return runner.run();
}

sim::workload::WorkloadConfig reads(uint32_t size, bool random, unsigned outstanding, uint64_t requests, bool verify)
{
    sim::workload::WorkloadConfig w;
    w.read_percent = 100;
    w.pattern = random ? sim::workload::Pattern::Random : sim::workload::Pattern::Sequential;
    w.block_size = size;
    w.outstanding = outstanding;
    w.requests = requests;
    w.verify = verify;
    // Plain reads only, so that the figures compare with older trees.
    w.unusual.legal_flags = 0;
    w.unusual.against_direction = 0;
    w.unusual.linked = 0;
    return w;
}

}  // namespace bench
