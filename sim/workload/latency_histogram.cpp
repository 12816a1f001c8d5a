#include "workload/latency_histogram.h"

#include <algorithm>
#include <bit>

namespace sim::workload {

namespace {
constexpr uint64_t kSub = uint64_t{1} << LatencyHistogram::kSubBucketBits;
}

size_t LatencyHistogram::bucket(Nanoseconds latency)
{
    const uint64_t v = latency;
    if (v < kExactBelow)
        return static_cast<size_t>(v);
    const unsigned shift = static_cast<unsigned>(std::bit_width(v)) - 1 - kSubBucketBits;
    return static_cast<size_t>(kSub * (shift + 1) + ((v >> shift) - kSub));
}

Nanoseconds LatencyHistogram::lower(size_t bucket)
{
    if (bucket < kExactBelow)
        return bucket;
    const uint64_t shift = bucket / kSub - 1;
    return (bucket % kSub + kSub) << shift;
}

Nanoseconds LatencyHistogram::width(size_t bucket)
{
    return bucket < kExactBelow ? 1 : uint64_t{1} << (bucket / kSub - 1);
}

void LatencyHistogram::add(Nanoseconds latency)
{
    counts_[bucket(latency)]++;
    min_ = count_ ? std::min(min_, latency) : latency;
    max_ = std::max(max_, latency);
    sum_ += latency;
    count_++;
}

LatencyHistogram& LatencyHistogram::operator+=(const LatencyHistogram& other)
{
    if (other.count_ == 0)
        return *this;
    for (const auto& [b, n] : other.counts_)
        counts_[b] += n;
    min_ = count_ ? std::min(min_, other.min_) : other.min_;
    max_ = std::max(max_, other.max_);
    sum_ += other.sum_;
    count_ += other.count_;
    return *this;
}

Nanoseconds LatencyHistogram::percentile(unsigned percent) const
{
    if (count_ == 0)
        return 0;
    const uint64_t rank = std::min(count_ - 1, count_ * percent / 100);
    uint64_t seen = 0;
    for (const auto& [b, n] : counts_) {
        seen += n;
        if (seen > rank)
            return std::clamp<Nanoseconds>(lower(b) + width(b) / 2, min_, max_);
    }
    return max_;
}

}  // namespace sim::workload
