#include "workload/hostile_input.h"

#include <algorithm>
#include <array>
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

// The kind bytes: the fault kinds (legal behaviours among them) by the bits
// their rows in the kind table give them (FaultKindRow::hostile_bit: bit
// n%8 of byte n/8). Bytes 0-2 come always; bit 23 asks for byte 3, the
// kinds added after the first 22; in byte 3, bit 30 asks for byte 4 and bit
// 31 for the unusual requests' byte, which comes after the kind bytes; from
// byte 4 on, each byte's top bit asks for the next, as far as some kind has
// a bit there. So that inputs keep their meaning, a bit once given keeps
// its kind, and a byte is read only where the input asks for it.
constexpr size_t kFirstKindBytes = 3;
constexpr unsigned kLaterKindsFollow = 23;
constexpr unsigned kMoreKindsFollow = 30;
constexpr unsigned kUnusualFollows = 31;

// The bit that asks for kind byte `n` (n >= kFirstKindBytes).
constexpr unsigned asks_for_byte(size_t n)
{
    return n == kFirstKindBytes ? kLaterKindsFollow : n == kFirstKindBytes + 1 ? kMoreKindsFollow : unsigned(8 * n - 1);
}

constexpr bool asks_for_more(unsigned bit)
{
    if (bit == kUnusualFollows)
        return true;
    for (size_t n = kFirstKindBytes; n <= bit / 8 + 1; n++)
        if (asks_for_byte(n) == bit)
            return true;
    return false;
}

// As many as some kind needs, and byte 3 always (it asks for the unusual requests' byte).
constexpr size_t kind_bytes()
{
    size_t n = kUnusualFollows / 8 + 1;
    for (const FaultKindRow& row : kFaultKindTable)
        n = std::max<size_t>(n, row.hostile_bit / 8 + 1);
    return n;
}
constexpr size_t kKindBytes = kind_bytes();

// Every kind has a bit of its own, and none of the bits that ask for more.
constexpr bool each_kind_a_bit_of_its_own()
{
    for (size_t i = 0; i < kFaultKinds; i++) {
        if (asks_for_more(kFaultKindTable[i].hostile_bit))
            return false;
        for (size_t j = 0; j < i; j++)
            if (kFaultKindTable[i].hostile_bit == kFaultKindTable[j].hostile_bit)
                return false;
    }
    return true;
}
static_assert(each_kind_a_bit_of_its_own(), "every kind needs a hostile-input bit of its own");

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

}  // namespace

HostileKinds hostile_kinds(std::span<const uint8_t>& in)
{
    std::array<uint8_t, kKindBytes> bytes{};
    const auto has = [&bytes](unsigned bit) { return ((bytes[bit / 8] >> (bit % 8)) & 1) != 0; };
    for (size_t n = 0; n < kKindBytes && (n < kFirstKindBytes || has(asks_for_byte(n))); n++)
        bytes[n] = take(in);
    HostileKinds out;
    for (const FaultKindRow& row : kFaultKindTable)
        if (has(row.hostile_bit))
            out.kinds.set(static_cast<size_t>(row.kind));
    if (has(kUnusualFollows))
        out.unusual = take(in);
    return out;
}

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
    const HostileKinds selected = hostile_kinds(in);
    config.kinds = selected.kinds;
    config.rate = (take(in) % 64) / 128.0;
    config.workload.requests = 4 + take(in) % 12;
    config.workload.read_percent = take(in) % 101;
    config.workload.outstanding = 1 + take(in) % 6;
    config.workload.block_size = 512u << (take(in) % 4);
    config.workload.seed = take(in);
    config.workload.unusual = hostile_unusual(selected.unusual);
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
