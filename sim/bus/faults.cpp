#include "bus/faults.h"

#include <algorithm>

namespace sim {

using Kind = Target::Step::Kind;
using namespace scsi;

namespace {

bool is_data(const Target::Step& step) { return step.kind == Kind::DataIn || step.kind == Kind::DataOut; }

// Index of the status step: where the end of a command begins.
size_t status_index(const std::deque<Target::Step>& steps)
{
    auto it = std::find_if(steps.begin(), steps.end(), [](const Target::Step& s) { return s.kind == Kind::Status; });
    return static_cast<size_t>(it - steps.begin());
}

}  // namespace

DeviceFaults::DeviceFaults(Target& target, Choices& choices, FaultCounts& counts, Timed timed)
    : target_(target), choices_(choices), counts_(counts), timed_(std::move(timed))
{
    target_.set_fault_hooks(this);
}

DeviceFaults::~DeviceFaults() { target_.set_fault_hooks(nullptr); }

void DeviceFaults::set_random(FaultSet kinds, double rate)
{
    random_kinds_ = kinds;
    rate_ = kinds.any() ? rate : 0;
}

void DeviceFaults::set_behaviours(FaultSet kinds, double rate)
{
    behaviours_ = kinds & legal_behaviours();
    behaviour_rate_ = behaviours_.any() ? rate : 0;
}

bool DeviceFaults::take(FaultKind kind)
{
    const size_t i = static_cast<size_t>(kind);
    if (!armed_.test(i))
        return false;
    armed_.reset(i);
    count(kind);
    return true;
}

void DeviceFaults::arm_at_random()
{
    arm_one(random_kinds_, rate_);
    arm_one(behaviours_, behaviour_rate_);
}

void DeviceFaults::arm_one(const FaultSet& kinds, double rate)
{
    if (rate <= 0 || !choices_.chance(rate))
        return;
    size_t pick = choices_.below(kinds.count());
    for (size_t i = 0; i < kFaultKinds; i++) {
        if (!kinds.test(i))
            continue;
        if (pick-- == 0) {
            armed_.set(i);
            return;
        }
    }
}

// --- commands ---

void DeviceFaults::command_planned(Target& /*target*/, PlannedCommand& command)
{
    arm_at_random();
    for (size_t i = 0; i < kFaultKinds; i++) {
        const auto kind = static_cast<FaultKind>(i);
        if (!armed_.test(i))
            continue;
        if (is_timed(kind)) {
            if (timed_) {
                armed_.reset(i);
                timed_(kind, static_cast<Nanoseconds>(choices_.below(2000)) * kMicrosecond);
            }
            continue;
        }
        // A fault takes the command for itself, and so does an answer that
        // replaces the whole command (QUEUE FULL, BUSY); other legal
        // behaviours may join each other. What does not fit this command
        // waits for the next.
        if (apply(kind, command)) {
            armed_.reset(i);
            count(kind);
            if (!is_legal(kind) || kind == FaultKind::QueueFull || kind == FaultKind::Busy)
                return;
        }
    }
}

bool DeviceFaults::apply(FaultKind kind, PlannedCommand& command)
{
    const bool has_data_in = std::any_of(command.steps.begin(), command.steps.end(),
                                         [](const Target::Step& s) { return s.kind == Kind::DataIn; });
    switch (kind) {
    case FaultKind::ParityError:
        if (!has_data_in)
            return false;
        target_.pending_faults().parity_errors++;
        return true;
    // Messages the initiator does not support: it must refuse each with
    // MESSAGE REJECT.
    case FaultKind::UnknownMessage:
        insert_message(command, {static_cast<uint8_t>(0x11 + choices_.below(0x0F))}, true);  // reserved codes
        return true;
    case FaultKind::TwoByteMessage:
        insert_message(command, {static_cast<uint8_t>(0x23 + choices_.below(0x0D)), static_cast<uint8_t>(choices_.next())},
                       true);
        return true;
    case FaultKind::ExtendedMessage:
        if (choices_.below(2))
            insert_message(command, {msg::kExtended, 2, msg::kExtendedWdtr, 0x01}, true);
        else
            insert_message(command, {msg::kExtended, 5, msg::kExtendedModifyDataPointer, 0, 0, 0x01, 0x00}, true);
        return true;
    case FaultKind::SecondCommandPhase:
        return insert_anywhere(command, {Kind::SecondCommand}, true);
    case FaultKind::UnsolicitedSdtr:
        insert_message(command, {msg::kExtended, 3, 0x01, 25, static_cast<uint8_t>(1 + choices_.below(15))});
        return true;
    case FaultKind::StrayMessageReject:
        insert_message(command, {msg::kMessageReject});
        return true;
    case FaultKind::StatusBeforeData: return drop_data(command);
    case FaultKind::MessageOutRequest: insert_step(command, {Kind::MessageOut}); return true;
    case FaultKind::LongDataPhase: return lengthen_data(command);
    case FaultKind::ShortDataPhase: return shorten_data(command);
    // A full queue: QUEUE FULL answers a command that came with a queue tag;
    // one without gets BUSY.
    case FaultKind::QueueFull:
        replace_with_status(command, command.tag ? status::kQueueFull : status::kBusy);
        return true;
    case FaultKind::Busy: replace_with_status(command, status::kBusy); return true;
    case FaultKind::NeverReturns: return vanish(command);
    case FaultKind::HangInPhase: return hang(command);
    default: return apply_behaviour(kind, command);
    }
}

// --- legal behaviours ---

uint64_t DeviceFaults::wide(uint64_t n)
{
    if (n <= 256)
        return choices_.below(n);
    const uint64_t high = choices_.next();
    return ((high << 8) | (choices_.next() & 0xFF)) % n;
}

bool DeviceFaults::apply_behaviour(FaultKind kind, PlannedCommand& command)
{
    const auto disconnect_step = [this] {
        return Target::Step{Kind::Disconnect, {}, 0, static_cast<Nanoseconds>(20 + choices_.below(2000)) * kMicrosecond};
    };
    switch (kind) {
    case FaultKind::SavePointerContinue:
        return split_data(command, {{Kind::MessageIn, {msg::kSaveDataPointer}}});
    case FaultKind::BareDisconnect:
        if (!command.may_disconnect)
            return false;
        return split_data(command, {{Kind::MessageIn, {msg::kDisconnect}}, disconnect_step()});
    case FaultKind::DisconnectAnyByte:
        if (!command.may_disconnect)
            return false;
        return split_data(command, {{Kind::MessageIn, {msg::kSaveDataPointer}},
                                    {Kind::MessageIn, {msg::kDisconnect}},
                                    disconnect_step()});
    case FaultKind::RestorePointers:
        return split_data(command, {{Kind::MessageIn, {msg::kRestorePointers}}});
    case FaultKind::TargetSdtr: {
        const SyncAgreement sdtr = any_agreement({25, 15});
        return insert_anywhere(
            command, {Kind::MessageIn, {msg::kExtended, 3, msg::kExtendedSdtr, sdtr.period_factor, sdtr.offset}});
    }
    case FaultKind::OptionalMessage:
        return insert_anywhere(command, {Kind::MessageIn, optional_message(), 0, 0, true});
    case FaultKind::DisconnectAfterData: {
        if (!command.may_disconnect)
            return false;
        auto& steps = command.steps;
        const auto last = std::find_if(steps.rbegin(), steps.rend(), is_data);
        if (last == steps.rend())
            return false;
        // Everything has moved: nothing to resend, so no SAVE DATA POINTER.
        const auto after = last.base();
        steps.insert(after, {{Kind::MessageIn, {msg::kDisconnect}}, disconnect_step()});
        return true;
    }
    default: return false;
    }
}

// At any message-in opportunity (after a Disconnect step: right after the
// reconnection's IDENTIFY and tag), but not between status and COMMAND
// COMPLETE, nor between DISCONNECT or COMMAND COMPLETE and the bus free they
// announce; `before_status_only`: not after the status phase, nor after a
// write's data has been stored.
bool DeviceFaults::insert_anywhere(PlannedCommand& command, Target::Step step, bool before_status_only)
{
    auto& steps = command.steps;
    // Before status, and before a write's data is stored.
    const auto end = std::find_if(steps.begin(), steps.end(),
                                  [](const Target::Step& s) { return s.kind == Kind::Status || s.kind == Kind::Commit; });
    const auto status = static_cast<size_t>(end - steps.begin());
    std::vector<size_t> places;
    for (size_t i = 0; i < steps.size(); i++) {
        const bool after_leaving = i > 0 && steps[i - 1].kind == Kind::MessageIn && !steps[i - 1].bytes.empty() &&
                                   (steps[i - 1].bytes[0] == msg::kDisconnect ||
                                    steps[i - 1].bytes[0] == msg::kCommandComplete);
        const bool after_status = i > 0 && steps[i - 1].kind == Kind::Status;  // COMMAND COMPLETE comes next
        if (!after_leaving && !after_status && (!before_status_only || i <= status))
            places.push_back(i);
    }
    if (places.empty())
        return false;
    const size_t at = places[choices_.below(places.size())];
    steps.insert(steps.begin() + static_cast<ptrdiff_t>(at), std::move(step));
    return true;
}

// A message SCSI-2 lets an initiator leave unimplemented; it answers MESSAGE REJECT.
std::vector<uint8_t> DeviceFaults::optional_message()
{
    switch (choices_.below(6)) {
    case 0: return {msg::kNoOperation};
    case 1: return {msg::kInitiateRecovery};
    case 2: return {msg::kReleaseRecovery};
    case 3: return {msg::kIgnoreWideResidue, static_cast<uint8_t>(1 + choices_.below(3))};
    case 4: {
        const auto at = static_cast<uint32_t>(wide(1u << 16));
        return {msg::kExtended, 5, msg::kExtendedModifyDataPointer, 0, 0, static_cast<uint8_t>(at >> 8),
                static_cast<uint8_t>(at)};
    }
    default: return {msg::kExtended, 2, msg::kExtendedWdtr, static_cast<uint8_t>(choices_.below(3))};
    }
}

// Cuts one data step at a byte of its own (either end included) and puts
// `between` there; the target's pointers say what is sent after it.
bool DeviceFaults::split_data(PlannedCommand& command, std::vector<Target::Step> between)
{
    auto& steps = command.steps;
    std::vector<size_t> data;
    for (size_t i = 0; i < steps.size(); i++)
        if (is_data(steps[i]))
            data.push_back(i);
    if (data.empty())
        return false;
    const size_t which = choices_.below(data.size());
    const size_t index = data[which];
    uint32_t from = which > 0 ? steps[data[which - 1]].until : 0;
    const uint32_t to = steps[index].until;
    if (from > to)
        from = 0;
    uint32_t at = 0;
    switch (choices_.below(4)) {
    case 0: at = from; break;
    case 1: at = to; break;
    default: at = from + static_cast<uint32_t>(wide(uint64_t{to} - from + 1)); break;
    }
    Target::Step part = steps[index];
    part.until = at;
    between.insert(between.begin(), std::move(part));
    steps.insert(steps.begin() + static_cast<ptrdiff_t>(index), between.begin(), between.end());
    return true;
}

// Any SDTR values: garbage, too fast or too slow for most initiators, or
// inside what `near` asks for.
SyncAgreement DeviceFaults::any_agreement(SyncAgreement near)
{
    switch (choices_.below(4)) {
    case 0: return {static_cast<uint8_t>(choices_.below(256)), static_cast<uint8_t>(choices_.below(256))};
    case 1: return {static_cast<uint8_t>(choices_.below(25)), static_cast<uint8_t>(1 + choices_.below(15))};
    case 2: return {static_cast<uint8_t>(150 + choices_.below(106)), static_cast<uint8_t>(1 + choices_.below(15))};
    default:
        return {static_cast<uint8_t>(std::min<unsigned>(255, near.period_factor + choices_.below(100))),
                static_cast<uint8_t>(choices_.below(uint64_t{near.offset} + 1))};
    }
}

bool DeviceFaults::draw(FaultKind kind)
{
    if (take(kind))
        return true;
    const size_t i = static_cast<size_t>(kind);
    // A device that answers SDTR as it likes does so at every negotiation:
    // they are few (after start-up and resets).
    const bool drawn = (behaviours_.test(i) && (kind == FaultKind::SdtrAnyAnswer || choices_.chance(behaviour_rate_))) ||
                       (random_kinds_.test(i) && choices_.chance(rate_));
    if (drawn)
        count(kind);
    return drawn;
}

std::optional<SyncAgreement> DeviceFaults::sdtr_answer(Target& /*target*/, SyncAgreement offered,
                                                       SyncAgreement /*planned*/)
{
    if (!draw(FaultKind::SdtrAnyAnswer))
        return std::nullopt;
    return any_agreement(offered);
}

// Right after the command phase or just before the status phase.
void DeviceFaults::insert_step(PlannedCommand& command, Target::Step step)
{
    const size_t at = choices_.below(2) ? status_index(command.steps) : 0;
    command.steps.insert(command.steps.begin() + static_cast<ptrdiff_t>(std::min(at, command.steps.size())),
                         std::move(step));
}

void DeviceFaults::insert_message(PlannedCommand& command, std::vector<uint8_t> message, bool to_be_rejected)
{
    insert_step(command, {Kind::MessageIn, std::move(message), 0, 0, to_be_rejected});
}

bool DeviceFaults::drop_data(PlannedCommand& command)
{
    auto& steps = command.steps;
    const auto before = steps.size();
    std::erase_if(steps, [](const Target::Step& s) {
        return is_data(s) || s.kind == Kind::Commit ||
               (s.kind == Kind::MessageIn && !s.bytes.empty() && s.bytes[0] == msg::kRestorePointers);
    });
    return steps.size() != before;
}

bool DeviceFaults::lengthen_data(PlannedCommand& command)
{
    auto last = std::find_if(command.steps.rbegin(), command.steps.rend(), is_data);
    if (last == command.steps.rend())
        return false;
    // Less than a block more, so a device that stores it stores the same blocks.
    const auto extra = static_cast<uint32_t>(1 + choices_.below(511));
    command.reply.data.resize(command.reply.data.size() + extra, 0xA5);
    last->until += extra;
    return true;
}

bool DeviceFaults::shorten_data(PlannedCommand& command)
{
    auto& steps = command.steps;
    auto last = std::find_if(steps.rbegin(), steps.rend(), is_data);
    if (last == steps.rend())
        return false;
    auto earlier = std::find_if(std::next(last), steps.rend(), is_data);
    const uint32_t floor = earlier == steps.rend() ? 0 : earlier->until;
    if (last->until <= floor + 1)
        return false;
    last->until = floor + static_cast<uint32_t>(choices_.below(last->until - floor));
    if (last->until == floor)
        steps.erase(std::next(last).base());
    return true;
}

// Stops for good: before a phase, or inside a data phase.
bool DeviceFaults::hang(PlannedCommand& command)
{
    auto& steps = command.steps;
    auto data = std::find_if(steps.begin(), steps.end(), is_data);
    if (data != steps.end() && data->until > 1 && choices_.below(2)) {
        Target::Step part = *data;
        part.until = static_cast<uint32_t>(1 + choices_.below(data->until - 1));
        const auto at = data - steps.begin();
        steps.insert(steps.begin() + at, Target::Step{Kind::Hang});
        steps.insert(steps.begin() + at, std::move(part));
        return true;
    }
    insert_step(command, {Kind::Hang});
    return true;
}

bool DeviceFaults::vanish(PlannedCommand& command)
{
    if (!command.may_disconnect)
        return false;
    command.steps.clear();
    command.steps.push_back({Kind::MessageIn, {msg::kDisconnect}});
    command.steps.push_back({Kind::Vanish});
    return true;
}

void DeviceFaults::replace_with_status(PlannedCommand& command, uint8_t status)
{
    command.reply = CommandReply{.status = status};
    command.steps.clear();
    command.steps.push_back({Kind::Status});
    command.steps.push_back({Kind::MessageIn, {msg::kCommandComplete}});
    command.steps.push_back({Kind::Free});
}

// --- reconnection, reselection, selection ---

void DeviceFaults::reconnecting(Target& /*target*/, std::deque<Target::Step>& steps)
{
    if (steps.size() < 2 || steps[1].kind != Kind::MessageIn || steps[1].bytes.size() != 2 ||
        steps[1].bytes[0] < msg::kSimpleQueueTag || steps[1].bytes[0] > msg::kOrderedQueueTag)
        return;
    if (take(FaultKind::MissingTag)) {
        steps.erase(steps.begin() + 1);  // on with whatever follows the tag, as if untagged
        return;
    }
    if (!take(FaultKind::BogusTag))
        return;
    // The initiator numbers its tags below 32: this one names nothing.
    steps[1].bytes[1] = static_cast<uint8_t>(32 + choices_.below(224));
}

uint8_t DeviceFaults::reselection_id_lines(Target& target, uint8_t lines)
{
    const auto own = static_cast<uint8_t>(1u << target.id());
    if (take(FaultKind::ReselectionNoTargetBit))
        return static_cast<uint8_t>(lines & ~own);
    if (take(FaultKind::ReselectionSeveralTargetBits)) {
        std::vector<uint8_t> free_ids;
        for (uint8_t id = 0; id < 8; id++)
            if (!(lines & (1u << id)))
                free_ids.push_back(id);
        return static_cast<uint8_t>(lines | (1u << free_ids[choices_.below(free_ids.size())]));
    }
    return lines;
}

bool DeviceFaults::answers_selection(Target& /*target*/) { return !take(FaultKind::SelectionTimeout); }

}  // namespace sim
