#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include <fmt/format.h>

#include "scenario.h"

namespace hbatest {
namespace {

using hbasim::parse_scenario;

TEST(Scenario, DevicesAndWorkloadAreRead)
{
    const auto r = parse_scenario(R"(
seed = 9
argument_string = "DisableTags; MaximumSGList=16"
[[adapter]]
pci_device = 5
[[adapter.device]]
id = 2
capacity = 1000
block_size = 1024
tagged = false
tag_depth = 3
disconnect = false
sdtr = "slower"
min_period_ns = 200
track_seek_us = 100
full_seek_us = 9000
revolution_us = 6000
[[adapter.device]]
id = 5
kind = "optical"
sdtr = "offset0"
[workload]
pattern = "mixed"
read_percent = 25
random = false
block_size = 8192
outstanding = 2
duration_ms = 40
verify = false
)",
                                  "t.toml");
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_EQ(r.scenario.machine.argument_string, "DisableTags; MaximumSGList=16");
    const sim::AdapterConfig& a = r.scenario.machine.adapters.at(0);
    EXPECT_EQ(a.device, 5);
    ASSERT_EQ(a.devices.size(), 2u);
    const sim::BlockDeviceOptions& d = a.devices[0].options;
    EXPECT_EQ(a.devices[0].id, 2);
    EXPECT_EQ(d.block_count, 1000u);
    EXPECT_EQ(d.block_size, 1024u);
    EXPECT_FALSE(d.target.tagged_queuing);
    EXPECT_EQ(d.target.queue_limit, 3u);
    EXPECT_FALSE(d.target.disconnect);
    EXPECT_EQ(d.target.sdtr, sim::SdtrAnswer::Agree);
    EXPECT_EQ(d.target.min_period_factor, 50);
    EXPECT_EQ(d.track_seek, 100 * sim::kMicrosecond);
    EXPECT_EQ(d.full_seek, 9 * sim::kMillisecond);
    EXPECT_EQ(d.revolution, 6 * sim::kMillisecond);
    EXPECT_EQ(a.devices[1].kind, sim::DeviceConfig::Kind::Optical);
    EXPECT_EQ(a.devices[1].options.block_size, 2048u);
    EXPECT_EQ(a.devices[1].options.target.sdtr, sim::SdtrAnswer::AsyncOnly);
    const auto& w = r.scenario.workload;
    EXPECT_EQ(w.read_percent, 25u);
    EXPECT_EQ(w.pattern, sim::workload::Pattern::Sequential);
    EXPECT_EQ(w.block_size, 8192u);
    EXPECT_EQ(w.outstanding, 2u);
    EXPECT_EQ(w.requests, 0u);
    EXPECT_EQ(w.duration, 40 * sim::kMillisecond);
    EXPECT_FALSE(w.verify);
    EXPECT_EQ(w.seed, 9u);  // the machine's seed when the workload names none
}

TEST(Scenario, MistakesNameTheKeyAndTheLine)
{
    struct Case {
        const char* text;
        const char* error;
    } cases[] = {
        {"[[adapter]]\n[[adapter.device]]\nid = 0\ncolour = 1\n", "t.toml:4: unknown key adapter.device.colour"},
        {"[[adapter]]\n[[adapter.device]]\nkind = \"disk\"\n", "t.toml:2: adapter.device needs an id 0-7"},
        {"[[adapter]]\n[[adapter.device]]\nid = 8\n", "t.toml:3: adapter.device.id must be an integer 0-7"},
        {"[[adapter]]\n[[adapter.device]]\nid = 7\n", "t.toml:3: adapter.device id 7 is the adapter's own ID"},
        {"[[adapter]]\n[[adapter.device]]\nid = 1\n[[adapter.device]]\nid = 1\n", "t.toml:5: adapter.device id 1 given twice"},
        {"[[adapter]]\n[[adapter.device]]\nid = 1\nkind = \"tape\"\n",
         "t.toml:4: adapter.device.kind must be one of \"disk\", \"optical\""},
        {"[[adapter]]\n[[adapter.device]]\nid = 1\nsdtr = \"slower\"\n",
         "t.toml:2: adapter.device with sdtr = \"slower\" needs min_period_ns"},
        {"[[adapter]]\n[[adapter.device]]\nid = 1\nmin_period_ns = 200\n",
         "t.toml:4: adapter.device.min_period_ns applies to sdtr = \"slower\" only"},
        {"[[adapter]]\n[[adapter.device]]\nid = 1\nsdtr = \"slower\"\nmin_period_ns = 100\n",
         "t.toml:5: adapter.device.min_period_ns must be an integer 104-1020"},
        {"[[adapter]]\n[[adapter.device]]\nid = 1\ncapacity = 10\nimage = \"x.img\"\n",
         "t.toml:5: adapter.device takes capacity or image, not both"},
        {"[[adapter]]\n[[adapter.device]]\nid = 1\nimage = \"/nonexistent/x.img\"\n",
         "t.toml:4: adapter.device.image /nonexistent/x.img: cannot be read"},
        {"[[adapter]]\n[[adapter.device]]\nid = 1\ncapacity = 0\n", "t.toml:4: adapter.device.capacity must be an integer"},
        {"[[adapter]]\n[[adapter.device]]\nid = 1\ndisconnect = 1\n", "t.toml:4: adapter.device.disconnect must be true or false"},
        {"[[adapter]]\npci_device = 3\ndevice = 4\n", "t.toml:2: adapter.pci_device and an integer adapter.device"},
        {"[[adapter]]\ndevice = [1]\n", "t.toml:2: adapter.device must be [[adapter.device]] tables"},
        {"[workload]\nspeed = 3\n", "t.toml:2: unknown key workload.speed"},
        {"workload = 3\n", "t.toml:1: workload must be a table"},
        {"[workload]\npattern = \"read\"\nread_percent = 50\n",
         "t.toml:3: workload.read_percent applies to pattern = \"mixed\" only"},
        {"[workload]\nread_percent = 101\n", "t.toml:2: workload.read_percent must be an integer 0-100"},
        {"[workload]\nrequests = 10\nduration_ms = 5\n", "t.toml:3: workload takes requests or duration_ms, not both"},
        {"[workload]\nblock_size = 100\n", "t.toml:2: workload.block_size must be an integer 512-65536"},
        {"[workload]\noutstanding = 0\n", "t.toml:2: workload.outstanding must be an integer 1-64"},
        {"[workload]\nrandom = \"yes\"\n", "t.toml:2: workload.random must be true or false"},
        {"faults = 3\n", "t.toml:1: faults must be a table"},
        {"[faults]\nseverity = 3\n", "t.toml:2: unknown key faults.severity"},
        {"[faults]\nrate = 2\n", "t.toml:2: faults.rate must be a fraction 0-1 or a percentage such as \"1%\""},
        {"[faults]\nrate = \"150%\"\n", "t.toml:2: faults.rate must be a fraction 0-1"},
        {"[faults]\nrate = \"often\"\n", "t.toml:2: faults.rate must be a fraction 0-1"},
        {"[faults]\nrate = true\n", "t.toml:2: faults.rate must be a fraction 0-1"},
        {"[faults]\nkinds = \"busy\"\n", "t.toml:2: faults.kinds must be a list of fault kinds"},
        {"[faults]\nkinds = [\n\"busy\",\n\"sulking\"]\n",
         "t.toml:4: faults.kinds: unknown fault kind \"sulking\" (known: parity-error,"},
        {"[faults]\nclean_requests = 0\n", "t.toml:2: faults.clean_requests must be an integer 1-1000000"},
        {"[[adapter]]\n[[adapter.device]]\nid = 1\nfaults = [\"busy\", 3]\n",
         "t.toml:4: adapter.device.faults must be a list of fault kinds"},
        {"[[adapter]]\n[[adapter.device]]\nid = 1\nfaults = [\"gremlins\"]\n",
         "t.toml:4: adapter.device.faults: unknown fault kind \"gremlins\""},
        {"[[adapter]]\n[[adapter.device]]\nid = 1\nbehaviours = \"bare-disconnect\"\n",
         "t.toml:4: adapter.device.behaviours must be a list of legal behaviours"},
        {"[[adapter]]\n[[adapter.device]]\nid = 1\nbehaviours = [\"bare-disconnect\", \"politeness\"]\n",
         "t.toml:4: adapter.device.behaviours: unknown behaviour \"politeness\" (legal behaviours: unsolicited-sdtr,"},
        {"[[adapter]]\n[[adapter.device]]\nid = 1\nbehaviours = [\"parity-error\"]\n",
         "t.toml:4: adapter.device.behaviours: \"parity-error\" is a fault, not a legal behaviour"},
        {"[[adapter]]\n[[adapter.device]]\nid = 1\nbehaviour_rate = 0.5\n",
         "t.toml:4: adapter.device.behaviour_rate needs a behaviours list"},
        {"[[adapter]]\n[[adapter.device]]\nid = 1\nbehaviours = [\"busy\"]\nbehaviour_rate = \"120%\"\n",
         "t.toml:5: adapter.device.behaviour_rate must be a fraction 0-1 or a percentage"},
        {"[workload\n", "t.toml:1: "},
        {"serial_ports = 0xC100\n", "t.toml:1: serial_ports must be a list of I/O bases"},
        {"argument_string = 4\n", "t.toml:1: argument_string must be a string"},
        {"serial_ports = [0xC104]\n", "t.toml:1: serial_ports must be a list of I/O bases 0-0xFFF8, multiples of 8"},
    };
    for (const Case& c : cases) {
        const auto r = parse_scenario(c.text, "t.toml");
        EXPECT_EQ(r.error.rfind(c.error, 0), 0u) << c.text << "\n  gave: " << r.error;
    }
}

// A device's legal behaviours and their rate (10% when not given), apart
// from its fault kinds.
TEST(Scenario, DeviceBehavioursAreRead)
{
    const auto r = parse_scenario(R"(
[[adapter]]
[[adapter.device]]
id = 0
behaviours = ["save-pointer-continue", "bare-disconnect", "queue-full"]
behaviour_rate = "25%"
faults = ["busy"]
[[adapter.device]]
id = 1
luns = 4
behaviours = ["target-sdtr"]
[[adapter.device]]
id = 2
)",
                                  "t.toml");
    ASSERT_TRUE(r.ok()) << r.error;
    const auto& legal = r.scenario.campaign.device_behaviours;
    ASSERT_EQ(legal.size(), 2u);
    const sim::FaultSet first = sim::FaultSet{}
                                    .set(size_t(sim::FaultKind::SavePointerContinue))
                                    .set(size_t(sim::FaultKind::BareDisconnect))
                                    .set(size_t(sim::FaultKind::QueueFull));
    EXPECT_EQ(legal.at({0, 0}).first, first);
    EXPECT_DOUBLE_EQ(legal.at({0, 0}).second, 0.25);
    EXPECT_EQ(legal.at({0, 1}).first, sim::FaultSet{}.set(size_t(sim::FaultKind::TargetSdtr)));
    EXPECT_DOUBLE_EQ(legal.at({0, 1}).second, 0.1);
    EXPECT_EQ(r.scenario.campaign.device_kinds.at({0, 0}), sim::FaultSet{}.set(size_t(sim::FaultKind::Busy)));
    EXPECT_FALSE(r.scenario.has_faults_table) << "behaviours alone make no campaign";
    EXPECT_EQ(r.scenario.machine.adapters[0].devices[1].options.luns, 4);
    EXPECT_EQ(r.scenario.machine.adapters[0].devices[0].options.luns, 1);
}

