// Virtual time and the one event queue of a simulated machine.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <random>
#include <utility>
#include <vector>

#include "clock_event.h"

namespace sim {

using Nanoseconds = uint64_t;

constexpr Nanoseconds kMicrosecond = 1000;
constexpr Nanoseconds kMillisecond = 1000 * kMicrosecond;
constexpr Nanoseconds kSecond = 1000 * kMillisecond;

// Virtual time in nanoseconds with a queue of timed events. Time only moves
// when something advances it (a port access, a stall, the port driver waiting
// for an interrupt); due events run as it moves, in time order and, for equal
// times, in the order they were scheduled.
class Clock {
public:
    using EventId = uint64_t;

    Nanoseconds now() const { return now_; }

    template <class F>
    EventId at(Nanoseconds when, F&& event)
    {
        const uint32_t index = take_slot();
        slot(index).emplace(std::forward<F>(event));
        return queue(when, index);
    }
    template <class F>
    EventId after(Nanoseconds delay, F&& event)
    {
        return at(now_ + delay, std::forward<F>(event));
    }
    void cancel(EventId id);

    // Moves time forward by `delay`, running every event that falls due.
    void advance(Nanoseconds delay)
    {
        // Most advances (a port access, a stall) pass no event at all.
        if (heap_.empty() || heap_.front().when > now_ + delay)
            now_ += delay;
        else
            advance_to(now_ + delay);
    }
    // Moves time to `when` (never backward), running every event due by then.
    void advance_to(Nanoseconds when);
    // Runs the earliest pending event, moving time to it. False when none is pending.
    bool run_next();
    bool idle() const { return pending_ == 0; }
    size_t pending() const { return pending_; }
    Nanoseconds next_event_time() const
    {
        // Cancelled entries stay in the heap until they reach its top; dropping
        // them there changes nothing anyone can see, and keeps this O(log n)
        // where a scan of every entry would grow with each cancelled time-out.
        const_cast<Clock*>(this)->drop_cancelled_top();
        return heap_.empty() ? now_ : heap_.front().when;
    }

private:
    // The heap holds when and in what order; the events stay in their slots.
    struct Entry {
        Nanoseconds when;
        EventId id;  // also the scheduling order
        uint32_t slot;
        bool cancelled;  // dropped when it reaches the heap's top
    };
    // Slots come in fixed chunks: a running event's slot stays put while it
    // schedules others, and finding one is a shift and a mask.
    static constexpr uint32_t kChunkBits = 6;
    using Chunk = std::array<ClockEvent, 1u << kChunkBits>;
    ClockEvent& slot(uint32_t index) { return (*chunks_[index >> kChunkBits])[index & ((1u << kChunkBits) - 1)]; }
    static bool later(const Entry& a, const Entry& b)
    {
        return a.when != b.when ? a.when > b.when : a.id > b.id;
    }
    uint32_t take_slot();
    void free_slot(uint32_t slot);
    EventId queue(Nanoseconds when, uint32_t slot);
    void drop_cancelled_top()
    {
        while (!heap_.empty() && heap_.front().cancelled)
            pop_cancelled();
    }
    void pop_cancelled();
    void run_due(Nanoseconds until);

    Nanoseconds now_ = 0;
    EventId next_id_ = 0;
    size_t pending_ = 0;
    std::vector<Entry> heap_;  // min-heap on (when, id)
    std::vector<std::unique_ptr<Chunk>> chunks_;
    uint32_t slot_count_ = 0;
    std::vector<uint32_t> free_slots_;
};

// The machine's one source of randomness; the seed is printed by whoever runs it.
class Rng {
public:
    explicit Rng(uint64_t seed) : seed_(seed), engine_(seed) {}
    uint64_t seed() const { return seed_; }
    uint64_t next() { return engine_(); }
    // Uniform in [lo, hi].
    uint64_t range(uint64_t lo, uint64_t hi) { return lo + engine_() % (hi - lo + 1); }
    bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(engine_) < p; }

private:
    uint64_t seed_;
    std::mt19937_64 engine_;
};

}  // namespace sim
