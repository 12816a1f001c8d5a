#include "adapter/controller_chip.h"

#include <algorithm>

#include <fmt/format.h>

namespace sim {

using scsi::Phase;

namespace {

// Register offsets and command codes, as the chip decodes them.
enum Reg : uint8_t {
    kTransferCountLow = 0x00,
    kTransferCountMid = 0x04,
    kFifo = 0x08,
    kCommand = 0x0C,
    kStatus = 0x10,          // read; DestinationId when written
    kInterruptStatus = 0x14, // read; SelectTimeout when written
    kSyncPeriod = 0x18,
    kFifoFlags = 0x1C,       // read; SyncOffset when written
    kConfig1 = 0x20,
    kClockFactor = 0x24,
    kConfig2 = 0x2C,
    kConfig3 = 0x30,
    kConfig4 = 0x34,
    kTransferCountHigh = 0x38,
    kDmaCommand = 0x40,
    kDmaTransferCount = 0x44,
    kDmaAddress = 0x48,
    kDmaWorkingCount = 0x4C,
    kDmaStatus = 0x54,
};

enum Cmd : uint8_t {
    kNop = 0x00,
    kFlushFifo = 0x01,
    kResetScsiBus = 0x03,
    kTransferInfo = 0x10,
    kInitiatorCommandComplete = 0x11,
    kMessageAccepted = 0x12,
    kSetAtn = 0x1A,
    kResetAtn = 0x1B,
    kSelectWithAtn = 0x42,
    kSelectWithAtnStop = 0x43,
    kEnableReselection = 0x44,
    kSelectWithAtn3 = 0x46,
    kDmaTransferInfo = 0x90,
    kDmaTransferPad = 0x98,
};

enum Cause : uint8_t {
    kBusReset = 0x80,
    kIllegalCommand = 0x40,
    kDisconnect = 0x20,
    kBusService = 0x10,
    kFunctionComplete = 0x08,
    kReselected = 0x04,
};

constexpr uint8_t kParityError = 0x20;
constexpr uint8_t kConfig1Parity = 0x10;
constexpr uint8_t kDmaCoreInterrupt = 0x10;
constexpr uint32_t kTransferCountMask = 0xFFFFFF;

bool dword_register(uint8_t offset)
{
    return offset == kDmaTransferCount || offset == kDmaAddress || offset == kDmaWorkingCount;
}

}  // namespace

Chip::Chip(Clock& clock, ModelErrors& errors, DmaMemory& memory, InterruptLine& line, ScsiBus& bus, ChipTiming timing)
    : clock_(clock), errors_(errors), line_(line), bus_(bus), timing_(timing), dma_(clock, errors, memory, timing.dma)
{
    bus_.attach_initiator(this);
    dma_.on_start([this] { engine_started(); });
}

Chip::~Chip()
{
    if (ports_)
        ports_->release(this);
    bus_.attach_initiator(nullptr);
}

void Chip::attach(PortSpace& ports, uint16_t io_base)
{
    ports_ = &ports;
    io_base_ = io_base;
    ports.claim(io_base, kWindowLength, this);
}

template <class F>
void Chip::later(Nanoseconds delay, F&& f)
{
    clock_.after(delay, [this, epoch = epoch_, f = std::forward<F>(f)]() mutable {
        if (epoch == epoch_)
            f();
    });
}

// About 250 ms for the values the driver writes (0x99 with clock factor 0,
// which counts as 8): 8192 clocks of 25 ns times the factor times the value.
Nanoseconds Chip::selection_timeout() const
{
    Nanoseconds factor = clock_factor_ ? clock_factor_ : 8;
    Nanoseconds value = select_timeout_ ? select_timeout_ : 256;
    return 8192 * 25 * factor * value;
}

// The data-phase timing the transfer registers give. The period register
// counts 25 ns clocks: in fast mode (Config3 0x10) as they are, otherwise one
// clock more; fast mode serves periods of up to 8 clocks, and Config4's 0x80
// (slow) must say the opposite of it. Offset 0 is asynchronous, and then the
// period register, fast mode and the slow bit stand at 0, clear and set.
TransferSettings Chip::settings() const
{
    TransferSettings t;
    const bool fast = (config3_ & 0x10) != 0;
    const bool slow = (config4_ & 0x80) != 0;
    t.offset = static_cast<uint8_t>(sync_offset_ & 0x0F);
    t.registers = {sync_period_, sync_offset_, config3_, config4_};
    if (t.offset == 0) {
        t.coherent = sync_period_ == 0 && !fast && slow;
        return t;
    }
    const unsigned clocks = fast ? sync_period_ : sync_period_ + 1u;
    t.period_ns = clocks * 25u;
    t.coherent = sync_period_ != 0 && fast == (clocks <= 8) && slow != fast;
    return t;
}

// --- ports ---

void Chip::check_width(uint8_t offset, Width width, bool dword)
{
    Width wanted = dword ? Width::Dword : Width::Byte;
    if (width != wanted)
        errors_.report("chip", fmt::format("register {:#04x} is {} bits wide, accessed with {} bits", offset,
                                           dword ? 32 : 8, 8 * static_cast<int>(width)));
}

uint32_t Chip::read_port(uint16_t port, Width width)
{
    uint8_t offset = static_cast<uint8_t>(port - io_base_);
    check_width(offset, width, dword_register(offset));
    if (offset == kDmaWorkingCount)
        return dma_.working_count();
    if (dword_register(offset)) {
        errors_.report("chip", fmt::format("read of write-only DMA register {:#04x}", offset));
        return 0;
    }
    return read_register(offset);
}

void Chip::write_port(uint16_t port, Width width, uint32_t value)
{
    uint8_t offset = static_cast<uint8_t>(port - io_base_);
    check_width(offset, width, dword_register(offset));
    switch (offset) {
    case kDmaTransferCount: dma_.write_count(value); return;
    case kDmaAddress: dma_.write_address(value); return;
    case kDmaWorkingCount: errors_.report("chip", "write of the read-only DmaWorkingCount"); return;
    default: write_register(offset, static_cast<uint8_t>(value));
    }
}

uint8_t Chip::read_register(uint8_t offset)
{
    switch (offset) {
    case kTransferCountLow: return static_cast<uint8_t>(transfer_count_);
    case kTransferCountMid: return static_cast<uint8_t>(transfer_count_ >> 8);
    case kTransferCountHigh: return static_cast<uint8_t>(transfer_count_ >> 16);
    case kFifo: {
        if (fifo_.empty()) {
            errors_.report("chip", "FIFO read while empty");
            return 0;
        }
        uint8_t b = fifo_.front();
        fifo_.pop_front();
        return b;
    }
    case kCommand: return last_command_;
    case kStatus: {
        std::optional<Phase> asserted = bus_.requested_phase();
        uint8_t phase = static_cast<uint8_t>(link_ == Link::Connected && asserted ? *asserted : phase_);
        return static_cast<uint8_t>(phase | parity_);
    }
    case kInterruptStatus: {
        uint8_t cause = interrupt_;
        if (cause & kBusReset)
            reset_unseen_ = false;
        interrupt_ = 0;
        parity_ = 0;
        reselection_unserviced_ = false;
        line_.set_level(false);
        if (!queued_.empty()) {
            interrupt_ = queued_.front();
            queued_.pop_front();
            line_.set_level(true);
        }
        return cause;
    }
    case kFifoFlags: return static_cast<uint8_t>(fifo_.size() & 0x1F);
    case kDmaStatus: return static_cast<uint8_t>((interrupt_ ? kDmaCoreInterrupt : 0) | dma_.status_bits());
    default:
        errors_.report("chip", fmt::format("read of register {:#04x}, which is write-only or not defined", offset));
        return 0;
    }
}

void Chip::write_register(uint8_t offset, uint8_t value)
{
    bool transferring = (op_ == Op::Dma || op_ == Op::Pad) && busy_;
    switch (offset) {
    case kTransferCountLow:
    case kTransferCountMid:
    case kTransferCountHigh: {
        if (transferring)
            errors_.report("chip", "transfer count written during a transfer");
        unsigned shift = offset == kTransferCountLow ? 0 : offset == kTransferCountMid ? 8 : 16;
        transfer_count_ = (transfer_count_ & ~(0xFFu << shift)) | (uint32_t{value} << shift);
        return;
    }
    case kFifo:
        if (fifo_.size() >= kFifoDepth) {
            errors_.report("chip", fmt::format("FIFO overflow: byte {:#04x} written to a full 16-byte FIFO is lost", value));
            return;
        }
        fifo_.push_back(value);
        return;
    case kCommand: command(value); return;
    case kStatus: destination_ = value & 0x07; return;
    case kInterruptStatus: select_timeout_ = value; return;
    // The period register holds five bits, the offset register four: wider
    // values are cut, and the bus then runs at other timing than agreed.
    case kSyncPeriod: sync_period_ = value & 0x1F; return;
    case kFifoFlags: sync_offset_ = value & 0x0F; return;
    case kConfig1: config1_ = value; return;
    case kClockFactor: clock_factor_ = value; return;
    case kConfig2: config2_ = value; return;
    case kConfig3: config3_ = value; return;
    case kConfig4: config4_ = value; return;
    case kDmaCommand:
        if (op_ == Op::Dma && engine_running_ && (value & DmaEngine::kOperationMask) != DmaEngine::kDrain)
            errors_.report("chip", fmt::format("DmaCommand {:#04x} while the SCSI core is still transferring", value));
        dma_.write_command(value);
        return;
    default:
        errors_.report("chip", fmt::format("write of {:#04x} to register {:#04x}, which is read-only or not defined",
                                           value, offset));
    }
}

// --- commands ---

bool Chip::illegal(uint8_t code, const char* why)
{
    // A reset on the bus can make any command illegal between the driver's
    // reading of the phase and its command; until the driver has read the
    // reset's interrupt that is the bus's doing, not a fault of the driver.
    if (!reset_unseen_)
        errors_.report("chip", fmt::format("command {:#04x} {}: illegal-command interrupt", code, why));
    raise(kIllegalCommand);
    return false;
}

bool Chip::require_connected_idle(uint8_t code)
{
    if (link_ != Link::Connected)
        return illegal(code, "with no target connected");
    if (op_ != Op::None)
        return illegal(code, "while a sequence is still running");
    if (ack_held_ && code != kMessageAccepted && code != kSetAtn && code != kResetAtn)
        return illegal(code, "while ACK is held on a message byte");
    return true;
}

void Chip::command(uint8_t code)
{
    last_command_ = code;
    switch (code) {
    case kNop: return;
    case kFlushFifo:
        if (reselection_unserviced_ && fifo_.size() >= 2)
            errors_.report("chip", "FIFO flushed before the reselection ID and IDENTIFY bytes were read");
        fifo_.clear();
        return;
    case kResetScsiBus: bus_.assert_reset(); return;
    case kSelectWithAtn:
    case kSelectWithAtnStop:
    case kSelectWithAtn3: start_selection(code); return;
    case kEnableReselection:
        if (link_ != Link::Idle || op_ != Op::None) {
            illegal(code, "while connected or selecting");
            return;
        }
        reselection_enabled_ = true;
        bus_.reselection_enabled();
        return;
    case kSetAtn:
    case kResetAtn:
        if (link_ != Link::Connected) {
            illegal(code, "with no target connected");
            return;
        }
        bus_.set_atn(code == kSetAtn);
        return;
    case kTransferInfo: start_transfer_info(code); return;
    case kInitiatorCommandComplete: start_command_complete(code); return;
    case kMessageAccepted:
        if (link_ != Link::Connected || !ack_held_) {
            illegal(code, "with no message byte held");
            return;
        }
        ack_held_ = false;
        op_ = Op::Accept;
        later(timing_.command_latency, [this] { bus_.acknowledge(); });
        return;
    case kDmaTransferInfo: start_dma(code, false); return;
    case kDmaTransferPad: start_dma(code, true); return;
    default: illegal(code, "is not a command this chip knows");
    }
}

void Chip::start_selection(uint8_t code)
{
    // A reselection got in first: the chip is connected to the reselecting
    // target and does not carry the selection out. That holds as well while
    // the reselection is still coming in and has not interrupted yet: the
    // driver had no way to see it.
    if (reselection_unserviced_ || op_ == Op::Reselect) {
        bus_.note(destination_, BusNote::SelectionLostToReselection);
        return;
    }
    // Likewise a bus reset the driver has not seen yet ends the selection it
    // asks for: the reset's interrupt is what it gets, and its flush ends the command.
    if (reset_unseen_) {
        bus_.note(destination_, BusNote::SelectionLostToReset);
        return;
    }
    if (link_ != Link::Idle || op_ != Op::None) {
        illegal(code, "while connected or selecting");
        return;
    }
    message_bytes_ = code == kSelectWithAtn3 ? 3 : 1;
    if (fifo_.size() < message_bytes_) {
        illegal(code, "with fewer message bytes in the FIFO than the selection sends");
        return;
    }
    message_sent_ = 0;
    stop_after_message_ = code == kSelectWithAtnStop;
    link_ = Link::Selecting;
    op_ = Op::Select;
    bus_.set_atn(true);
    bus_.request_selection(own_id(), destination_, selection_timeout());
}

void Chip::start_transfer_info(uint8_t code)
{
    if (!require_connected_idle(code))
        return;
    std::optional<Phase> phase = bus_.requested_phase();
    if (!phase || scsi::is_data_phase(*phase) || *phase == Phase::Status) {
        illegal(code, "outside a command, message-out or message-in phase");
        return;
    }
    info_phase_ = *phase;
    op_ = *phase == Phase::MessageIn ? Op::ReceiveMessage : Op::SendInfo;
    if (op_ == Op::SendInfo && fifo_.empty())
        errors_.report("chip", "TransferInfo with nothing in the FIFO to send");
    later(timing_.command_latency, [this] {
        if (auto p = bus_.requested_phase())
            step(*p);
    });
}

void Chip::start_command_complete(uint8_t code)
{
    if (!require_connected_idle(code))
        return;
    if (bus_.requested_phase() != Phase::Status) {
        illegal(code, "outside the status phase");
        return;
    }
    op_ = Op::CommandComplete;
    status_taken_ = false;
    later(timing_.command_latency, [this] {
        if (auto p = bus_.requested_phase())
            step(*p);
    });
}

void Chip::start_dma(uint8_t code, bool pad)
{
    if (!require_connected_idle(code))
        return;
    std::optional<Phase> phase = bus_.requested_phase();
    if (!phase || !scsi::is_data_phase(*phase)) {
        illegal(code, "outside a data phase");
        return;
    }
    info_phase_ = *phase;
    op_ = pad ? Op::Pad : Op::Dma;
    engine_running_ = false;
    if (transfer_count_ == 0)
        transfer_count_ = kTransferCountMask + 1;  // a count of 0 means the largest count
    if (pad) {
        later(timing_.command_latency, [this] { step(info_phase_); });
        return;
    }
    if (dma_.started())
        engine_started();
}

// The DMA engine was started: the core's data transfer begins if it waits for it.
void Chip::engine_started()
{
    if (op_ != Op::Dma || engine_running_)
        return;
    bool in = info_phase_ == Phase::DataIn;
    if (dma_.direction_in() != in)
        errors_.report("chip", fmt::format("DMA engine started for data {} while the target is in {}",
                                           dma_.direction_in() ? "in" : "out", scsi::phase_name(info_phase_)));
    if (dma_.count() != transfer_count_)
        errors_.report("chip", fmt::format("DMA engine count {} differs from the transfer count {}", dma_.count(),
                                           transfer_count_));
    engine_running_ = true;
    later(timing_.command_latency, [this] {
        if (auto p = bus_.requested_phase())
            step(*p);
    });
}

// --- the sequencer: the target asserted REQ in `phase` ---

void Chip::request(Phase phase)
{
    phase_ = phase;
    if (!busy_)
        step(phase);
}

void Chip::step(Phase phase)
{
    if (busy_ || bus_.requested_phase() != phase)
        return;
    switch (op_) {
    case Op::Select: select_step(phase); return;
    case Op::SendInfo: send_step(phase); return;
    case Op::ReceiveMessage:
        if (phase == Phase::MessageIn)
            receive_held_byte();
        else
            finish(kBusService);
        return;
    case Op::CommandComplete: command_complete_step(phase); return;
    case Op::Accept:
    case Op::AwaitPhase: finish(kBusService); return;
    case Op::Dma:
    case Op::Pad: data_step(phase); return;
    case Op::Reselect:
        if (phase == Phase::MessageIn) {
            busy_ = true;
            later(bus_.byte_time(), [this] {
                busy_ = false;
                uint8_t identify = bus_.byte_offered();
                ack_held_ = true;
                fifo_.clear();
                fifo_.push_back(bus_.reselection_id_lines(reselecting_target_, own_id()));
                fifo_.push_back(identify);
                reselection_unserviced_ = true;
                finish(kReselected);
            });
        } else {
            errors_.report("scsi bus", "a reselecting target must send IDENTIFY first");
            finish(kReselected);
        }
        return;
    case Op::None: return;  // REQ waits for the driver's next command
    }
}

void Chip::send_fifo_byte()
{
    busy_ = true;
    later(bus_.byte_time(), [this] {
        busy_ = false;
        uint8_t b = fifo_.front();
        fifo_.pop_front();
        bus_.send_byte(b);
    });
}

void Chip::receive_held_byte()
{
    busy_ = true;
    later(bus_.byte_time(), [this] {
        busy_ = false;
        fifo_.push_back(bus_.byte_offered());
        ack_held_ = true;  // the target waits in message in until MessageAccepted
        finish(kFunctionComplete);
    });
}

// IDENTIFY (and the queue tag) in message out, ATN dropped before the last
// message byte unless the selection stops there; then the CDB as the target
// asks for it.
void Chip::select_step(Phase phase)
{
    if (phase == Phase::MessageOut && message_sent_ < message_bytes_ && !fifo_.empty()) {
        if (message_sent_ + 1 == message_bytes_ && !stop_after_message_)
            bus_.set_atn(false);
        ++message_sent_;
        send_fifo_byte();
        return;
    }
    if (phase == Phase::Command && message_sent_ == message_bytes_ && !stop_after_message_ && !fifo_.empty()) {
        send_fifo_byte();
        return;
    }
    finish(kFunctionComplete | kBusService);
}

void Chip::send_step(Phase phase)
{
    if (phase != info_phase_ || fifo_.empty()) {
        finish(kBusService);
        return;
    }
    if (phase == Phase::MessageOut && fifo_.size() == 1)
        bus_.set_atn(false);
    send_fifo_byte();
}

// The status byte, then the message byte with ACK held.
void Chip::command_complete_step(Phase phase)
{
    if (!status_taken_ && phase == Phase::Status) {
        busy_ = true;
        later(bus_.byte_time(), [this] {
            busy_ = false;
            fifo_.push_back(bus_.byte_offered());
            status_taken_ = true;
            bus_.acknowledge();
        });
        return;
    }
    if (status_taken_ && phase == Phase::MessageIn) {
        receive_held_byte();
        return;
    }
    finish(kBusService);
}

void Chip::data_step(Phase phase)
{
    if (op_ == Op::Dma && !engine_running_)
        return;  // waits for the DMA engine's start
    if (phase != info_phase_ || transfer_count_ == 0) {
        if (phase != info_phase_ && transfer_count_ > 0 && op_ == Op::Dma && info_phase_ == Phase::DataOut)
            prefetch_unsent();
        engine_running_ = false;
        finish(kBusService);
        return;
    }
    uint32_t count = std::min(transfer_count_, bus_.data_left());
    if (count == 0) {
        finish(kBusService);
        return;
    }
    busy_ = true;
    later(count * bus_.data_byte_time(), [this, count] {
        busy_ = false;
        move_data(count);
    });
}

void Chip::move_data(uint32_t count)
{
    bool pad = op_ == Op::Pad;
    std::optional<NexusPointer> at;
    if (audit_)
        at = bus_.data_pointer();
    const auto audit = [&](uint32_t moved, uint32_t physical, DataDirection direction) {
        if (at && moved && bus_.connected_target())
            audit_->moved(*bus_.connected_target(), *at, pad ? std::nullopt : std::optional<uint32_t>(physical), moved,
                          direction);
    };
    if (info_phase_ == Phase::DataIn) {
        bool parity = false;
        const uint32_t physical = dma_.next_address();
        std::vector<uint8_t> bytes = bus_.receive_data(count, settings(), parity);
        audit(static_cast<uint32_t>(bytes.size()), physical, DataDirection::In);
        if (parity && (config1_ & kConfig1Parity)) {
            parity_ = kParityError;
            bus_.set_atn(true);  // the chip asks for message out to report it
        }
        transfer_count_ -= static_cast<uint32_t>(bytes.size());
        if (!pad)
            dma_.deliver(bytes, transfer_count_ == 0);
    } else {
        const uint32_t physical = dma_.next_address();
        std::vector<uint8_t> bytes = pad ? std::vector<uint8_t>(count, 0) : dma_.fetch(count);
        audit(std::min<uint32_t>(static_cast<uint32_t>(bytes.size()), bus_.data_left()), physical, DataDirection::Out);
        bus_.send_data(bytes, settings());
        transfer_count_ -= count;
    }
    if (transfer_count_ == 0) {
        engine_running_ = false;
        op_ = Op::AwaitPhase;
    }
}

// Data out stopped early: the engine had already fetched the next bytes into
// the FIFO; the transfer count no longer counts them, FifoFlags does.
void Chip::prefetch_unsent()
{
    uint32_t room = static_cast<uint32_t>(kFifoDepth - std::min(fifo_.size(), kFifoDepth));
    uint32_t count = std::min({transfer_count_, timing_.prefetch_bytes, room});
    for (uint8_t b : dma_.fetch(count))
        fifo_.push_back(b);
    transfer_count_ -= count;
}

// --- what the bus reports ---

void Chip::selection_done(bool answered)
{
    if (op_ != Op::Select)
        return;
    if (answered) {
        link_ = Link::Connected;
        reselection_enabled_ = false;
        return;
    }
    // Like every other bus free, a selection time-out leaves reselection off
    // until the driver, handling this interrupt, enables it again.
    link_ = Link::Idle;
    op_ = Op::None;
    reselection_enabled_ = false;
    bus_.set_atn(false);
    raise(kDisconnect);
}

bool Chip::reselected(uint8_t target_id)
{
    if (!reselection_enabled_ || link_ == Link::Connected)
        return false;
    if (op_ == Op::Select)
        bus_.cancel_selection();  // lost to the reselection; not carried out
    reselection_enabled_ = false;
    link_ = Link::Connected;
    op_ = Op::Reselect;
    reselecting_target_ = target_id;
    bus_.set_atn(false);
    return true;
}

void Chip::bus_free()
{
    if (link_ == Link::Idle)
        return;
    link_ = Link::Idle;
    op_ = Op::None;
    busy_ = false;
    ack_held_ = false;
    engine_running_ = false;
    raise(kDisconnect);
}

void Chip::bus_reset()
{
    ++epoch_;
    reset_unseen_ = timing_.reset_interrupt.has_value();
    link_ = Link::Idle;
    op_ = Op::None;
    busy_ = false;
    ack_held_ = false;
    engine_running_ = false;
    reselection_enabled_ = false;
    reselection_unserviced_ = false;
    dma_.reset();
    if (timing_.reset_interrupt)
        later(*timing_.reset_interrupt, [this] { raise(kBusReset); });
}

// --- interrupts ---

void Chip::finish(uint8_t cause)
{
    op_ = Op::None;
    raise(cause);
}

void Chip::raise(uint8_t cause)
{
    if (interrupt_ == 0) {
        interrupt_ = cause;
        line_.set_level(true);
        return;
    }
    if (cause & kBusReset) {
        interrupt_ |= kBusReset;
        return;
    }
    queued_.push_back(cause);
}

}  // namespace sim
