#include "adapter/dma_engine.h"

#include <algorithm>

#include <fmt/format.h>

namespace sim {

DmaEngine::DmaEngine(Clock& clock, ModelErrors& errors, DmaMemory& memory, DmaTiming timing)
    : clock_(clock), errors_(errors), memory_(memory), timing_(timing)
{
}

template <class F>
void DmaEngine::later(Nanoseconds delay, F&& f)
{
    clock_.after(delay, [this, epoch = epoch_, f = std::forward<F>(f)]() mutable {
        if (epoch == epoch_)
            f();
    });
}

void DmaEngine::write_command(uint8_t value)
{
    uint8_t operation = value & kOperationMask;
    bool in = (value & kDirectionIn) != 0;
    if (operation == kDrain) {
        if (!in)
            errors_.report("dma engine", "drain command without the data-in direction");
        later(timing_.drain_time, [this] {
            flush_held();
            drain_complete_ = true;
        });
        return;
    }
    if (operation != kIdle && operation != kStart) {
        errors_.report("dma engine", fmt::format("DmaCommand {:#04x}: operation 2 is not defined", value));
        return;
    }
    if (!held_.empty()) {
        errors_.report("dma engine", fmt::format("DmaCommand {:#04x} while {} data-in bytes were never drained to memory: "
                                                 "they are lost",
                                                 value, held_.size()));
        held_.clear();
    }
    ++epoch_;
    drain_complete_ = false;
    direction_in_ = in;
    started_ = false;
    if (operation == kIdle)
        return;
    if (!count_written_ || !address_written_) {
        errors_.report("dma engine", "started without DmaTransferCount and DmaAddress programmed for this transfer");
        return;
    }
    count_written_ = false;
    address_written_ = false;
    started_ = true;
    moved_ = 0;
    if (start_listener_)
        start_listener_();
}

void DmaEngine::write_count(uint32_t count)
{
    count_ = count;
    count_written_ = true;
}

void DmaEngine::write_address(uint32_t address)
{
    address_ = address;
    address_written_ = true;
}

uint32_t DmaEngine::working_count() const { return started_ && count_ > moved_ ? count_ - moved_ : 0; }

void DmaEngine::write_memory(std::span<const uint8_t> bytes)
{
    if (bytes.empty())
        return;
    memory_.dma_write(address_ + moved_, bytes.data(), bytes.size());
    moved_ += static_cast<uint32_t>(bytes.size());
}

void DmaEngine::flush_held()
{
    std::vector<uint8_t> bytes = std::move(held_);
    held_.clear();
    write_memory(bytes);
}

void DmaEngine::deliver(std::span<const uint8_t> bytes, bool complete)
{
    if (!started_ || !direction_in_) {
        errors_.report("dma engine", "data-in bytes arrived while the engine is not started for data in");
        return;
    }
    uint32_t room = count_ - moved_ - static_cast<uint32_t>(held_.size());
    if (bytes.size() > room) {
        errors_.report("dma engine", fmt::format("{} data-in bytes for {} bytes of count left", bytes.size(), room));
        bytes = bytes.first(room);
    }
    held_.insert(held_.end(), bytes.begin(), bytes.end());
    size_t keep = std::min<size_t>(timing_.in_flight_bytes, held_.size());
    std::vector<uint8_t> now(held_.begin(), held_.end() - static_cast<std::ptrdiff_t>(keep));
    held_.erase(held_.begin(), held_.end() - static_cast<std::ptrdiff_t>(keep));
    write_memory(now);
    if (complete && !held_.empty())
        later(timing_.in_flight_time, [this] { flush_held(); });
}

std::vector<uint8_t> DmaEngine::fetch(uint32_t count)
{
    if (!started_ || direction_in_) {
        errors_.report("dma engine", "data-out bytes wanted while the engine is not started for data out");
        return std::vector<uint8_t>(count, 0);
    }
    count = std::min(count, count_ - moved_);
    std::vector<uint8_t> bytes(count, 0);
    if (count)
        memory_.dma_read(address_ + moved_, bytes.data(), count);
    moved_ += count;
    return bytes;
}

void DmaEngine::reset()
{
    ++epoch_;
    started_ = false;
    held_.clear();
    drain_complete_ = false;
}

}  // namespace sim
