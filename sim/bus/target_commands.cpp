// A command as the target takes it in: what the device answers, and the
// steps on the bus that answer becomes.
#include "bus/target.h"

#include <algorithm>

#include "bus/empty_lun.h"

namespace sim {

using namespace scsi;
using Kind = Target::Step::Kind;

// --- helpers for command tables ---

CommandReply Target::check_condition(uint8_t lun, SenseKey key, Asc asc)
{
    set_sense(lun, {key, asc});
    CommandReply reply;
    reply.status = status::kCheckCondition;
    return reply;
}

CommandReply Target::request_sense(uint8_t lun, std::span<const uint8_t> cdb)
{
    CommandReply reply;
    reply.direction = DataDirection::In;
    reply.data = fixed_sense_data(sense_[lun & 7], cdb.size() > 4 ? cdb[4] : 0);
    sense_[lun & 7] = {};
    return reply;
}

// --- commands ---

void Target::begin_command()
{
    uint8_t lun = identified_ ? lun_ : static_cast<uint8_t>(cdb_.size() > 1 ? cdb_[1] >> 5 : 0);
    Nexus& n = nexus_.emplace_back();
    n.serial = next_serial_++;
    n.lun = lun;
    n.tag = tag_;
    n.tag_type = tag_type_;
    n.may_disconnect = identified_ && disconnect_granted_;
    n.cdb = cdb_;
    current_ = &n;
    if (bus_->listening())
        bus_->emit(BusEvent{.target = id_, .note = BusNote::CommandBegins, .lun = lun, .tag = n.tag, .opcode = n.cdb[0]});

    size_t tagged = std::count_if(nexus_.begin(), nexus_.end(),
                                  [&](const Nexus& o) { return &o != &n && o.lun == lun && o.tag; });
    if (!lun_present(lun)) {
        n.reply = EmptyLun::answer(n.cdb, sense_[lun]);
        n.may_disconnect = false;
    } else if (overlaps(n)) {
        abort_overlapped(n);
        n.reply = check_condition(lun, SenseKey::AbortedCommand, Asc::OverlappedCommands);
        n.may_disconnect = false;
    } else if (n.tag && tagged >= options_.queue_limit) {
        n.reply = CommandReply{.status = status::kQueueFull};
        n.may_disconnect = false;
    } else if (pending_faults_.busy_answers > 0) {
        --pending_faults_.busy_answers;
        n.reply = CommandReply{.status = status::kBusy};
        n.may_disconnect = false;
    } else {
        // Sense data lasts until the next command that is not REQUEST SENSE.
        if (n.cdb[0] != op::kRequestSense)
            sense_[lun] = {};
        n.reply = execute(lun, n.cdb);
    }
    plan_command(n);
    n.own_length = n.reply.direction == DataDirection::None ? 0 : static_cast<uint32_t>(n.reply.data.size());
    if (hooks_) {
        PlannedCommand planned{n.lun, n.tag, n.cdb, n.may_disconnect, n.reply, steps_};
        hooks_->command_planned(*this, planned);
    }
    run_next_step();
}

// A command the LUN cannot hold beside those it holds: a second command with
// a tag in use (or a second untagged one), an untagged command beside tagged
// ones, a tagged one beside an untagged one. An untagged REQUEST SENSE for
// sense data pending (after a CHECK CONDITION) may go beside tagged commands.
// Ghosts were never given, so nothing overlaps them.
bool Target::overlaps(const Nexus& n) const
{
    const Sense& pending = sense_[n.lun & 7];
    const bool sense_for_pending = !n.tag && !n.cdb.empty() && n.cdb[0] == op::kRequestSense &&
                                   (pending.key != SenseKey::NoSense || pending.asc != Asc::None);
    for (const Nexus& o : nexus_) {
        if (&o == &n || o.lun != n.lun || o.ghost)
            continue;
        if (o.tag == n.tag)
            return true;
        if (!n.tag && o.tag && !sense_for_pending)
            return true;
        if (n.tag && !o.tag)
            return true;
    }
    return false;
}

// Overlapped commands: the target aborts every command it holds for the LUN;
// none of them comes back.
void Target::abort_overlapped(const Nexus& n)
{
    if (bus_->listening())
        bus_->emit(BusEvent{.target = id_, .note = BusNote::OverlappedCommands, .lun = n.lun, .tag = n.tag,
                            .opcode = n.cdb.empty() ? uint8_t{0} : n.cdb[0]});
    const auto aborted = [&](const Nexus& o) { return &o != &n && o.lun == n.lun && !o.ghost; };
    if (reselecting_ && aborted(*reselecting_))
        reselecting_ = nullptr;
    nexus_.remove_if(aborted);
    if (!wants_reselection())
        bus_->withdraw_reselection(id_);
}

void Target::plan_command(Nexus& n)
{
    Nanoseconds media = n.reply.media_time;
    bool may_leave = n.may_disconnect && options_.disconnect;
    if (may_leave && (media >= options_.disconnect_threshold || (n.tag && media > 0))) {
        steps_.push_back({Kind::MessageIn, {msg::kDisconnect}});
        steps_.push_back({Kind::Disconnect, {}, 0, media});
    } else if (media > 0) {
        steps_.push_back({Kind::Wait, {}, 0, media});
    }
    uint32_t length = static_cast<uint32_t>(n.reply.data.size());
    if (n.reply.direction == DataDirection::In && length > 0)
        plan_data(n, true, length);
    if (n.reply.direction == DataDirection::Out && length > 0) {
        plan_data(n, false, length);
        steps_.push_back({Kind::Commit});
    }
    steps_.push_back({Kind::Status});
    steps_.push_back({Kind::MessageIn, {msg::kCommandComplete}});
    steps_.push_back({Kind::Free});
}

// The data phase, sometimes sent partly and then again after RESTORE
// POINTERS, sometimes interrupted by a disconnection.
void Target::plan_data(Nexus& n, bool in, uint32_t length)
{
    Kind kind = in ? Kind::DataIn : Kind::DataOut;
    if (in && length > 1 && rng().chance(options_.repeat_transfer_chance)) {
        steps_.push_back({kind, {}, static_cast<uint32_t>(rng().range(1, length - 1))});
        steps_.push_back({Kind::MessageIn, {msg::kRestorePointers}});
    }
    if (n.may_disconnect && options_.disconnect && length > 1 && rng().chance(options_.mid_data_disconnect_chance)) {
        uint32_t split = static_cast<uint32_t>(rng().range(1, length - 1));
        steps_.push_back({kind, {}, split});
        steps_.push_back({Kind::MessageIn, {msg::kSaveDataPointer}});
        steps_.push_back({Kind::MessageIn, {msg::kDisconnect}});
        steps_.push_back({Kind::Disconnect, {}, 0, rng().range(50, 2000) * kMicrosecond});
    }
    steps_.push_back({kind, {}, length});
}

}  // namespace sim
