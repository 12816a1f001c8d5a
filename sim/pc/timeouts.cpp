#include "pc/timeouts.h"

#include <algorithm>
#include <utility>

namespace sim {

RequestTimeouts::~RequestTimeouts()
{
    if (armed_)
        clock_.cancel(tick_event_);
}

void RequestTimeouts::started(uint64_t request, size_t adapter, uint8_t path, uint32_t timeout_seconds)
{
    const Nanoseconds timeout = std::max<uint32_t>(timeout_seconds, 1) * kSecond;
    outstanding_[request] = Entry{adapter, path, timeout, clock_.now() + timeout};
    arm();
}

void RequestTimeouts::finished(uint64_t request) { outstanding_.erase(request); }

void RequestTimeouts::arm()
{
    if (armed_ || outstanding_.empty())
        return;
    armed_ = true;
    tick_event_ = clock_.after(kSecond, [this] { tick(); });
}

// Once a second, as the port driver's timer: every request past its deadline
// times out; its adapter is reset once however many of its requests are due.
void RequestTimeouts::tick()
{
    armed_ = false;
    const Nanoseconds now = clock_.now();
    for (auto it = outstanding_.begin(); it != outstanding_.end();) {
        const uint64_t id = it->first;
        Entry& entry = it->second;
        if (entry.deadline > now) {
            ++it;
            continue;
        }
        entry.deadline = now + entry.timeout;
        if (++entry.expired > 1) {
            lost_.push_back(id);  // reported once, then no longer timed
            it = outstanding_.erase(it);
            continue;
        }
        ++it;
        time_outs_++;
        per_adapter_[entry.adapter]++;
        const size_t adapter = entry.adapter;
        const bool queued = std::any_of(due_.begin(), due_.end(), [adapter](const Due& d) { return d.adapter == adapter; });
        if (!queued)
            due_.push_back({entry.adapter, entry.path});
    }
    arm();
}

std::vector<RequestTimeouts::Due> RequestTimeouts::take_due() { return std::exchange(due_, {}); }

std::vector<uint64_t> RequestTimeouts::take_lost() { return std::exchange(lost_, {}); }

uint64_t RequestTimeouts::time_outs(size_t adapter) const
{
    auto it = per_adapter_.find(adapter);
    return it == per_adapter_.end() ? 0 : it->second;
}

}  // namespace sim
