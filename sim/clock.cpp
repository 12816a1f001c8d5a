#include "clock.h"

#include <algorithm>

namespace sim {

uint32_t Clock::take_slot()
{
    if (free_slots_.empty()) {
        if ((slot_count_ >> kChunkBits) == chunks_.size())
            chunks_.push_back(std::make_unique<Chunk>());
        return slot_count_++;
    }
    const uint32_t index = free_slots_.back();
    free_slots_.pop_back();
    return index;
}

void Clock::free_slot(uint32_t index)
{
    slot(index).reset();
    free_slots_.push_back(index);
}

Clock::EventId Clock::queue(Nanoseconds when, uint32_t index)
{
    EventId id = next_id_++;
    heap_.push_back(Entry{std::max(when, now_), id, index, false});
    std::push_heap(heap_.begin(), heap_.end(), later);
    ++pending_;
    return id;
}

void Clock::cancel(EventId id)
{
    const auto it = std::find_if(heap_.begin(), heap_.end(), [id](const Entry& e) { return e.id == id; });
    if (it == heap_.end() || it->cancelled)
        return;
    it->cancelled = true;
    slot(it->slot).reset();
    --pending_;
}

void Clock::pop_cancelled()
{
    const uint32_t index = heap_.front().slot;
    std::pop_heap(heap_.begin(), heap_.end(), later);
    heap_.pop_back();
    free_slot(index);
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
        slot(entry.slot)();
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
