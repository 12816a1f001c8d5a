// A SCSI-2 target: the protocol engine every device shares. After the
// command phase, a command becomes a short queue of control steps (message
// in, data in/out, status, disconnect, bus free); the target runs the steps
// of whichever command is connected and goes to message out whenever the
// initiator raises ATN. Concrete devices only say what a command does.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <list>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "bus/scsi_vocabulary.h"
#include "bus/scsi_bus.h"
#include "data_direction.h"

namespace sim {

using scsi::Sense;

// What a target answers to SDTR.
enum class SdtrAnswer : uint8_t {
    Agree,        // within min_period_factor / max_offset
    AsyncOnly,    // answers with offset 0
    Reject,       // MESSAGE REJECT
};

struct TargetOptions {
    bool tagged_queuing = true;
    unsigned queue_limit = 8;  // tagged commands held per LUN; more get QUEUE FULL
    SdtrAnswer sdtr = SdtrAnswer::Agree;
    uint8_t min_period_factor = 25;  // 100 ns
    uint8_t max_offset = 15;
    bool disconnect = true;          // disconnects when granted and it has to wait
    Nanoseconds disconnect_threshold = 50 * kMicrosecond;
    double mid_data_disconnect_chance = 0.0;  // SAVE DATA POINTER + DISCONNECT inside a data phase
    double repeat_transfer_chance = 0.0;      // RESTORE POINTERS and the data again
    unsigned parity_errors = 0;   // the first N data-in transfers carry a parity error
    unsigned busy_answers = 0;    // the first N commands are answered BUSY
};

// Faults a target has still to show, counted down as they happen: they
// start at its options' counts, and tests and fault injection add to them
// while it runs.
struct PendingFaults {
    unsigned parity_errors = 0;  // data-in transfers still to carry a parity error
    unsigned busy_answers = 0;   // commands still to be answered BUSY
};

// What a command does, as the device says it.
struct CommandReply {
    DataDirection direction = DataDirection::None;
    std::vector<uint8_t> data;  // data in: what to send; data out: sized to what to take
    uint8_t status = scsi::status::kGood;
    Nanoseconds media_time = 0;  // seek, rotation, media delay before the data moves
};

class Target;
class TargetFaultHooks;

class Target {
public:
    Target(uint8_t id, TargetOptions options);
    virtual ~Target() = default;
    Target(const Target&) = delete;
    Target& operator=(const Target&) = delete;

    uint8_t id() const { return id_; }
    TargetOptions& options() { return options_; }
    PendingFaults& pending_faults() { return pending_faults_; }
    const SyncAgreement& agreement() const { return agreement_; }
    // Commands accepted and not yet ended, all LUNs.
    size_t commands_held() const { return nexus_.size(); }
    bool holds_commands(uint8_t lun) const;
    const Sense& sense(uint8_t lun) const { return sense_[lun & 7]; }

    // --- called by the bus ---
    void attach(ScsiBus& bus) { bus_ = &bus; }
    void selected(uint8_t initiator_id, bool atn);
    void reselection_won();
    void reselection_answered();
    void reselection_timed_out();
    bool wants_reselection() const;
    uint32_t data_left() const;
    void take_byte(uint8_t byte, bool atn);   // command and message out
    uint8_t offered_byte() const;             // status and message in
    void byte_acknowledged(bool atn);
    void take_data(std::span<const uint8_t> data);
    std::vector<uint8_t> give_data(uint32_t count);
    bool take_parity_fault();
    void bus_reset();
    // The data lines while this target reselects: its own bit and the initiator's.
    uint8_t reselection_id_lines(uint8_t initiator_id);
    // Whether the target answers a selection at all (a dead one lets it time out).
    bool answers_selection();
    // The connected command's data pointer, as the target keeps it: the
    // offset of the next data byte it moves, and the length of the command's
    // own data (before a fault lengthened it); nothing while no command is connected.
    std::optional<NexusPointer> data_pointer() const;

    // --- deliberate misbehaviour (faults) ---
    void set_fault_hooks(TargetFaultHooks* hooks) { hooks_ = hooks; }
    // Reselects for `lun` (and `tag`) although no such command was ever given.
    void ghost_reselection(uint8_t lun, std::optional<uint8_t> tag);
    // Forgets the ghost commands that have not reselected yet.
    void drop_ghosts();

protected:
    // The device's command table: what `cdb` does on `lun`.
    virtual CommandReply execute(uint8_t lun, std::span<const uint8_t> cdb) = 0;
    // The data of a data-out command has arrived; the status to end with.
    virtual uint8_t complete_data_out(uint8_t lun, std::span<const uint8_t> cdb, std::span<const uint8_t> data) = 0;
    virtual bool lun_present(uint8_t lun) const = 0;
    // RST: the device's own state beyond the protocol (a unit attention, say).
    virtual void reset_received() {}