// An image gives the capacity; one that is no whole number of blocks is refused.
TEST(Scenario, ImageFileGivesTheCapacity)
{
    const std::string path = ::testing::TempDir() + "scenario_image.bin";
    for (const auto& [bytes, block_count] : {std::pair<size_t, uint64_t>{4096, 8}, {4100, 0}}) {
        {
            std::ofstream out(path, std::ios::binary);
            out << std::string(bytes, 'x');
        }
        const auto r = parse_scenario(fmt::format("[[adapter]]\n[[adapter.device]]\nid = 1\nimage = \"{}\"\n", path),
                                      "t.toml");
        if (block_count) {
            ASSERT_TRUE(r.ok()) << r.error;
            EXPECT_EQ(r.scenario.machine.adapters[0].devices[0].options.block_count, block_count);
            EXPECT_EQ(r.scenario.machine.adapters[0].devices[0].options.image_path, path);
        } else {
            EXPECT_EQ(r.error, fmt::format("t.toml:4: adapter.device.image {}: 4100 bytes is no whole number of "
                                           "512-byte blocks", path));
        }
    }
    std::remove(path.c_str());
}

TEST(Scenario, BuiltInDefaultHasFourDisksAndAnOpticalDrive)
{
    const hbasim::Scenario s = hbasim::default_scenario();
    ASSERT_EQ(s.machine.adapters.size(), 1u);
    const auto& devices = s.machine.adapters[0].devices;
    ASSERT_EQ(devices.size(), 5u);
    for (uint8_t id = 0; id < 4; id++) {
        EXPECT_EQ(devices[id].id, id);
        EXPECT_EQ(devices[id].kind, sim::DeviceConfig::Kind::Disk);
        EXPECT_TRUE(devices[id].options.target.tagged_queuing);
        EXPECT_TRUE(devices[id].options.target.disconnect);
        EXPECT_EQ(devices[id].options.target.sdtr, sim::SdtrAnswer::Agree);
    }
    EXPECT_EQ(devices[4].kind, sim::DeviceConfig::Kind::Optical);
    EXPECT_TRUE(s.workload.verify);
    EXPECT_GT(s.workload.read_percent, 0u);
    EXPECT_LT(s.workload.read_percent, 100u);
}

}  // namespace
}  // namespace hbatest
