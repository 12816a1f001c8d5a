#include "workload/hostile_input.h"

#include <optional>
#include <string>

namespace sim::workload {

namespace {

uint8_t take(std::span<const uint8_t>& in)
{
    if (in.empty())
        return 0;
    const uint8_t b = in.front();
    in = in.subspan(1);
    return b;
}

// A driver-parameter string configured or not, as a machine may have: from
// the seed byte's top bits, so that no byte of an input from before changes
// its meaning (the driver ignores the string; a run shows it does).
std::optional<std::string> hostile_argument(uint8_t seed)
{
    if (!(seed & 0x80))
        return std::nullopt;
    switch ((seed >> 5) & 3) {
    case 0:
        return std::string();
    case 1:
        return std::string("DisableTags");
    case 2:
        return std::string("MaximumSGList=16; DisableSync; Id=7");
    default:
        return std::string(300, 'x');
    }
}

MachineConfig hostile_machine(std::span<const uint8_t>& in)
{
    MachineConfig c = default_machine_config();
    c.seed = take(in);
    c.argument_string = hostile_argument(static_cast<uint8_t>(c.seed));
    DeviceConfig disk;
    disk.id = 0;
    disk.options.block_count = 256;
    disk.options.track_seek = take(in) * 8 * kMicrosecond;
    disk.options.revolution = take(in) * 16 * kMicrosecond;
    disk.options.target.queue_limit = 1 + take(in) % 8;
    disk.options.target.mid_data_disconnect_chance = (take(in) % 4) * 0.1;
    DeviceConfig optical;
    optical.id = 4;
    optical.kind = DeviceConfig::Kind::Optical;
    optical.options = OpticalDrive::optical_defaults();
    optical.options.block_count = 64;
    optical.options.track_seek = take(in) * 16 * kMicrosecond;
    c.adapters[0].devices = {disk, optical};
    c.adapters[0].bus_timing.target_reaction = (1 + take(in) % 16) * kMicrosecond;
    return c;
}

// Three bytes, a bit per kind for the first 22 kinds (bit 22 unused); bit 23
// asks for one more byte for the kinds added since (the legal behaviours),
// so that inputs from before keep their meaning: bits 0-5 the first six of
// them; bit 6 one more byte for the next seven kinds, whose own bit 7 asks
// for the next seven; bit 7 the unusual requests' byte, after the kinds.
constexpr size_t kFirstMaskKinds = static_cast<size_t>(FaultKind::MissingTag) + 1;
constexpr size_t kFirstMoreKinds = 6;
constexpr uint8_t kMoreKindsFollow = 0x40;
constexpr uint8_t kUnusualFollows = 0x80;

// The unusual requests' byte: bit 0 legal flags, bit 1 against the
// direction, bit 2 linked; the top five bits the rate, 1/64 to 1/2.
WorkloadConfig::Unusual hostile_unusual(std::optional<uint8_t> byte)
{
    WorkloadConfig::Unusual u;
    const double rate = byte ? (1 + (*byte >> 3)) / 64.0 : 0;
    u.legal_flags = byte && (*byte & 1) ? rate : 0;
    u.against_direction = byte && (*byte & 2) ? rate : 0;
    u.linked = byte && (*byte & 4) ? rate : 0;
    return u;
}

FaultSet hostile_kinds(std::span<const uint8_t>& in, std::optional<uint8_t>& unusual)
{
    const uint32_t mask = take(in) | (take(in) << 8) | (take(in) << 16);
    FaultSet kinds;
    for (size_t i = 0; i < kFirstMaskKinds; i++)
        if (mask & (1u << i))
            kinds.set(i);
    if (!(mask & (1u << 23)))
        return kinds;
    const uint8_t first_more = take(in);
    for (size_t i = kFirstMaskKinds; i < kFaultKinds && i < kFirstMaskKinds + kFirstMoreKinds; i++)
        if (first_more & (1u << (i - kFirstMaskKinds)))
            kinds.set(i);
    bool more = (first_more & kMoreKindsFollow) != 0;
    for (size_t first = kFirstMaskKinds + kFirstMoreKinds; more && first < kFaultKinds; first += 7) {
        const uint8_t bits = take(in);
        for (size_t i = first; i < kFaultKinds && i < first + 7; i++)
            if (bits & (1u << (i - first)))
                kinds.set(i);
        more = (bits & 0x80) != 0;
    }
    if (first_more & kUnusualFollows)
        unusual = take(in);
    return kinds;
}

}  // namespace

HostileRun run_hostile_input(std::span<const uint8_t> in, Miniport& miniport,
                             std::function<void(const Machine&, std::vector<std::string>&)> end_check,
                             std::function<void(size_t, const BusEvent&)> observer)
{
    Machine machine(hostile_machine(in));
    HostileRun run;
    if (machine.boot(miniport) != 0) {
        run.result.problems.push_back("the driver did not load");
        return run;
    }
    CampaignConfig config;
    std::optional<uint8_t> unusual;
    config.kinds = hostile_kinds(in, unusual);
    config.rate = (take(in) % 64) / 128.0;
    config.workload.requests = 4 + take(in) % 12;
    config.workload.read_percent = take(in) % 101;
    config.workload.outstanding = 1 + take(in) % 6;
    config.workload.block_size = 512u << (take(in) % 4);
    config.workload.seed = take(in);
    config.workload.unusual = hostile_unusual(unusual);
    config.clean_requests = 4;
    config.check_log = false;
    config.end_check = std::move(end_check);

    ByteChoices choices(in);
    FaultCampaign campaign(machine, config, &choices);
    if (observer)
        campaign.set_bus_observer(std::move(observer));
    run.devices = campaign.devices().size();
    run.result = campaign.run();
    return run;
}

}  // namespace sim::workload
