// The adapter's controller chip: a SCSI core (register file, 16-byte FIFO,
// 24-bit transfer count, sequence commands, interrupt status) and the
// bus-master DMA engine, in one 96-byte I/O window. The core is the
// initiator on the SCSI bus. Commands the chip would not accept in its
// current state raise the illegal-command interrupt, as the hardware does,
// and are reported as model errors: a correct driver never issues them.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>

#include "adapter/dma_engine.h"
#include "bus/scsi_bus.h"
#include "data_direction.h"
#include "dma_memory.h"
#include "interrupt_line.h"
#include "model_error.h"
#include "port_space.h"

namespace sim {

// The machine's check of every data transfer: the bytes a target moves at
// its data pointer must go to (or come from) that very offset of the buffer
// of the request outstanding for that target and LUN; bytes the chip pads or
// discards must lie past the request's data.
class TransferAudit {
public:
    virtual ~TransferAudit() = default;
    // `physical`: where the DMA engine puts or takes the bytes; nothing when the chip pads.
    virtual void moved(uint8_t target, const NexusPointer& at, std::optional<uint32_t> physical, uint32_t length,
                       DataDirection direction) = 0;
};

struct ChipTiming {
    // From RST to the bus-reset interrupt; nullopt: the interrupt never comes.
    std::optional<Nanoseconds> reset_interrupt = 2 * kMicrosecond;
    Nanoseconds command_latency = 200;  // from a command to the first bus action
    uint32_t prefetch_bytes = 8;        // data-out bytes fetched ahead into the FIFO
    DmaTiming dma;
};

class Chip : public PortDevice, public Initiator {
public:
    static constexpr uint32_t kWindowLength = 0x60;
    static constexpr size_t kFifoDepth = 16;

    Chip(Clock& clock, ModelErrors& errors, DmaMemory& memory, InterruptLine& line, ScsiBus& bus, ChipTiming timing = {});
    ~Chip() override;

    // Claims the chip's window at `io_base` in `ports`.
    void attach(PortSpace& ports, uint16_t io_base);
    void set_io_base(uint16_t io_base) { io_base_ = io_base; }

    uint32_t read_port(uint16_t port, Width width) override;
    void write_port(uint16_t port, Width width, uint32_t value) override;

    // --- observation for tests and traces ---
    uint32_t transfer_count() const { return transfer_count_; }
    bool connected() const { return link_ == Link::Connected; }
    Nanoseconds selection_timeout() const;
    DmaEngine& dma() { return dma_; }
    void set_audit(TransferAudit* audit) { audit_ = audit; }

    // --- Initiator: what the bus reports ---
    void selection_done(bool answered) override;
    bool reselected(uint8_t target_id) override;
    void request(scsi::Phase phase) override;
    void bus_free() override;
    void bus_reset() override;

private:
    enum class Link : uint8_t { Idle, Selecting, Connected };
    enum class Op : uint8_t { None, Select, SendInfo, ReceiveMessage, CommandComplete, Accept, Dma, Pad, Reselect, AwaitPhase };

    uint8_t read_register(uint8_t offset);
    void write_register(uint8_t offset, uint8_t value);
    void check_width(uint8_t offset, Width width, bool dword_register);
    void command(uint8_t code);
    bool illegal(uint8_t code, const char* why);
    bool require_connected_idle(uint8_t code);
    void start_selection(uint8_t code);
    void start_transfer_info(uint8_t code);
    void start_command_complete(uint8_t code);
    void start_dma(uint8_t code, bool pad);
    void engine_started();

    void step(scsi::Phase phase);
    void select_step(scsi::Phase phase);
    void send_step(scsi::Phase phase);
    void command_complete_step(scsi::Phase phase);
    void data_step(scsi::Phase phase);
    void move_data(uint32_t count);
    void prefetch_unsent();
    void send_fifo_byte();
    void receive_held_byte();
    void finish(uint8_t cause);
    void raise(uint8_t cause);
    TransferSettings settings() const;
    uint8_t own_id() const { return config1_ & 0x07; }
    template <class F>
    void later(Nanoseconds delay, F&& f);

    Clock& clock_;
    ModelErrors& errors_;
    InterruptLine& line_;
    ScsiBus& bus_;
    ChipTiming timing_;
    DmaEngine dma_;
    TransferAudit* audit_ = nullptr;
    PortSpace* ports_ = nullptr;
    uint16_t io_base_ = 0;
    uint64_t epoch_ = 0;

    // Register file.
    uint32_t transfer_count_ = 0;
    std::deque<uint8_t> fifo_;
    uint8_t destination_ = 0;
    uint8_t select_timeout_ = 0;
    uint8_t sync_period_ = 0;
    uint8_t sync_offset_ = 0;
    uint8_t config1_ = 0;
    uint8_t clock_factor_ = 0;
    uint8_t config2_ = 0;
    uint8_t config3_ = 0;
    uint8_t config4_ = 0;
    uint8_t last_command_ = 0;
    uint8_t parity_ = 0;  // Status 0x20, for the transfer that just ended

    // Interrupts: one latched cause, later ones wait their turn (a bus reset joins the latched one).
    uint8_t interrupt_ = 0;
    bool reset_unseen_ = false;  // a bus reset whose interrupt the driver has not read yet
    std::deque<uint8_t> queued_;

    // Sequencer.
    Link link_ = Link::Idle;
    Op op_ = Op::None;
    scsi::Phase phase_ = scsi::Phase::DataOut;  // the last phase the target asserted
    scsi::Phase info_phase_ = scsi::Phase::DataOut;
    bool busy_ = false;                         // a byte or a data block is on its way
    bool ack_held_ = false;
    bool reselection_enabled_ = false;
    bool reselection_unserviced_ = false;       // reselected, interrupt not yet read
    unsigned message_bytes_ = 0;                // of the running selection
    unsigned message_sent_ = 0;
    bool stop_after_message_ = false;
    bool status_taken_ = false;
    bool engine_running_ = false;
    uint8_t reselecting_target_ = 0;
};

}  // namespace sim
