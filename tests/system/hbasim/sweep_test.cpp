// hbasim --seeds: the range as typed, the failing seeds named, and the line
// each run leaves.
#include <gtest/gtest.h>

#include "sweep.h"

namespace hbatest {
namespace {

TEST(SeedRange, RangesAsTyped)
{
    struct Case {
        const char* text;
        uint64_t first, last;
    } cases[] = {
        {"1..10", 1, 10},
        {"0..0", 0, 0},
        {"501..1000", 501, 1000},
        {"18446744073709551615..18446744073709551615", UINT64_MAX, UINT64_MAX},
    };
    for (const Case& c : cases) {
        std::string error;
        const auto r = hbasim::parse_seed_range(c.text, error);
        ASSERT_TRUE(r) << c.text << ": " << error;
        EXPECT_EQ(r->first, c.first) << c.text;
        EXPECT_EQ(r->last, c.last) << c.text;
    }
}

TEST(SeedRange, MistakesSayWhatIsWrong)
{
    const char* const junk = "give the seeds as a range FIRST..LAST, such as 1..1000";
    struct Case {
        const char* text;
        const char* error;
    } cases[] = {
        {"", junk},
        {"7", junk},
        {"1..", junk},
        {"..5", junk},
        {"1...5", junk},
        {"1..5x", junk},
        {"a..b", junk},
        {"-1..5", junk},
        {"+1..5", junk},
        {" 1..5", junk},
        {"1-5", junk},
        {"5..1", "the range ends at 1, before its first seed 5"},
        {"1..18446744073709551616", "18446744073709551616 is beyond the largest seed, 18446744073709551615"},
        {"99999999999999999999..1", "99999999999999999999 is beyond the largest seed"},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_FALSE(hbasim::parse_seed_range(c.text, error)) << c.text;
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << c.text << "\n  gave: " << error;
    }
}

TEST(SeedList, RunsOfConsecutiveSeedsAreRanges)
{
    struct Case {
        std::vector<uint64_t> seeds;
        const char* text;
    } cases[] = {
        {{}, ""},
        {{11}, "11"},
        {{11, 18}, "11, 18"},
        {{11, 12}, "11..12"},
        {{1, 2, 3, 7, 9, 10, 12}, "1..3, 7, 9..10, 12"},
        {{UINT64_MAX - 1, UINT64_MAX}, "18446744073709551614..18446744073709551615"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(hbasim::seed_list(c.seeds), c.text);
}

// The line carries the figures of the run's --json object; scenario and seed
// lead, so that a script finds them first on the line.
TEST(SeedLine, KeyFiguresOfAWorkloadAndOfACampaign)
{
    hbasim::SeedRun workload;
    workload.scenario = "scenarios/queue-full.toml";
    workload.seed = 7;
    workload.ok = true;
    workload.virtual_time_ns = 900;
    workload.figures = nlohmann::json::parse(R"({
        "devices": [{}, {}], "model_errors": 0, "problems": [], "clean": true,
        "results": {"elapsed_ns": 800, "total": {"requests": 1000,
                    "errors": {"SRB_STATUS_ERROR": 2, "SRB_STATUS_BUSY": 1}, "lost": 0, "bytes_miscompared": 0}}})");
    EXPECT_EQ(hbasim::seed_line(workload).dump(),
              R"({"scenario":"scenarios/queue-full.toml","seed":7,"ok":true,"devices":2,"requests":1000,"failed":3,)"
              R"("lost":0,"bytes_miscompared":0,"workload_ns":800,"virtual_time_ns":900,"model_errors":0})");

    hbasim::SeedRun campaign;
    campaign.scenario = "built-in default machine";
    campaign.seed = 3;
    campaign.fault_rate = 0.02;
    campaign.fault_kinds.set(static_cast<size_t>(sim::FaultKind::Busy));
    campaign.virtual_time_ns = 5000;
    campaign.model_errors = {"error 1", "error 2"};
    campaign.figures = nlohmann::json::parse(R"({
        "devices": [{}], "model_errors": 2, "problems": ["1 request lost"], "driver_stack": {"deepest": 1400},
        "results": {"elapsed_ns": 4000, "total": {"requests": 60}},
        "campaign": {"with_faults": {"requests": 60}, "clean": {"requests": 64}, "faults_injected": 4,
                     "time_outs": 1, "bus_resets": 2, "lost": 1, "bytes_miscompared": 0}})");
    EXPECT_EQ(hbasim::seed_line(campaign).dump(),
              R"({"scenario":"built-in default machine","seed":3,"faults":{"rate":0.02,"kinds":"busy"},"ok":false,)"
              R"("devices":1,"requests":124,"faults_injected":4,"time_outs":1,"bus_resets":2,"lost":1,)"
              R"("bytes_miscompared":0,"workload_ns":4000,"virtual_time_ns":5000,"model_errors":2,)"
              R"("stack_deepest":1400,"problems":["1 request lost"],"first_model_errors":["error 1","error 2"]})");
}

}  // namespace
}  // namespace hbatest
