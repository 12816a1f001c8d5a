// A long, seeded run of mixed reads and writes across several kinds of
// target at once: tagged and untagged, disconnecting or holding the bus,
// with random media delays, disconnects in the middle of data, repeated
// transfers, parity errors and QUEUE FULL, and every target drawing the legal
// behaviours now and then (SAVE DATA POINTER without disconnecting, DISCONNECT
// without it, RESTORE POINTERS anywhere, SDTR of its own or answered with any
// values, QUEUE FULL whatever its queue holds). At the end every request has
// completed once and well, every byte read matched the model, the media hold
// what was last written, and the driver's pool, queues and ring are empty.
//
// HBA_SOAK_SEED picks the seed (printed, so that a failing run can be
// repeated) and HBA_SOAK_COMMANDS the number of commands: 100000 by default,
// 20000 in a sanitizer build, which runs several times slower.
#include <array>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <set>

#include "support/bus_log.h"
#include "support/verified_io.h"
#include "pc/machine_faults.h"

namespace hbatest {
namespace {


#if defined(__SANITIZE_ADDRESS__)
constexpr uint64_t kDefaultCommands = 20000;
#else
constexpr uint64_t kDefaultCommands = 100000;
#endif

uint64_t FromEnvironment(const char* name, uint64_t fallback)
{
    const char* value = std::getenv(name);
    return value && *value ? std::strtoull(value, nullptr, 0) : fallback;
}

struct SoakTarget {
    uint8_t id;
    uint8_t flags;     // settings EEPROM flags
    uint8_t speed;     // settings speed index
    sim::TargetOptions options;
    sim::Nanoseconds track_seek = 50 * kUs, full_seek = 1000 * kUs, revolution = 600 * kUs;
};

std::vector<SoakTarget> Targets()
{
    constexpr uint8_t kAll = sim::kTargetParity | sim::kTargetSync | sim::kTargetDisconnect | sim::kTargetTagged;
    std::vector<SoakTarget> t(4);
    // Tagged, fast, splits its data phases and repeats some transfers.
    t[0] = {0, kAll, 0, {}};
    t[0].options.queue_limit = 16;
    t[0].options.mid_data_disconnect_chance = 0.05;
    t[0].options.repeat_transfer_chance = 0.03;
    // Tagged, holding fewer commands than the driver sends: QUEUE FULL.
    t[1] = {1, kAll, 3, {}};
    t[1].options.queue_limit = 2;
    t[1].options.mid_data_disconnect_chance = 0.02;
    t[1].track_seek = 300 * kUs;
    t[1].full_seek = 4000 * kUs;
    t[1].revolution = 3000 * kUs;
    // Untagged, disconnecting, synchronous at a slow period.
    t[2] = {2, sim::kTargetParity | sim::kTargetSync | sim::kTargetDisconnect, 6, {}};
    t[2].options.mid_data_disconnect_chance = 0.05;
    t[2].options.repeat_transfer_chance = 0.02;
    // Untagged, asynchronous, never disconnects: it holds the bus while it seeks.
    t[3] = {3, sim::kTargetParity, 0, {}};
    t[3].options.disconnect = false;
    t[3].track_seek = 10 * kUs;
    t[3].full_seek = 200 * kUs;
    t[3].revolution = 100 * kUs;
    return t;
}

TEST(Soak, ManyCommandsAcrossSeveralTargetsAllCheckOut)
{
    const uint64_t seed = FromEnvironment("HBA_SOAK_SEED", 20240601);
    const uint64_t commands = FromEnvironment("HBA_SOAK_COMMANDS", kDefaultCommands);
    std::printf("soak: seed %llu, %llu commands\n", (unsigned long long)seed, (unsigned long long)commands);
    RecordProperty("seed", std::to_string(seed));

    sim::AdapterSettings settings = AllFeatures();
    settings.tag_depth_shift = 3;
    std::vector<sim::DeviceConfig> devices;
    for (const SoakTarget& t : Targets()) {
        settings.targets[t.id] = {t.flags, t.speed};
        devices.push_back(SeekingDiskAt(t.id, t.options, t.track_seek, t.full_seek, t.revolution));
    }
    sim::MachineConfig base;
    base.seed = seed;
    DriverFixture b(settings, devices, base);
    b.machine().ports().record(false);
    // Legal behaviours from the first command on (BUSY aside: retrying it is
    // the port driver's, and this workload does not).
    sim::RngChoices choices(b.machine().rng());
    sim::MachineFaults behaviours(b.machine(), choices);
    sim::FaultSet legal = sim::legal_behaviours();
    legal.reset(size_t(sim::FaultKind::Busy));
    for (const SoakTarget& t : Targets())
        behaviours.device(0, t.id).set_behaviours(legal, 0.05);
    for (const SoakTarget& t : Targets())
        Inquire(b, t.id);
    ASSERT_EQ(b.lun(0).QueueDepth, 16);
    ASSERT_EQ(b.lun(2).QueueDepth, 1);
    // The first data-in transfers of target 0 arrive with a parity error; the
    // driver says so and the target sends the data again.
    b.machine().bus(0).target(0)->pending_faults().parity_errors = 25;

    // Count what the targets did, to show the run exercised it.
    size_t restores = 0, disconnects = 0, queue_full = 0, parity = 0;
    uint8_t previous_out = 0;
    b.machine().bus(0).set_listener([&](const BusEvent& e) {
        if (e.kind == BusEvent::Kind::MessageIn) {
            restores += e.byte == 0x03;
            disconnects += e.byte == 0x04;
        }
        // INITIATOR DETECTED ERROR, not the number of a queue tag.
        if (e.kind == BusEvent::Kind::MessageOut) {
            parity += e.byte == 0x05 && !(previous_out >= 0x20 && previous_out <= 0x22);
            previous_out = e.byte;
        }
        if (e.kind == BusEvent::Kind::Status)
            queue_full += e.byte == 0x28;
    });

    VerifiedIo w(b);
    std::mt19937_64 rng(seed);
    constexpr uint32_t kRegions = 4096 / 8;
    constexpr size_t kInFlight = 40;
    constexpr size_t kPerTarget = 12;  // below the 17 a LUN queues before it answers BUSY
    std::set<std::pair<uint8_t, uint32_t>> busy;  // regions with a command in flight
    size_t in_flight = 0;
    std::array<size_t, 4> per_target{};
    uint64_t issued = 0;

    while (issued < commands || in_flight > 0) {
        while (issued < commands && in_flight < kInFlight) {
            uint8_t target = uint8_t(rng() % 4);
            uint32_t region = uint32_t(rng() % kRegions);
            if (per_target[target] == kPerTarget || !busy.insert({target, region}).second)
                continue;
            per_target[target]++;
            bool write = rng() % 5 < 2;
            uint16_t blocks = uint16_t(1 + rng() % 8);
            uint8_t tag = rng() % 8 == 0 ? 0x22 : 0x20;
            in_flight++;
            issued++;
            w.Issue(target, write, region * 8, blocks, tag, [&busy, &in_flight, &per_target, target, region] {
                busy.erase({target, region});
                in_flight--;
                per_target[target]--;
            });
        }
        const size_t before = in_flight;
        b.port().run_for(200 * kUs);
        if (in_flight == before && issued == commands && b.port().outstanding() + b.port().waiting() == 0)
            break;
        if (!b.machine().errors().empty() || w.bad() > 0)
            break;
    }
    b.port().run_until_idle(60 * sim::kSecond);

    EXPECT_EQ(w.issued(), commands);
    EXPECT_EQ(w.good(), commands);
    EXPECT_EQ(w.bad(), 0u);
    // The ledger: every request given out came back exactly once (a second
    // completion is a model error), and nothing is left.
    EXPECT_EQ(b.port().completed().size(), commands + Targets().size());
    w.ExpectMediaMatches();
    b.ExpectIdle();
    for (int t = 0; t < 4; t++)
        EXPECT_EQ(b.lun(t).QueuedCount, 0) << "target " << t;
    // The workload did meet what it was built for.
    std::printf("soak: %zu disconnects, %zu repeated transfers, %zu QUEUE FULL, %zu parity errors, %llu legal "
                "behaviours drawn\n",
                disconnects, restores, queue_full, parity, (unsigned long long)behaviours.injected());
    EXPECT_GT(behaviours.injected(), commands / 40);
    EXPECT_GT(disconnects, commands / 4);
    EXPECT_GT(restores, 0u);
    EXPECT_GT(queue_full, 0u);
    EXPECT_GT(parity, 0u);
    EXPECT_LT(b.lun(1).QueueDepth, 16);
}

}  // namespace
}  // namespace hbatest
