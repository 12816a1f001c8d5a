// Coverage-guided fuzzing of the driver against hostile devices. The input
// bytes choose the machine's timing, the workload, the fault kinds and rate,
// and then every choice a misbehaving device makes. Whatever they choose, the
// driver must lose no request, complete none twice, leave its ledger clean,
// keep every LUN able to start, return the right data and break no rule of
// the simulated hardware; otherwise the run aborts.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

#include "bus/faults.h"
#include "workload/fault_campaign.h"

namespace {

uint8_t Take(std::span<const uint8_t>& in)
{
    if (in.empty())
        return 0;
    const uint8_t b = in.front();
    in = in.subspan(1);
    return b;
}

sim::MachineConfig Configure(std::span<const uint8_t>& in)
{
    sim::MachineConfig c = sim::default_machine_config();
    c.seed = Take(in);
    sim::DeviceConfig disk;
    disk.id = 0;
    disk.options.block_count = 256;
    disk.options.track_seek = Take(in) * 8 * sim::kMicrosecond;
    disk.options.revolution = Take(in) * 16 * sim::kMicrosecond;
    disk.options.target.queue_limit = 1 + Take(in) % 8;
    disk.options.target.mid_data_disconnect_chance = (Take(in) % 4) * 0.1;
    sim::DeviceConfig optical;
    optical.id = 4;
    optical.kind = sim::DeviceConfig::Kind::Optical;
    optical.options = sim::OpticalDrive::optical_defaults();
    optical.options.block_count = 64;
    optical.options.track_seek = Take(in) * 16 * sim::kMicrosecond;
    c.adapters[0].devices = {disk, optical};
    c.adapters[0].bus_timing.target_reaction = (1 + Take(in) % 16) * sim::kMicrosecond;
    return c;
}

sim::FaultSet Kinds(std::span<const uint8_t>& in)
{
    uint32_t mask = Take(in) | (Take(in) << 8) | (Take(in) << 16);
    sim::FaultSet kinds;
    for (size_t i = 0; i < sim::kFaultKinds; i++)
        if (mask & (1u << i))
            kinds.set(i);
    // A short transfer reports its length with GOOD status; the workload's
    // verifier compares whole buffers, so these two would read as miscompares.
    kinds.reset(size_t(sim::FaultKind::StatusBeforeData));
    kinds.reset(size_t(sim::FaultKind::ShortDataPhase));
    return kinds;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::span<const uint8_t> in(data, size);
    sim::Machine machine(Configure(in));
    if (machine.boot() != 0)
        std::abort();

    sim::workload::CampaignConfig config;
    config.kinds = Kinds(in);
    config.rate = (Take(in) % 64) / 128.0;
    config.workload.requests = 4 + Take(in) % 12;
    config.workload.read_percent = Take(in) % 101;
    config.workload.outstanding = 1 + Take(in) % 6;
    config.workload.block_size = 512u << (Take(in) % 4);
    config.workload.seed = Take(in);
    config.clean_requests = 4;

    sim::ByteChoices choices(in);
    sim::workload::FaultCampaign campaign(machine, config, &choices);
    const sim::workload::CampaignResult result = campaign.run();
    if (!result.sound() || campaign.devices().size() != 2) {
        std::fprintf(stderr, "%s", sim::workload::summary(result).c_str());
        std::abort();
    }
    return 0;
}
