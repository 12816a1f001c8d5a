#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <sstream>

#include "bus_trace.h"
#include "results.h"
#include "vcd.h"
#include "workload/workload.h"
#include "linked_driver.h"

namespace hbatest {
namespace {

// One tagged disk whose media makes it disconnect; the scan runs first,
// then a single read is watched.
struct OneRead {
    OneRead()
        : machine([] {
              sim::MachineConfig c = sim::default_machine_config();
              sim::DeviceConfig d;
              d.id = 0;
              d.options.block_count = 4096;
              d.options.revolution = 2 * sim::kMillisecond;
              d.options.full_seek = 1 * sim::kMillisecond;
              c.adapters[0].devices.push_back(d);
              return c;
          }())
    {
        machine.boot(hba::linked_driver());
        devices = sim::workload::scan_machine(machine);
    }
    sim::workload::Results Watch(std::function<void(size_t, const sim::BusEvent&)> observer)
    {
        sim::workload::WorkloadConfig w;
        w.requests = 1;
        w.outstanding = 1;
        w.read_percent = 100;
        w.block_size = 4096;
        sim::workload::Runner runner(machine, devices, w);
        runner.set_bus_observer(std::move(observer));
        return runner.run();
    }
    sim::Machine machine;
    std::vector<sim::workload::ScannedDevice> devices;
};

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

TEST(BusTrace, OneReadReadsLikeTheRoadOfARequest)
{
    OneRead r;
    std::ostringstream text;
    hbasim::BusTrace trace(text);
    const auto res = r.Watch([&](size_t a, const sim::BusEvent& e) { trace.on(a, e); });
    ASSERT_TRUE(res.clean());
    // In this order, each on a line of its own (other lines may come between).
    const std::vector<std::string> road = {
        "ARBITRATION    ID 7 won",
        "SELECTION      target 0 with ATN",
        "PHASE          MESSAGE OUT (target 0)",
        "MESSAGE OUT    IDENTIFY LUN 0, disconnect allowed  (ATN)",
        "MESSAGE OUT    SIMPLE QUEUE TAG 0x",
        "PHASE          COMMAND (target 0)",
        "COMMAND        READ(10) LBA ",
        "MESSAGE IN     DISCONNECT",
        "BUS FREE",
        "RESELECTION    by target 0",
        "MESSAGE IN     IDENTIFY LUN 0",
        "MESSAGE IN     SIMPLE QUEUE TAG 0x",
        "PHASE          DATA IN (target 0)",
        "DATA IN        4096 bytes",
        "PHASE          STATUS (target 0)",
        "STATUS         GOOD (0x00)",
        "MESSAGE IN     COMMAND COMPLETE",
        "BUS FREE",
    };
    const std::vector<std::string> lines = Lines(text.str());
    size_t at = 0;
    for (const std::string& line : lines)
        if (at < road.size() && line.find(road[at]) != std::string::npos)
            at++;
    EXPECT_EQ(at, road.size()) << "missing: " << (at < road.size() ? road[at] : "") << "\n" << text.str();
    const std::regex shape(R"( *\d+\.\d{3} us  0  [A-Z ]{14} .*)");
    for (const std::string& line : lines)
        EXPECT_TRUE(std::regex_match(line, shape)) << line;
}

TEST(BusTrace, MessagesAndCommandsAreDecoded)
{
    struct Case {
        std::vector<uint8_t> bytes;
        const char* text;
    } messages[] = {
        {{0x00}, "COMMAND COMPLETE"},
        {{0x04}, "DISCONNECT"},
        {{0x07}, "MESSAGE REJECT"},
        {{0xC3}, "IDENTIFY LUN 3, disconnect allowed"},
        {{0x80}, "IDENTIFY LUN 0"},
        {{0x22, 0x05}, "ORDERED QUEUE TAG 0x05"},
        {{0x01, 0x03, 0x01, 0x19, 0x0F}, "SDTR period 100 ns, offset 15"},
        {{0x01, 0x03, 0x01, 0x32, 0x00}, "SDTR offset 0 (asynchronous)"},
    };
    for (const Case& c : messages) {
        EXPECT_EQ(hbasim::describe_message(c.bytes), c.text);
        EXPECT_EQ(hbasim::message_length(c.bytes), c.bytes.size()) << c.text;
    }
    EXPECT_EQ(hbasim::message_length({0x01}), 0u);  // an extended message's length is not known yet
    EXPECT_EQ(hbasim::describe_cdb({0x2A, 0, 0, 1, 0, 2, 0, 0, 16, 0}),
              "WRITE(10) LBA 65538 blocks 16  [2A 00 00 01 00 02 00 00 10 00]");
    EXPECT_EQ(hbasim::describe_cdb({0x08, 0x01, 0x02, 0x03, 0x00, 0}), "READ(6) LBA 66051 blocks 256  [08 01 02 03 00 00]");
    EXPECT_EQ(hbasim::describe_cdb({0x12, 0, 0, 0, 36, 0}), "INQUIRY allocation length 36  [12 00 00 00 24 00]");
    EXPECT_EQ(hbasim::describe_status(0x28), "QUEUE FULL");
    EXPECT_EQ(hbasim::describe_status(0x02), "CHECK CONDITION");
}

// The waveform of one read: a well-formed header, every value change for a
// declared signal, time never going back, and the phases of the read seen.
TEST(Vcd, OneReadIsAWellFormedWaveform)
{
    OneRead r;
    std::ostringstream text;
    hbasim::VcdWriter vcd(text, 1, sim::BusTiming{});
    r.Watch([&](size_t a, const sim::BusEvent& e) { vcd.on(a, e); });
    vcd.finish();
    const std::vector<std::string> lines = Lines(text.str());
    std::set<std::string> ids;
    std::map<std::string, std::string> names;
    bool definitions_done = false, timescale = false;
    long long last_time = -1;
    std::set<unsigned> phases;
    std::string phase_id, rst_id;
    for (const std::string& line : lines) {
        std::smatch m;
        if (std::regex_match(line, m, std::regex(R"(\$var wire (\d) (\S+) (\S+) \$end)"))) {
            ids.insert(m[2]);
            names[m[3]] = m[2];
        } else if (line == "$timescale 1 ns $end") {
            timescale = true;
        } else if (line == "$enddefinitions $end") {
            definitions_done = true;
            phase_id = names["phase"];
        } else if (std::regex_match(line, m, std::regex(R"(#(\d+))"))) {
            ASSERT_TRUE(definitions_done);
            const long long t = std::stoll(m[1]);
            EXPECT_GT(t, last_time) << line;
            last_time = t;
        } else if (std::regex_match(line, m, std::regex(R"([01](\S+))"))) {
            EXPECT_TRUE(ids.contains(m[1])) << line;
        } else if (std::regex_match(line, m, std::regex(R"(b([01]+) (\S+))"))) {
            EXPECT_TRUE(ids.contains(m[2])) << line;
            if (m[2] == phase_id)
                phases.insert(static_cast<unsigned>(std::stoul(m[1], nullptr, 2)));
        }
    }
    EXPECT_TRUE(timescale);
    EXPECT_TRUE(definitions_done);
    for (const char* n : {"BSY", "SEL", "ATN", "MSG", "C_D", "I_O", "REQ", "ACK", "RST", "phase"})
        EXPECT_TRUE(names.contains(n)) << n;
    // Message out 6, command 2, data in 1, status 3, message in 7.
    EXPECT_EQ(phases, (std::set<unsigned>{0, 1, 2, 3, 6, 7})) << text.str();
}


// The JSON carries the figures of the run; a device the scan did not report is
// a failure, not a quietly smaller run.
TEST(Results, JsonAndMissingDevices)
{
    OneRead r;
    const auto res = r.Watch({});
    const nlohmann::json j = hbasim::results_json(res);
    EXPECT_EQ(j["total"]["requests"], 1);
    EXPECT_EQ(j["total"]["bytes"], 4096);
    EXPECT_EQ(j["devices"][0]["device"]["id"], 0);
    EXPECT_EQ(j["devices"][0]["device"]["period_ns"], 100);
    EXPECT_EQ(j["adapters"][0]["data_bytes"], 4096);
    EXPECT_TRUE(j["clean"]);
    EXPECT_TRUE(hbasim::missing_devices(r.machine, r.devices).empty());
    const auto missing = hbasim::missing_devices(r.machine, {});
    ASSERT_EQ(missing.size(), 1u);
    EXPECT_EQ(missing[0], "adapter 0 ID 0: the disk configured there was not found by the scan");
}

}  // namespace
}  // namespace hbatest
