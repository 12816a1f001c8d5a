#include "bus/faults.h"

#include <algorithm>

namespace sim {

using Kind = Target::Step::Kind;
using namespace scsi;

namespace {

constexpr std::array<std::string_view, kFaultKinds> kNames{
    "parity-error",      "unknown-message",      "two-byte-message",
    "extended-message",  "unsolicited-sdtr",     "stray-message-reject",
    "status-before-data", "message-out-request", "long-data-phase",
    "short-data-phase",  "queue-full",           "busy",
    "never-returns",     "hang-in-phase",        "bogus-tag",
    "reselection-no-target-bit", "reselection-several-target-bits",
    "selection-timeout", "ghost-reselection",    "foreign-bus-reset",
    "foreign-interrupt", "missing-tag",
};

bool is_data(const Target::Step& step) { return step.kind == Kind::DataIn || step.kind == Kind::DataOut; }

bool is_timed(FaultKind kind)
{
    return kind == FaultKind::GhostReselection || kind == FaultKind::ForeignBusReset ||
           kind == FaultKind::ForeignInterrupt;
}

// Index of the status step: where the end of a command begins.
size_t status_index(const std::deque<Target::Step>& steps)
{
    auto it = std::find_if(steps.begin(), steps.end(), [](const Target::Step& s) { return s.kind == Kind::Status; });
    return static_cast<size_t>(it - steps.begin());
}

}  // namespace

std::string_view fault_name(FaultKind kind) { return kNames.at(static_cast<size_t>(kind)); }

std::optional<FaultKind> fault_from_name(std::string_view name)
{
    for (size_t i = 0; i < kFaultKinds; i++)
        if (kNames[i] == name)
            return static_cast<FaultKind>(i);
    return std::nullopt;
}

FaultSet all_faults() { return FaultSet{}.set(); }

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
    if (rate_ <= 0 || !choices_.chance(rate_))
        return;
    size_t pick = choices_.below(random_kinds_.count());
    for (size_t i = 0; i < kFaultKinds; i++) {
        if (!random_kinds_.test(i))
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
        // One fault per command; what does not fit this command waits for the next.
        if (apply(kind, command)) {
            armed_.reset(i);
            count(kind);
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
        target_.options().parity_errors++;
        return true;
    case FaultKind::UnknownMessage:
        insert_message(command, {static_cast<uint8_t>(0x11 + choices_.below(0x0F))});  // reserved codes
        return true;
    case FaultKind::TwoByteMessage:
        insert_message(command, {static_cast<uint8_t>(0x23 + choices_.below(0x0D)), static_cast<uint8_t>(choices_.next())});
        return true;
    case FaultKind::ExtendedMessage:
        if (choices_.below(2))
            insert_message(command, {msg::kExtended, 2, 0x03, 0x01});  // WDTR
        else
            insert_message(command, {msg::kExtended, 5, 0x00, 0, 0, 0x01, 0x00});  // MODIFY DATA POINTER
        return true;
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
    case FaultKind::QueueFull: replace_with_status(command, status::kQueueFull); return true;
    case FaultKind::Busy: replace_with_status(command, status::kBusy); return true;
    case FaultKind::NeverReturns: return vanish(command);
    case FaultKind::HangInPhase: return hang(command);
    default: return false;
    }
}

// Right after the command phase or just before the status phase.
void DeviceFaults::insert_step(PlannedCommand& command, Target::Step step)
{
    const size_t at = choices_.below(2) ? status_index(command.steps) : 0;
    command.steps.insert(command.steps.begin() + static_cast<ptrdiff_t>(std::min(at, command.steps.size())),
                         std::move(step));
}

void DeviceFaults::insert_message(PlannedCommand& command, std::vector<uint8_t> message)
{
    insert_step(command, {Kind::MessageIn, std::move(message)});
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
