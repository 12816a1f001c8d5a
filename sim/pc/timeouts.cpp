#include "pc/timeouts.h"

#include <algorithm>
#include <tuple>
#include <utility>

namespace sim {

RequestTimeouts::~RequestTimeouts()
{
    if (armed_)
        clock_.cancel(tick_event_);
}

void RequestTimeouts::started(uint64_t request, const Lu& lu, uint32_t timeout_seconds)
{
    Counter& c = lus_[lu];
    if (c.requests.empty())
        c.ticks = timeout_seconds;
    c.requests.push_back({request, timeout_seconds});
    lu_of_[request] = lu;
    arm();
}

void RequestTimeouts::finished(uint64_t request)
{
    auto at = lu_of_.find(request);
    if (at == lu_of_.end())
        return;
    auto it = lus_.find(at->second);
    lu_of_.erase(at);
    Counter& c = it->second;
    const bool oldest = c.requests.front().id == request;
    std::erase_if(c.requests, [request](const Started& s) { return s.id == request; });
    if (c.requests.empty())
        lus_.erase(it);
    else if (oldest)
        c.ticks = c.requests.front().timeout_seconds;
}

void RequestTimeouts::arm()
{
    if (armed_ || lus_.empty())
        return;
    armed_ = true;
    tick_event_ = clock_.after(kSecond, [this] { tick(); });
}

// Once a second, as the port driver's timer. An LU whose counter has run out
// times out; its adapter is reset once however many of its LUs are due.
void RequestTimeouts::tick()
{
    armed_ = false;
    for (auto it = lus_.begin(); it != lus_.end();) {
        const Lu lu = it->first;
        Counter& c = it->second;
        if (c.ticks > 0) {
            c.ticks--;
            ++it;
            continue;
        }
        if (c.requests.front().timed_out) {
            // Outstanding through a whole time-out after the reset its LU's
            // time-out caused: lost, reported once and no longer timed.
            for (const Started& st : c.requests)
                if (st.timed_out) {
                    lost_.push_back(st.id);
                    lu_of_.erase(st.id);
                }
            std::erase_if(c.requests, [](const Started& st) { return st.timed_out; });
            if (c.requests.empty()) {
                it = lus_.erase(it);
                continue;
            }
            c.ticks = c.requests.front().timeout_seconds;
            ++it;
            continue;
        }
        for (Started& st : c.requests)
            st.timed_out = true;
        c.ticks = c.requests.front().timeout_seconds;
        ++it;
        time_outs_++;
        per_adapter_[lu.adapter]++;
        const bool queued =
            std::any_of(due_.begin(), due_.end(), [&lu](const Due& d) { return d.adapter == lu.adapter; });
        if (!queued)
            due_.push_back({lu.adapter, lu.path});
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
