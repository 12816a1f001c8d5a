#include "clock.h"

#include <algorithm>

namespace sim {

uint32_t Clock::take_slot()
{
    if (free_slots_.empty()) {
        slots_.emplace_back();
        return static_cast<uint32_t>(slots_.size() - 1);
    }
    const uint32_t slot = free_slots_.back();
    free_slots_.pop_back();
    return slot;
}

void Clock::free_slot(uint32_t slot)
{
    slots_[slot].event.reset();
    slots_[slot].cancelled = false;
    free_slots_.push_back(slot);
}

Clock::EventId Clock::queue(Nanoseconds when, uint32_t slot)
{
    EventId id = next_id_++;
    heap_.push_back(Entry{std::max(when, now_), id, slot});
    std::push_heap(heap_.begin(), heap_.end(), later);
    ++pending_;
    return id;
}

void Clock::cancel(EventId id)
{
    const auto it = std::find_if(heap_.begin(), heap_.end(), [id](const Entry& e) { return e.id == id; });
    if (it == heap_.end() || slots_[it->slot].cancelled)
        return;
    slots_[it->slot].cancelled = true;
    slots_[it->slot].event.reset();
    --pending_;
}

void Clock::drop_cancelled_top()
{
    while (!heap_.empty() && slots_[heap_.front().slot].cancelled) {
        const uint32_t slot = heap_.front().slot;
        std::pop_heap(heap_.begin(), heap_.end(), later);
        heap_.pop_back();
        free_slot(slot);
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
        const Entry entry = heap_.back();
        heap_.pop_back();
        --pending_;
        now_ = std::max(now_, entry.when);
        slots_[entry.slot].event();
        free_slot(entry.slot);
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
