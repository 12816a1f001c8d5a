// A fixture for the chip on its own: a small RAM with the buffers the DMA engine may
// touch, an interrupt line, and a compact initiator that drives the chip's
// registers the way the driver does (selection, one action per phase, DMA per
// scatter-gather entry, drain, message handling, reselection).
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <vector>

#include "adapter/controller_chip.h"
#include "bus/block_device.h"
#include "bus/scsi_bus.h"
#include "clock.h"
#include "port_space.h"
#include "support/cdb.h"

namespace hbatest::chiphost {

using namespace sim;

constexpr uint16_t kBase = 0xE800;

// Registers by offset.
enum : uint8_t {
    TransferCountLow = 0x00, TransferCountMid = 0x04, Fifo = 0x08, Command = 0x0C, Status = 0x10, DestinationId = 0x10,
    InterruptStatus = 0x14, SelectTimeout = 0x14, SyncPeriod = 0x18, FifoFlags = 0x1C, SyncOffset = 0x1C,
    Config1 = 0x20, ClockFactor = 0x24, Config2 = 0x2C, Config3 = 0x30, Config4 = 0x34, TransferCountHigh = 0x38,
    DmaCommand = 0x40, DmaTransferCount = 0x44, DmaAddress = 0x48, DmaWorkingCount = 0x4C, DmaStatus = 0x54,
};

// Physical memory with windows that DMA may use, each in one direction.
class TestMemory : public DmaMemory {
public:
    explicit TestMemory(ModelErrors& errors) : errors_(errors), ram_(1 << 20, 0xEE) {}
    void allow(uint32_t address, uint32_t length, bool device_writes) { windows_.push_back({address, length, device_writes}); }
    bool dma_write(uint32_t physical, const uint8_t* data, size_t length) override;
    bool dma_read(uint32_t physical, uint8_t* data, size_t length) override;
    std::vector<uint8_t> bytes(uint32_t address, uint32_t length) const
    {
        return {ram_.begin() + address, ram_.begin() + address + length};
    }
    void fill(uint32_t address, const std::vector<uint8_t>& data) { std::copy(data.begin(), data.end(), ram_.begin() + address); }

private:
    struct Window { uint32_t address, length; bool device_writes; };
    bool allowed(uint32_t physical, size_t length, bool write) const;
    ModelErrors& errors_;
    std::vector<uint8_t> ram_;
    std::vector<Window> windows_;
};

class TestLine : public InterruptLine {
public:
    void set_level(bool raised) override { raised_ = raised; }
    bool raised() const { return raised_; }

private:
    bool raised_ = false;
};

struct Interrupt {
    uint8_t status = 0;
    uint8_t cause = 0;
    uint8_t phase() const { return status & 7; }
};

// One command as the initiator tracks it.
struct Cmd {
    uint8_t target = 0;
    uint8_t lun = 0;
    std::vector<uint8_t> cdb;
    std::vector<std::pair<uint32_t, uint32_t>> sg;  // physical address, length
    bool disconnect = true;
    std::optional<uint8_t> tag;
    uint8_t tag_message = 0x20;
    bool negotiate = false;  // SDTR offer with SelectWithAtnStop
    uint8_t offer_period = 25;
    // The CDBs that follow `cdb` in a linked chain, each sent in the command
    // phase that comes after LINKED COMMAND COMPLETE; any other command
    // phase gets the current one again.
    std::vector<std::vector<uint8_t>> linked;
    size_t link = 0;                // commands of the chain completed
    std::vector<uint8_t> statuses;  // every status byte, INTERMEDIATE ones included

    // Progress.
    size_t entry = 0;
    uint32_t offset = 0;
    size_t saved_entry = 0;
    uint32_t saved_offset = 0;
    uint8_t status = 0xFF;
    bool complete = false;
    bool overrun = false;
    uint32_t moved = 0;
};

struct Fixture {
    explicit Fixture(uint64_t seed = 1, ChipTiming timing = {}, BusTiming bus_timing = {})
        : errors(clock), rng(seed), ports(clock), memory(errors), bus(clock, errors, rng, bus_timing),
          chip(clock, errors, memory, line, bus, timing)
    {
        chip.attach(ports, kBase);
    }
    Disk& add_disk(uint8_t id, BlockDeviceOptions options = {});

