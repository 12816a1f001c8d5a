// The step engine: how a target walks a connection's steps on the bus,
// leaves the bus and reconnects.
#include "bus/target.h"

#include <algorithm>

#include <fmt/format.h>

namespace sim {

using namespace scsi;
using Kind = Target::Step::Kind;

Target::Target(uint8_t id, TargetOptions options)
    : id_(id), options_(options), pending_faults_{options.parity_errors, options.busy_answers}
{
}

template <class F>
void Target::later(Nanoseconds delay, F&& f)
{
    bus_->clock().after(delay, [this, epoch = epoch_, f = std::forward<F>(f)]() mutable {
        if (epoch == epoch_)
            f();
    });
}

// --- connection ---

void Target::selected(uint8_t /*initiator_id*/, bool atn)
{
    connected_ = true;
    steps_.clear();
    current_ = nullptr;
    identified_ = false;
    disconnect_granted_ = false;
    tag_.reset();
    tag_type_ = 0;
    message_out_.clear();
    cdb_.clear();
    reject_awaited_.reset();
    if (atn)
        steps_.push_back({Kind::MessageOut});
    steps_.push_back({Kind::Command});
    run_next_step();
}

void Target::request(Phase phase, Nanoseconds delay)
{
    later(delay, [this, phase] {
        phase_ = phase;
        bus_->assert_request(id_, phase);
    });
}

// Starts the step at the front, going to message out first when the
// initiator holds ATN.
void Target::run_next_step()
{
    if (!connected_)
        return;
    if (bus_->atn() && (steps_.empty() || steps_.front().kind != Kind::MessageOut))
        steps_.push_front({Kind::MessageOut});
    // Our SDTR went unanswered: no agreement, both sides stay asynchronous.
    if (sdtr_sent_ && (steps_.empty() || steps_.front().kind != Kind::MessageOut))
        sdtr_unanswered();
    if (steps_.empty()) {
        bus_->note(id_, BusNote::NothingLeft);
        release_bus(false);
        return;
    }
    begin_step(steps_.front());
}

// A new phase: an initiator that raised ATN meanwhile (a parity error seen at
// the end of a data phase) gets MESSAGE OUT before the phase changes.
void Target::request_new_phase(Phase phase, Nanoseconds delay)
{
    later(delay, [this, phase] {
        Phase now = phase;
        if (bus_->atn() && phase != Phase::MessageOut && connected_) {
            steps_.push_front({Kind::MessageOut});
            message_out_.clear();
            now = Phase::MessageOut;
        }
        phase_ = now;
        bus_->assert_request(id_, now);
    });
}

void Target::begin_step(Step& step)
{
    Nanoseconds reaction = bus_->timing().target_reaction;
    switch (step.kind) {
    case Kind::MessageOut:
        message_out_.clear();
        request(Phase::MessageOut, reaction);
        return;
    case Kind::Command:
        cdb_.clear();
        request(Phase::Command, reaction);
        return;
    case Kind::MessageIn:
        message_index_ = 0;
        request_new_phase(Phase::MessageIn, reaction);
        return;
    case Kind::Status:
        // A linked command that ends GOOD: INTERMEDIATE, LINKED COMMAND
        // COMPLETE (WITH FLAG), and the chain's next command in this nexus.
        if (current_ && step.bytes.empty() && current_->reply.status == status::kGood && !current_->cdb.empty() &&
            (current_->cdb.back() & control::kLink)) {
            const bool flag = (current_->cdb.back() & control::kFlag) != 0;
            step.bytes = {status::kIntermediate};
            steps_.erase(steps_.begin() + 1, steps_.end());
            steps_.push_back({Kind::MessageIn, {flag ? msg::kLinkedCommandCompleteWithFlag : msg::kLinkedCommandComplete}});
            steps_.push_back({Kind::LinkedCommand});
        }
        request_new_phase(Phase::Status, reaction);
        return;
    case Kind::SecondCommand:
        second_cdb_.clear();
        bus_->note(id_, BusNote::CommandPhaseAgain);
        request_new_phase(Phase::Command, reaction);
        return;
    case Kind::LinkedCommand:
        begin_linked_command(step);
        return;
    case Kind::DataIn:
    case Kind::DataOut:
        if (!current_ || current_->pointer >= step.until) {
            finish_step();
            return;
        }
        if (step.kind == Kind::DataIn)
            current_->data_in_seen = true;
        request_new_phase(step.kind == Kind::DataIn ? Phase::DataIn : Phase::DataOut, reaction);
        return;
    case Kind::Commit:
        if (current_)
            current_->reply.status = complete_data_out(current_->lun, current_->cdb, current_->reply.data);
        finish_step();
        return;
    case Kind::Wait:
        later(step.delay, [this] { finish_step(); });
        return;
    case Kind::Disconnect:
        disconnect(step.delay);
        return;
    case Kind::Free:
        release_bus(true);
        return;
    case Kind::Hang:
        bus_->note(id_, BusNote::Hangs);
        return;
    case Kind::Vanish:
        bus_->note(id_, BusNote::Vanishes);
        if (current_)
            forget(current_);
        current_ = nullptr;
        release_bus(false);
        return;
    }
}

void Target::finish_step()
{
    if (!steps_.empty())
        steps_.pop_front();
    run_next_step();
}

uint32_t Target::data_left() const
{
    if (!connected_ || steps_.empty() || !current_)
        return 0;
    const Step& step = steps_.front();
    if (step.kind != Kind::DataIn && step.kind != Kind::DataOut)
        return 0;
    return step.until > current_->pointer ? step.until - current_->pointer : 0;
}

// --- bytes from the initiator ---

void Target::take_byte(uint8_t byte, bool atn)
{
    phase_.reset();
    if (steps_.empty())
        return;
    Nanoseconds settle = bus_->timing().bus_settle;
    Step& step = steps_.front();
    if (step.kind == Kind::MessageOut) {
        message_out_.push_back(byte);
        // The initiator drops ATN before the last byte of its messages.
        if (atn)
            request(Phase::MessageOut, settle);
        else
            end_message_out();
        return;
    }
    if (step.kind == Kind::Command) {
        cdb_.push_back(byte);
        if (cdb_.size() < cdb_length(cdb_[0])) {
            request(Phase::Command, settle);
            return;
        }
        steps_.pop_front();
        begin_command();
        return;
    }
    if (step.kind == Kind::SecondCommand) {
        second_cdb_.push_back(byte);
        if (!atn && second_cdb_.size() < cdb_length(second_cdb_[0])) {
            request(Phase::Command, settle);
            return;
        }
        second_command_taken();
    }
}

// The bytes of a command phase we asked for out of turn: no command of this
// connection, whatever they say. The command connected ends in CHECK
// CONDITION, COMMAND PHASE ERROR, without its remaining data.
void Target::second_command_taken()
{
    steps_.clear();
    if (current_) {
        set_sense(current_->lun, {SenseKey::AbortedCommand, Asc::CommandPhaseError});
        current_->reply.status = status::kCheckCondition;
        steps_.push_back({Kind::Status});
        steps_.push_back({Kind::MessageIn, {msg::kCommandComplete}});
    }
    steps_.push_back({Kind::Free});
    run_next_step();
}

// The previous command of the chain is over; the next one comes in the same
// nexus (same LUN and tag), with fresh data pointers.
void Target::begin_linked_command(Step& step)
{
    if (current_) {
        const Nexus& done = *current_;
        if (bus_->listening())
            bus_->emit(BusEvent{.target = id_, .note = BusNote::LinkedCommandComplete, .lun = done.lun, .tag = done.tag,
                                .opcode = done.cdb[0]});
        identified_ = true;
        lun_ = done.lun;
        disconnect_granted_ = done.may_disconnect;
        tag_ = done.tag;
        tag_type_ = done.tag_type;
        forget(current_);
        current_ = nullptr;
    }
    step.kind = Kind::Command;
    cdb_.clear();
    request(Phase::Command, bus_->timing().target_reaction);
}

// --- bytes to the initiator ---

uint8_t Target::offered_byte() const
{
    if (steps_.empty())
        return 0xFF;
    const Step& step = steps_.front();
    if (step.kind == Kind::MessageIn)
        return message_index_ < step.bytes.size() ? step.bytes[message_index_] : 0xFF;
    if (step.kind == Kind::Status)
        return !step.bytes.empty() ? step.bytes[0] : current_ ? current_->reply.status : status::kGood;
    return 0xFF;
}

void Target::byte_acknowledged(bool atn)
{
    phase_.reset();
    if (steps_.empty())
        return;
    Step& step = steps_.front();
    if (step.kind == Kind::Status) {
        finish_step();
        return;
    }
    if (step.kind != Kind::MessageIn)
        return;
    ++message_index_;
    last_message_sent_ = step.bytes[0];
    if (step.bytes[0] == msg::kExtended && step.bytes.size() > 2)
        last_extended_sent_ = step.bytes[2];
    if (step.to_be_rejected && (atn || message_index_ >= step.bytes.size())) {
        // ATN at the last byte is what we expect; ATN earlier in the message
        // ends it just as well.
        if (atn)
            reject_awaited_ = message_name(step.bytes);
        else
            bus_->errors().report("scsi target",
                                  fmt::format("target {}: {} not refused: ACK released on its last byte without ATN, "
                                              "and the target expects MESSAGE REJECT",
                                              id_, message_name(step.bytes)));
    }
    if (message_index_ >= step.bytes.size()) {
        uint8_t code = step.bytes[0];
        if (current_ && code == msg::kSaveDataPointer)
            current_->saved = current_->pointer;
        if (current_ && code == msg::kRestorePointers)
            current_->pointer = current_->saved;
        if (code == msg::kExtended && agreement_offered_) {
            agreement_ = *agreement_offered_;
            agreement_offered_.reset();
        } else if (code == msg::kExtended && step.bytes.size() == 5 && step.bytes[2] == msg::kExtendedSdtr) {
            // An SDTR of our own: it stands once the initiator answers it.
            sdtr_sent_ = SyncAgreement{step.bytes[3], step.bytes[4]};
        }
        finish_step();
        return;
    }
    // ATN in the middle of a message: the initiator has something to say now.
    if (atn) {
        finish_step();
        return;
    }
    request(Phase::MessageIn, bus_->timing().bus_settle);
}

void Target::take_data(std::span<const uint8_t> data)
{
    phase_.reset();
    if (!current_ || steps_.empty() || steps_.front().kind != Kind::DataOut)
        return;
    std::vector<uint8_t>& buffer = current_->reply.data;
    size_t room = buffer.size() > current_->pointer ? buffer.size() - current_->pointer : 0;
    size_t n = std::min(room, data.size());
    if (n)  // past the buffer's end there is nothing to copy, nor an iterator to form
        std::copy_n(data.begin(), n, buffer.begin() + current_->pointer);
    current_->pointer += static_cast<uint32_t>(data.size());
    if (current_->pointer >= steps_.front().until)
        finish_step();
    else
        request(Phase::DataOut, bus_->timing().bus_settle);
}

std::vector<uint8_t> Target::give_data(uint32_t count)
{
    phase_.reset();
    if (!current_ || steps_.empty() || steps_.front().kind != Kind::DataIn)
        return {};
    uint32_t n = std::min(count, data_left());
    const std::vector<uint8_t>& source = current_->reply.data;
    std::vector<uint8_t> out(source.begin() + current_->pointer, source.begin() + current_->pointer + n);
    current_->pointer += n;
    if (data_left() == 0)
        finish_step();
    else
        request(Phase::DataIn, bus_->timing().bus_settle);
    return out;
}

bool Target::take_parity_fault()
{
    if (pending_faults_.parity_errors == 0)
        return false;
    --pending_faults_.parity_errors;
    return true;
}

// When a waiting command may reconnect: ORDERED waits for every older
// command, SIMPLE waits for older ORDERED ones, HEAD OF QUEUE for nobody.
Nanoseconds Target::ready_time(const Nexus& n, Nanoseconds media)
{
    Nanoseconds at = bus_->clock().now() + std::max(media, bus_->timing().disconnection_delay);
    for (const Nexus& o : nexus_) {
        if (&o == &n || o.serial > n.serial || o.ready_at == 0)
            continue;
        if (n.tag_type == msg::kOrderedQueueTag || (n.tag_type == msg::kSimpleQueueTag && o.tag_type == msg::kOrderedQueueTag))
            at = std::max(at, o.ready_at + 1);
    }
    return at;
}

void Target::disconnect(Nanoseconds delay)
{
    Nexus* n = current_;
    steps_.pop_front();
    if (!n) {
        release_bus(false);
        return;
    }
    n->steps = std::move(steps_);
    steps_.clear();
    n->ready = false;
    n->ready_at = ready_time(*n, delay);
    uint64_t serial = n->serial;
    later(n->ready_at - bus_->clock().now(), [this, serial] {
        for (Nexus& o : nexus_)
            if (o.serial == serial)
                nexus_ready(&o);
    });
    current_ = nullptr;
    release_bus(false);
}

// The initiator refused the queue tag we reconnected with: leave, and
// reconnect for the command later.
void Target::suspend_rejected_reconnection()
{
    Nexus* n = current_;
    n->steps = std::move(steps_);
    steps_.clear();
    n->ready = false;
    n->ready_at = bus_->clock().now() + bus_->timing().disconnection_delay;
    uint64_t serial = n->serial;
    later(bus_->timing().disconnection_delay, [this, serial] {
        for (Nexus& o : nexus_)
            if (o.serial == serial)
                nexus_ready(&o);
    });
    current_ = nullptr;
    bus_->note(id_, BusNote::QueueTagRefused);
    release_bus(false);
}

void Target::nexus_ready(Nexus* n)
{
    n->ready = true;
    bus_->request_reselection(id_);
}

void Target::release_bus(bool command_done)
{
    connected_ = false;
    phase_.reset();
    if (command_done && current_)
        forget(current_);
    current_ = nullptr;
    steps_.clear();
    later(bus_->timing().bus_settle, [this] { bus_->release(id_); });
}

void Target::forget(Nexus* n)
{
    nexus_.remove_if([n](const Nexus& o) { return &o == n; });
}

// --- reselection ---

bool Target::wants_reselection() const
{
    return std::any_of(nexus_.begin(), nexus_.end(), [](const Nexus& n) { return n.ready; });
}

void Target::reselection_won()
{
    reselecting_ = nullptr;
    for (Nexus& n : nexus_)
        if (n.ready && (!reselecting_ || n.ready_at < reselecting_->ready_at))
            reselecting_ = &n;
    if (reselecting_)
        reselecting_->ready = false;
}

void Target::reselection_answered()
{
    connected_ = true;
    current_ = reselecting_;
    reselecting_ = nullptr;
    steps_.clear();
    reject_awaited_.reset();
    if (!current_) {
        release_bus(false);
        return;
    }
    // Reconnection restores the pointers implicitly.
    current_->pointer = current_->saved;
    std::vector<uint8_t> identify{static_cast<uint8_t>(msg::kIdentify | current_->lun)};
    steps_.push_back({Kind::MessageIn, identify});
    if (current_->tag)
        steps_.push_back({Kind::MessageIn, {msg::kSimpleQueueTag, *current_->tag}});
    for (Step& s : current_->steps)
        steps_.push_back(std::move(s));
    current_->steps.clear();
    if (hooks_)
        hooks_->reconnecting(*this, steps_);
    if (wants_reselection())
        bus_->request_reselection(id_);
    run_next_step();
}

void Target::reselection_timed_out()
{
    if (reselecting_)
        reselecting_->ready = true;
    reselecting_ = nullptr;
    bus_->request_reselection(id_);
}

bool Target::holds_commands(uint8_t lun) const
{
    return std::any_of(nexus_.begin(), nexus_.end(), [lun](const Nexus& n) { return n.lun == lun; });
}

uint8_t Target::reselection_id_lines(uint8_t initiator_id)
{
    uint8_t lines = static_cast<uint8_t>((1u << id_) | (1u << (initiator_id & 7)));
    return hooks_ ? hooks_->reselection_id_lines(*this, lines) : lines;
}

std::optional<NexusPointer> Target::data_pointer() const
{
    if (!connected_ || !current_)
        return std::nullopt;
    return NexusPointer{current_->lun, current_->tag, current_->pointer, current_->own_length};
}

bool Target::answers_selection() { return !hooks_ || hooks_->answers_selection(*this); }

// A reconnection for a command that does not exist: after IDENTIFY (and the
// tag) it would end with GOOD status as if it had been real.
void Target::ghost_reselection(uint8_t lun, std::optional<uint8_t> tag)
{
    Nexus& n = nexus_.emplace_back();
    n.serial = next_serial_++;
    n.lun = lun & 7;
    n.tag = tag;
    n.tag_type = tag ? msg::kSimpleQueueTag : 0;
    n.cdb = {op::kTestUnitReady, 0, 0, 0, 0, 0};
    n.ghost = true;
    n.steps.push_back({Kind::Status});
    n.steps.push_back({Kind::MessageIn, {msg::kCommandComplete}});
    n.steps.push_back({Kind::Free});
    bus_->emit(BusEvent{.target = id_, .note = BusNote::ReselectsWithNothing, .lun = n.lun});
    nexus_ready(&n);
}

void Target::drop_ghosts()
{
    nexus_.remove_if([this](const Nexus& n) { return n.ghost && &n != current_ && &n != reselecting_; });
    if (!wants_reselection())
        bus_->withdraw_reselection(id_);
}

void Target::bus_reset()
{
    ++epoch_;
    connected_ = false;
    steps_.clear();
    nexus_.clear();
    current_ = nullptr;
    reselecting_ = nullptr;
    agreement_ = {};
    agreement_offered_.reset();
    sdtr_sent_.reset();
    reject_awaited_.reset();
    phase_.reset();
    reset_received();
}

}  // namespace sim
