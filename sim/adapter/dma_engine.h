// The adapter's bus-master DMA engine: a direction, a byte count and a
// physical address programmed by the driver, started by a command. It moves
// data between the SCSI core and physical memory, only at the programmed
// address and count, only in the programmed direction. Data-in bytes are
// written a little behind their arrival: when the SCSI core stops early the
// last few stay in the engine until the driver drains it.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "clock.h"
#include "dma_memory.h"
#include "model_error.h"

namespace sim {

struct DmaTiming {
    uint32_t in_flight_bytes = 4;                 // data-in bytes not yet written when the core stops
    Nanoseconds in_flight_time = kMicrosecond;    // until they are written after a complete transfer
    Nanoseconds drain_time = 500;                 // the drain command
};

class DmaEngine {
public:
    // DmaCommand bits.
    static constexpr uint8_t kDirectionIn = 0x80;
    static constexpr uint8_t kOperationMask = 0x03;
    static constexpr uint8_t kIdle = 0x00;
    static constexpr uint8_t kDrain = 0x01;
    static constexpr uint8_t kStart = 0x03;
    // DmaStatus bits.
    static constexpr uint8_t kDrainComplete = 0x20;

    DmaEngine(Clock& clock, ModelErrors& errors, DmaMemory& memory, DmaTiming timing = {});

    // --- registers ---
    void write_command(uint8_t value);
    void write_count(uint32_t count);
    void write_address(uint32_t address);
    uint32_t working_count() const;
    uint8_t status_bits() const { return drain_complete_ ? kDrainComplete : 0; }

    // --- the SCSI core's side ---
    // Called when a start command arrives.
    void on_start(std::function<void()> listener) { start_listener_ = std::move(listener); }
    bool started() const { return started_; }
    bool direction_in() const { return direction_in_; }
    uint32_t count() const { return count_; }
    // The physical address the next byte goes to (or comes from), past the bytes held.
    uint32_t next_address() const { return address_ + moved_ + static_cast<uint32_t>(held_.size()); }
    // Data-in bytes from the SCSI bus; `complete` when the core's transfer count is done.
    void deliver(std::span<const uint8_t> bytes, bool complete);
    // Data-out bytes read from memory for the SCSI bus.
    std::vector<uint8_t> fetch(uint32_t count);
    // Bytes arrived and not yet written to memory.
    size_t held() const { return held_.size(); }
    void reset();

private:
    void write_memory(std::span<const uint8_t> bytes);
    void flush_held();
    template <class F>
    void later(Nanoseconds delay, F&& f);

    Clock& clock_;
    ModelErrors& errors_;
    DmaMemory& memory_;
    DmaTiming timing_;
    std::function<void()> start_listener_;

    bool direction_in_ = false;
    bool started_ = false;
    bool count_written_ = false;
    bool address_written_ = false;
    bool drain_complete_ = false;
    uint32_t count_ = 0;
    uint32_t address_ = 0;
    uint32_t moved_ = 0;  // bytes written to (in) or read from (out) memory
    std::vector<uint8_t> held_;
    uint64_t epoch_ = 0;
};

}  // namespace sim