    Clock clock;
    ModelErrors errors;
    Rng rng;
    PortSpace ports;
    TestMemory memory;
    TestLine line;
    ScsiBus bus;
    Chip chip;
};

class Host {
public:
    explicit Host(Fixture& f, uint8_t own_id = 7);

    uint8_t in8(uint8_t reg) { return static_cast<uint8_t>(f_.ports.read(kBase + reg, Width::Byte)); }
    uint32_t in32(uint8_t reg) { return f_.ports.read(kBase + reg, Width::Dword); }
    void out8(uint8_t reg, uint8_t v) { f_.ports.write(kBase + reg, Width::Byte, v); }
    void out32(uint8_t reg, uint32_t v) { f_.ports.write(kBase + reg, Width::Dword, v); }
    void command(uint8_t code) { out8(Command, code); }

    // Runs virtual time until the chip raises its line (false if it never does within `limit`).
    bool wait_line(Nanoseconds limit = 2 * kSecond);
    // Waits for the line and reads DmaStatus, Status and InterruptStatus as the driver does.
    Interrupt next(Nanoseconds limit = 2 * kSecond);
    uint32_t transfer_count() { return (uint32_t{in8(TransferCountHigh)} << 16) | (uint32_t{in8(TransferCountMid)} << 8) | in8(TransferCountLow); }
    void load_transfer_count(uint32_t count);
    void program_dma(bool in, uint32_t address, uint32_t count);

    // Transfer registers for a target; the default is asynchronous.
    struct Timing { uint8_t period = 0, offset = 0, config3 = 0x08, config4 = 0x80; };
    void set_timing(uint8_t target, Timing t) { timing_[target] = t; }
    void load_target(uint8_t target);
    // Empties the FIFO, puts `identify` and `cdb` in it and selects with ATN:
    // the target's registers are the caller's to load first.
    void select_with_atn(uint8_t identify, const std::vector<uint8_t>& cdb);

    // Whole commands, run by the interrupt loop below.
    void start(Cmd& cmd);
    void queue(Cmd& cmd) { waiting_.push_back(&cmd); }
    // Services interrupts until every started or queued command is complete
    // (or nothing happens for `limit`). Returns the interrupts seen.
    std::vector<Interrupt> run(Nanoseconds limit = 5 * kSecond);

    // What the message-out phase sends next.
    std::vector<uint8_t> pending_message;
    // Refuse with MESSAGE REJECT every message the host does not implement
    // (at its last byte); `reject_early`: at its first byte already.
    bool refuse_messages = true;
    bool reject_early = false;
    std::vector<std::vector<uint8_t>> messages_in;  // every complete message received
    bool parity_seen = false;

private:
    void service(const Interrupt& irq);
    void reselection();
    void bus_free();
    void finish_phase(uint8_t& status);
    void start_phase(uint8_t phase);
    void message_in_byte(uint8_t b, uint8_t& status);
    void start_next();
    Cmd* find(uint8_t target, uint8_t lun, std::optional<uint8_t> tag);
    bool all_done() const;

    Fixture& f_;
    uint8_t own_id_;
    std::array<Timing, 8> timing_{};
    std::vector<Cmd*> commands_;
    std::vector<Cmd*> waiting_;
    Cmd* active_ = nullptr;
    uint8_t phase_ = 5;
    std::vector<uint8_t> collecting_;
    size_t expect_ = 0;
    uint8_t reselect_target_ = 0;
    uint8_t reselect_lun_ = 0;
    bool parity_error_ = false;
    bool disconnecting_ = false;
};

std::vector<uint8_t> Pattern(size_t length, uint8_t seed);

}  // namespace hbatest::chiphost
