// Percentiles from the latency histogram against the exact nearest rank of
// the sorted latencies: within 1/2048 of it, exact below 2048 ns.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "workload/latency_histogram.h"

namespace {

using sim::Nanoseconds;
using sim::workload::LatencyHistogram;

struct Case {
    const char* name;
    std::vector<Nanoseconds> (*draw)(std::mt19937_64&);
};

std::vector<Nanoseconds> Constant(std::mt19937_64&) { return std::vector<Nanoseconds>(1000, 11'404'597); }
std::vector<Nanoseconds> SmallExact(std::mt19937_64& g)
{
    std::vector<Nanoseconds> v(5000);
    for (auto& x : v)
        x = g() % 2048;
    return v;
}
std::vector<Nanoseconds> DiskLike(std::mt19937_64& g)
{
    std::vector<Nanoseconds> v(20000);
    std::uniform_int_distribution<Nanoseconds> d(1'000'000, 45'000'000);
    for (auto& x : v)
        x = d(g);
    return v;
}
std::vector<Nanoseconds> LogUniform(std::mt19937_64& g)
{
    std::vector<Nanoseconds> v(20000);
    std::uniform_real_distribution<double> e(2, 11);  // 100 ns to 100 s
    for (auto& x : v)
        x = static_cast<Nanoseconds>(std::pow(10.0, e(g)));
    return v;
}
std::vector<Nanoseconds> TimeOutTail(std::mt19937_64& g)
{
    std::vector<Nanoseconds> v = DiskLike(g);
    for (size_t i = 0; i < v.size(); i += 97)
        v[i] = 10'000'000'000 + g() % 4'000'000'000;  // a time-out, reset hold and retries
    return v;
}
std::vector<Nanoseconds> One(std::mt19937_64&) { return {3'141'592}; }

const Case kCases[] = {{"constant", Constant},  {"below 2048 ns", SmallExact}, {"1-45 ms", DiskLike},
                       {"100 ns-100 s", LogUniform}, {"1% time-outs", TimeOutTail}, {"one", One}};

TEST(LatencyHistogram, PercentilesWithinTheirStatedPrecision)
{
    std::mt19937_64 g(7);
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        std::vector<Nanoseconds> v = c.draw(g);
        LatencyHistogram h;
        for (Nanoseconds x : v)
            h.add(x);
        std::sort(v.begin(), v.end());
        for (unsigned percent : {0u, 1u, 50u, 90u, 99u, 100u}) {
            const Nanoseconds exact = v[std::min(v.size() - 1, v.size() * percent / 100)];
            const Nanoseconds got = h.percentile(percent);
            const double error = std::abs(static_cast<double>(got) - static_cast<double>(exact));
            if (exact < LatencyHistogram::kExactBelow)
                EXPECT_EQ(got, exact) << "p" << percent;
            else
                EXPECT_LE(error, static_cast<double>(exact) / 2048) << "p" << percent << ": " << got << " for " << exact;
        }
        EXPECT_EQ(h.max(), v.back());
        EXPECT_EQ(h.min(), v.front());
        EXPECT_EQ(h.count(), v.size());
    }
}

TEST(LatencyHistogram, MergedEqualsOneOverEverything)
{
    std::mt19937_64 g(3);
    const std::vector<Nanoseconds> a = LogUniform(g), b = TimeOutTail(g);
    LatencyHistogram ha, hb, all;
    for (Nanoseconds x : a) {
        ha.add(x);
        all.add(x);
    }
    for (Nanoseconds x : b) {
        hb.add(x);
        all.add(x);
    }
    LatencyHistogram merged;
    merged += ha;
    merged += hb;
    for (unsigned percent : {0u, 50u, 99u, 100u})
        EXPECT_EQ(merged.percentile(percent), all.percentile(percent)) << percent;
    EXPECT_EQ(merged.count(), all.count());
    EXPECT_EQ(merged.min(), all.min());
    EXPECT_DOUBLE_EQ(merged.mean(), all.mean());
    EXPECT_EQ(LatencyHistogram{}.percentile(50), 0u);
}

// Each latency lies in its bucket, and a bucket is at most 1/1024 of its
// first latency wide, up to the largest latency there is.
TEST(LatencyHistogram, BucketsCoverEveryLatency)
{
    for (const Nanoseconds x : {Nanoseconds{0}, Nanoseconds{2047}, Nanoseconds{2048}, Nanoseconds{2049},
                                Nanoseconds{11'404'597}, Nanoseconds{1} << 40, (Nanoseconds{1} << 63) + 12345,
                                ~Nanoseconds{0}}) {
        const size_t b = LatencyHistogram::bucket(x);
        const Nanoseconds low = LatencyHistogram::lower(b), width = LatencyHistogram::width(b);
        EXPECT_LE(low, x) << x;
        EXPECT_LE(x - low, width - 1) << x;
        EXPECT_LE(width * 1024, std::max<Nanoseconds>(low, 1024)) << x;
    }
}

}  // namespace
