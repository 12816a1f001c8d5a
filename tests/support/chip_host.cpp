#include "support/chip_host.h"

#include <fmt/format.h>

namespace hbatest::chiphost {

bool TestMemory::allowed(uint32_t physical, size_t length, bool write) const
{
    for (const Window& w : windows_)
        if (w.device_writes == write && physical >= w.address && physical + length <= w.address + w.length)
            return true;
    return false;
}

bool TestMemory::dma_write(uint32_t physical, const uint8_t* data, size_t length)
{
    if (!allowed(physical, length, true)) {
        errors_.report("memory", fmt::format("DMA write of {} bytes at {:#x} outside the buffers", length, physical));
        return false;
    }
    std::copy(data, data + length, ram_.begin() + physical);
    return true;
}

bool TestMemory::dma_read(uint32_t physical, uint8_t* data, size_t length)
{
    if (!allowed(physical, length, false)) {
        errors_.report("memory", fmt::format("DMA read of {} bytes at {:#x} outside the buffers", length, physical));
        return false;
    }
    std::copy(ram_.begin() + physical, ram_.begin() + physical + length, data);
    return true;
}

// The chip's own behaviour is under test: the disk's power-on unit
// attention is taken as reported already.
Disk& Fixture::add_disk(uint8_t id, BlockDeviceOptions options)
{
    options.unit_attention = false;
    return static_cast<Disk&>(bus.attach(std::make_unique<Disk>(id, std::move(options))));
}

std::vector<uint8_t> Pattern(size_t length, uint8_t seed)
{
    std::vector<uint8_t> out(length);
    for (size_t i = 0; i < length; i++)
        out[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    return out;
}

Host::Host(Fixture& f, uint8_t own_id) : f_(f), own_id_(own_id)
{
    out8(SelectTimeout, 0x99);
    out8(ClockFactor, 0);
    command(0x00);
    out8(Config2, 0x48);
    out8(Config3, 0x08);
    out8(Config4, 0x80);
    out8(Config1, 0x00);
}

bool Host::wait_line(Nanoseconds limit)
{
    Nanoseconds until = f_.clock.now() + limit;
    while (!f_.line.raised()) {
        if (f_.clock.idle() || f_.clock.next_event_time() > until)
            return false;
        f_.clock.run_next();
    }
    return true;
}

Interrupt Host::next(Nanoseconds limit)
{
    Interrupt irq;
    if (!wait_line(limit))
        return irq;
    EXPECT_TRUE(in8(DmaStatus) & 0x10);
    irq.status = in8(Status);
    irq.cause = in8(InterruptStatus);
    return irq;
}

void Host::load_transfer_count(uint32_t count)
{
    out8(TransferCountLow, uint8_t(count));
    out8(TransferCountMid, uint8_t(count >> 8));
    out8(TransferCountHigh, uint8_t(count >> 16));
}

// The driver's ProgramDma sequence.
void Host::program_dma(bool in, uint32_t address, uint32_t count)
{
    uint8_t dir = in ? 0x80 : 0x00;
    out8(DmaCommand, dir);
    load_transfer_count(count);
    out32(DmaTransferCount, count);
    out32(DmaAddress, address);
    command(0x90);
    out8(DmaCommand, dir);
    out8(DmaCommand, dir | 3);
}

void Host::load_target(uint8_t target)
{
    const Timing& t = timing_[target];
    out8(DestinationId, target);
    out8(SyncPeriod, t.period);
    out8(SyncOffset, t.offset);
    out8(Config1, uint8_t(own_id_ | 0x10));
    out8(Config3, t.config3);
    out8(Config4, t.config4);
}

void Host::select_with_atn(uint8_t identify, const std::vector<uint8_t>& cdb)
{
    command(0x01);
    out8(Fifo, identify);
    for (uint8_t b : cdb)
        out8(Fifo, b);
    command(0x42);
}

void Host::start(Cmd& cmd)
{
    load_target(cmd.target);
    command(0x01);
    uint8_t identify = uint8_t(0x80 | cmd.lun | (cmd.disconnect ? 0x40 : 0));
    uint8_t code = 0x42;
    if (cmd.negotiate) {
        out8(Fifo, identify & 0xBF);
        code = 0x43;
        pending_message = {0x01, 0x03, 0x01, cmd.offer_period, 0x0F};
    } else if (cmd.tag) {
        out8(Fifo, identify);
        out8(Fifo, cmd.tag_message);
        out8(Fifo, *cmd.tag);
        code = 0x46;
    } else {
        out8(Fifo, identify);
    }
    for (uint8_t b : cmd.cdb)
        out8(Fifo, b);
    command(code);
    active_ = &cmd;
    disconnecting_ = false;
    phase_ = 5;
    if (std::find(commands_.begin(), commands_.end(), &cmd) == commands_.end())
        commands_.push_back(&cmd);
}

void Host::start_next()
{
    if (active_ || waiting_.empty())
        return;
    Cmd* cmd = waiting_.front();
    waiting_.erase(waiting_.begin());
    start(*cmd);
}

bool Host::all_done() const
{
    if (!waiting_.empty())
        return false;
    return std::all_of(commands_.begin(), commands_.end(), [](const Cmd* c) { return c->complete; });
}

constexpr size_t kMaxInterrupts = 100000;

std::vector<Interrupt> Host::run(Nanoseconds limit)
{
    std::vector<Interrupt> seen;
    start_next();
    while (!all_done()) {
        if (!wait_line(limit))
            break;
        // A target that comes back for ever (for a command the host does
        // not know) fails the test instead of hanging it.
        if (seen.size() == kMaxInterrupts) {
            ADD_FAILURE() << "more than " << kMaxInterrupts << " interrupts";
            break;
        }
        Interrupt irq = next();
        seen.push_back(irq);
        service(irq);
    }
    return seen;
}

Cmd* Host::find(uint8_t target, uint8_t lun, std::optional<uint8_t> tag)
{
    for (Cmd* c : commands_)
        if (!c->complete && c->target == target && c->lun == lun && (!tag || c->tag == tag))
            return c;
    return nullptr;
}

void Host::service(const Interrupt& irq)
{
    if (irq.cause & 0x80) {
        for (Cmd* c : commands_)
            c->complete = true;
        active_ = nullptr;
        return;
    }
    if (irq.cause & 0x40) {
        ADD_FAILURE() << "illegal-command interrupt";
        return;
    }
    if (irq.cause & 0x04) {
        reselection();
        return;
    }
    if (irq.cause & 0x20) {
        bus_free();
        return;
    }
    uint8_t status = irq.status;
    finish_phase(status);
    phase_ = status & 7;
    start_phase(phase_);
}

void Host::reselection()
{
    if (active_) {  // our selection was not carried out
        waiting_.insert(waiting_.begin(), active_);
        active_ = nullptr;
    }
    uint8_t id = uint8_t(in8(Fifo) & ~(1u << own_id_));
    uint8_t identify = in8(Fifo);
    int target = -1;
    for (; id; id >>= 1)
        ++target;
    reselect_target_ = uint8_t(target);
    reselect_lun_ = identify & 7;
    load_target(reselect_target_);
    command(0x12);
    // The LUN's untagged command if it has one; otherwise any, until the
    // queue-tag message names the one that is back.
    active_ = nullptr;
    for (Cmd* c : commands_)
        if (!c->complete && c->target == reselect_target_ && c->lun == reselect_lun_ && !c->tag)
            active_ = c;
    if (!active_)
        active_ = find(reselect_target_, reselect_lun_, std::nullopt);
    if (active_) {
        active_->entry = active_->saved_entry;
        active_->offset = active_->saved_offset;
    }
    phase_ = 5;
}

void Host::bus_free()
{
    command(0x44);
    if (active_ && !disconnecting_)
        active_->complete = true;
    disconnecting_ = false;
    active_ = nullptr;
    start_next();
}

void Host::finish_phase(uint8_t& status)
{
    if (!active_)
        return;
    Cmd& c = *active_;
    auto step_back = [&](uint32_t residual) {
        c.entry--;
        c.offset = c.sg[c.entry].second - residual;
        c.moved -= residual;
    };
    switch (phase_) {
    case 0: {
        if (c.overrun)
            return;
        uint32_t residual = transfer_count() + (in8(FifoFlags) & 0x1F);
        if (residual)
            step_back(residual);
        return;
    }
    case 1: {
        if (c.overrun)
            return;
        if (status & 0x20)
            parity_error_ = parity_seen = true;
        uint32_t residual = transfer_count();
        if (residual == 0) {
            for (int i = 0; i < 1000 && (in32(DmaWorkingCount) & 0xFFFFFF); i++) {
            }
            EXPECT_EQ(in32(DmaWorkingCount) & 0xFFFFFF, 0u);
            return;
        }
        step_back(residual);
        if (c.offset == 0)
            return;
        out8(DmaCommand, 0x81);
        for (int i = 0; i < 1000 && !(in8(DmaStatus) & 0x20); i++) {
        }
        return;
    }
    case 3:
        c.status = in8(Fifo);
        c.statuses.push_back(c.status);
        messages_in.push_back({in8(Fifo)});
        if (messages_in.back()[0] == 0x0A || messages_in.back()[0] == 0x0B) {
            // The chain's next command starts from its own pointers.
            c.link++;
            c.entry = c.offset = 0;
            c.saved_entry = c.saved_offset = 0;
        }
        command(0x12);
        status = 5;
        return;
    case 7: message_in_byte(in8(Fifo), status); return;
    default: return;
    }
}

void Host::message_in_byte(uint8_t b, uint8_t& status)
{
    Cmd* c = active_;
    bool reject = false;
    if (expect_ > 0) {
        collecting_.push_back(b);
        if (collecting_.size() == 2 && collecting_[0] == 0x01)
            expect_ = b + 1u;  // counted by its length byte
        if (--expect_ == 0) {
            messages_in.push_back(collecting_);
            if (collecting_[0] >= 0x20 && collecting_[0] <= 0x22) {
                active_ = find(reselect_target_, reselect_lun_, collecting_[1]);
                reject = !active_;
            } else if (collecting_[0] == 0x01 && c && c->negotiate) {
                uint8_t p = collecting_[3], o = collecting_[4];
                Timing t;
                if (p && o) {
                    unsigned x = 4u * p - 1, clocks = x / 25 + (x % 25 ? 1 : 0);
                    t = clocks >= 9 ? Timing{uint8_t(clocks - 1), o, 0x08, 0x80} : Timing{uint8_t(clocks), o, 0x18, 0x00};
                }
                set_timing(c->target, t);
                out8(SyncPeriod, t.period);
                out8(SyncOffset, t.offset);
                out8(Config3, t.config3);
                out8(Config4, t.config4);
                c->negotiate = false;
            } else {
                reject = refuse_messages;
            }
        }
    } else {
        const bool multi_byte = b == 0x01 || (b >= 0x20 && b <= 0x2F);
        const bool known_multi_byte = b <= 0x22 && (b != 0x01 || (c && c->negotiate));
        if (multi_byte && reject_early && refuse_messages && !known_multi_byte) {
            messages_in.push_back({b});
            reject = true;
        } else if (multi_byte) {
            collecting_ = {b};
            expect_ = 1;  // the length byte of an extended message, the second of a two-byte one
        } else {
            messages_in.push_back({b});
            const bool known = b == 0x00 || b == 0x02 || b == 0x03 || b == 0x04 || b == 0x07 || b == 0x0A ||
                               b == 0x0B || (b & 0x80);
            reject = refuse_messages && !known;
        }
        if (c && (b == 0x0A || b == 0x0B)) {  // the chain's next command starts from its own pointers
            c->link++;
            c->entry = c->offset = 0;
            c->saved_entry = c->saved_offset = 0;
        }
        if (b == 0x04)
            disconnecting_ = true;
        if (c && (b == 0x02 || (b == 0x04 && !(c->saved_entry == c->entry && c->saved_offset == c->offset)))) {
            c->saved_entry = c->entry;
            c->saved_offset = c->offset;
        }
        if (c && b == 0x03) {
            c->entry = c->saved_entry;
            c->offset = c->saved_offset;
        }
        if (b == 0x07) {
            command(0x1B);
            if (c && c->negotiate) {
                c->negotiate = false;
                set_timing(c->target, Timing{});
                load_target(c->target);
            }
        }
    }
    if (reject) {
        pending_message = {0x07};
        command(0x1A);
    }
    command(0x12);
    status = 5;
}

void Host::start_phase(uint8_t phase)
{
    Cmd* c = active_;
    switch (phase) {
    case 0:
    case 1:
        if (c && c->entry < c->sg.size()) {
            auto [address, length] = c->sg[c->entry];
            program_dma(phase == 1, address + c->offset, length - c->offset);
            c->moved += length - c->offset;
            c->entry++;
            c->offset = 0;
            return;
        }
        if (c)
            c->overrun = true;
        load_transfer_count(0xFFFFFF);
        command(0x98);
        return;
    case 2: {
        command(0x1B);
        command(0x01);
        const std::vector<uint8_t>& cdb = c->link > 0 && c->link <= c->linked.size() ? c->linked[c->link - 1] : c->cdb;
        for (uint8_t b : cdb)
            out8(Fifo, b);
        command(0x10);
        return;
    }
    case 3:
        command(0x01);
        command(0x11);
        return;
    case 6: {
        command(0x01);
        std::vector<uint8_t> message = pending_message;
        if (message.empty())
            message = {uint8_t(parity_error_ ? 0x05 : 0x06)};
        parity_error_ = false;
        pending_message.clear();
        for (uint8_t b : message)
            out8(Fifo, b);
        command(0x10);
        return;
    }
    case 7:
        command(0x01);
        command(0x10);
        return;
    default: return;
    }
}

}  // namespace hbatest::chiphost
