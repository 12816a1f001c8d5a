#include "clock.h"

#include <algorithm>

namespace sim {

Clock::EventId Clock::at(Nanoseconds when, Event event)
{
    EventId id = next_id_++;
    heap_.push_back(Entry{std::max(when, now_), id, std::move(event)});
    std::push_heap(heap_.begin(), heap_.end(), later);
    ++pending_;
    return id;
}

void Clock::cancel(EventId id)
{
    bool queued = std::any_of(heap_.begin(), heap_.end(), [id](const Entry& e) { return e.id == id; });
    if (queued && cancelled_.insert(id).second)
        --pending_;
}

void Clock::drop_cancelled_top()
{
    while (!heap_.empty() && !cancelled_.empty() && cancelled_.erase(heap_.front().id)) {
        std::pop_heap(heap_.begin(), heap_.end(), later);
        heap_.pop_back();
    }
}

Nanoseconds Clock::next_event_time() const
{
    // Cancelled entries stay in the heap until they reach its top; dropping
    // them there changes nothing anyone can see, and keeps this O(log n)
    // where a scan of every entry would grow with each cancelled time-out.
    const_cast<Clock*>(this)->drop_cancelled_top();
    return heap_.empty() ? now_ : heap_.front().when;
}

void Clock::run_due(Nanoseconds until)
{
    for (;;) {
        drop_cancelled_top();
        if (heap_.empty() || heap_.front().when > until)
            return;
        std::pop_heap(heap_.begin(), heap_.end(), later);
        Entry entry = std::move(heap_.back());
        heap_.pop_back();
        --pending_;
        now_ = std::max(now_, entry.when);
        entry.event();
    }
}

void Clock::advance_to(Nanoseconds when)
{
    if (when < now_)
        return;
    run_due(when);
    now_ = when;
}

bool Clock::run_next()
{
    drop_cancelled_top();
    if (heap_.empty())
        return false;
    run_due(heap_.front().when);
    return true;
}

}  // namespace sim
