// Latencies counted in log-linear buckets, for percentiles over a run of any
// length in constant space. Below 2048 ns every nanosecond has its bucket;
// above, each power of two is cut into 1024 equal buckets, so a bucket is at
// most 1/1024 of its lower bound wide. A percentile is its bucket's middle,
// kept within the smallest and largest latency seen: at most 1/2048 (0.05%)
// away from the exact figure. The count, sum, minimum and maximum are exact.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>

#include "clock.h"

namespace sim::workload {

class LatencyHistogram {
public:
    static constexpr unsigned kSubBucketBits = 10;  // 1024 buckets per power of two
    static constexpr uint64_t kExactBelow = uint64_t{2} << kSubBucketBits;

    void add(Nanoseconds latency);
    LatencyHistogram& operator+=(const LatencyHistogram& other);

    uint64_t count() const { return count_; }
    Nanoseconds min() const { return count_ ? min_ : 0; }
    Nanoseconds max() const { return max_; }
    double mean() const { return count_ ? static_cast<double>(sum_) / static_cast<double>(count_) : 0; }
    // The nearest-rank percentile (0-100): the latency at rank
    // min(count - 1, count * percent / 100) of the sorted latencies,
    // within the precision above; 0 when empty.
    Nanoseconds percentile(unsigned percent) const;

    // The bucket a latency falls in, and a bucket's first latency and width.
    static size_t bucket(Nanoseconds latency);
    static Nanoseconds lower(size_t bucket);
    static Nanoseconds width(size_t bucket);

private:
    // By bucket, only the buckets used: a short run (the fuzzer's) allocates
    // next to nothing, and a long one at most a bucket per latency the
    // clock can show.
    std::map<size_t, uint64_t> counts_;
    uint64_t count_ = 0;
    Nanoseconds sum_ = 0, min_ = 0, max_ = 0;
};

}  // namespace sim::workload