    // Helpers for command tables.
    CommandReply check_condition(uint8_t lun, scsi::SenseKey key, scsi::Asc asc);
    CommandReply request_sense(uint8_t lun, std::span<const uint8_t> cdb);
    void set_sense(uint8_t lun, Sense sense) { sense_[lun & 7] = sense; }
    Rng& rng() const { return bus_->rng(); }

public:
    // One control step of a connection (public for the fault hooks, which rewrite the steps planned).
    struct Step {
        enum class Kind : uint8_t {
            MessageOut, Command, MessageIn, Status, DataIn, DataOut, Commit, Wait, Disconnect, Free,
            Hang,    // stay connected and never assert REQ again
            Vanish,  // drop the command and leave the bus: it never comes back
            SecondCommand,  // COMMAND phase again before status: whatever comes ends the command in CHECK CONDITION
            LinkedCommand,  // COMMAND phase for the next command of a linked chain, in the same nexus
        };
        Kind kind;
        std::vector<uint8_t> bytes = {};  // message-in bytes
        uint32_t until = 0;               // data steps: move data until the pointer reaches this
        Nanoseconds delay = 0;            // wait and disconnect
        // Message in: one the initiator does not implement. It must raise ATN
        // before it releases ACK on the last byte (or earlier) and send MESSAGE
        // REJECT first in that message-out phase.
        bool to_be_rejected = false;
    };

private:
    struct Nexus {
        uint64_t serial = 0;
        uint8_t lun = 0;
        std::optional<uint8_t> tag;
        uint8_t tag_type = 0;
        bool may_disconnect = false;
        std::vector<uint8_t> cdb;
        CommandReply reply;
        uint32_t pointer = 0;
        uint32_t saved = 0;
        uint32_t own_length = 0;  // the data the command really has
        bool data_in_seen = false;
        std::deque<Step> steps;  // what is left while disconnected
        Nanoseconds ready_at = 0;
        bool ready = false;
        bool ordered = false;
        bool ghost = false;
    };

    void run_next_step();
    void begin_step(Step& step);
    void finish_step();
    void request(scsi::Phase phase, Nanoseconds delay);
    void request_new_phase(scsi::Phase phase, Nanoseconds delay);
    void end_message_out();
    void interpret_messages(const std::vector<uint8_t>& bytes);
    void handle_sdtr(uint8_t period, uint8_t offset);
    void handle_sdtr_response(uint8_t period, uint8_t offset);
    void sdtr_unanswered();
    void handle_message_reject();
    void handle_initiator_detected_error();
    void abort_current(bool all_of_lun);
    void begin_command();
    bool overlaps(const Nexus& n) const;
    void abort_overlapped(const Nexus& n);
    void message_in_done(const Step& step, bool atn);
    void second_command_taken();
    void begin_linked_command(Step& step);
    void plan_command(Nexus& nexus);
    void plan_data(Nexus& nexus, bool in, uint32_t length);
    Nanoseconds ready_time(const Nexus& nexus, Nanoseconds media_time);
    void disconnect(Nanoseconds delay);
    void release_bus(bool command_done);
    void nexus_ready(Nexus* nexus);
    void forget(Nexus* nexus);
    void suspend_rejected_reconnection();
    template <class F>
    void later(Nanoseconds delay, F&& f);

    uint8_t id_;
    TargetOptions options_;
    PendingFaults pending_faults_;
    ScsiBus* bus_ = nullptr;
    uint64_t epoch_ = 0;

    // The connection.
    bool connected_ = false;
    std::deque<Step> steps_;
    std::optional<scsi::Phase> phase_;  // REQ asserted in this phase
    size_t message_index_ = 0;          // next byte of a message-in step
    std::vector<uint8_t> message_out_;
    std::vector<uint8_t> cdb_;
    Nexus* current_ = nullptr;
    // Identification collected in message out before the command phase.
    uint8_t lun_ = 0;
    bool identified_ = false;
    bool disconnect_granted_ = false;
    std::optional<uint8_t> tag_;
    uint8_t tag_type_ = 0;
    uint8_t last_message_sent_ = 0xFF;
    uint8_t last_extended_sent_ = 0xFF;  // code of the last extended message sent
    std::optional<SyncAgreement> agreement_offered_;
    // An SDTR of the target's own, sent and not yet answered: the initiator
    // must answer it in the next message-out phase, or it stands refused.
    std::optional<SyncAgreement> sdtr_sent_;
    // A message the initiator was to refuse, and raised ATN for: the next
    // message-out phase must begin with MESSAGE REJECT.
    std::optional<std::string> reject_awaited_;
    std::vector<uint8_t> second_cdb_;  // what came in a second command phase

    std::list<Nexus> nexus_;
    uint64_t next_serial_ = 1;
    Nexus* reselecting_ = nullptr;
    SyncAgreement agreement_;
    std::array<Sense, 8> sense_{};
    TargetFaultHooks* hooks_ = nullptr;
};

// A command as the target has planned it, open to a fault hook's rewriting.
struct PlannedCommand {
    uint8_t lun;
    std::optional<uint8_t> tag;
    std::span<const uint8_t> cdb;
    bool may_disconnect;
    CommandReply& reply;
    std::deque<Target::Step>& steps;  // everything after the command phase
};

// Where a misbehaving device may depart from the protocol. The defaults keep to it.
class TargetFaultHooks {
public:
    virtual ~TargetFaultHooks() = default;
    virtual void command_planned(Target& /*target*/, PlannedCommand& /*command*/) {}
    // A reconnection's steps (IDENTIFY, queue tag, the rest of the command).
    virtual void reconnecting(Target& /*target*/, std::deque<Target::Step>& /*steps*/) {}
    virtual uint8_t reselection_id_lines(Target& /*target*/, uint8_t lines) { return lines; }
    virtual bool answers_selection(Target& /*target*/) { return true; }
    // The answer to the initiator's SDTR `offered`, instead of `planned` (what
    // the device would answer); nothing keeps the plan.
    virtual std::optional<SyncAgreement> sdtr_answer(Target& /*target*/, SyncAgreement /*offered*/,
                                                     SyncAgreement /*planned*/)
    {
        return std::nullopt;
    }
};

}  // namespace sim
