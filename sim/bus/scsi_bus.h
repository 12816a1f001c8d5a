// The SCSI bus: one per adapter. It holds what the control lines say (who is
// connected, the phase the target asserts with REQ, ATN, RST), runs
// arbitration, selection and reselection with the standard SCSI-2 delays,
// and carries bytes between the initiator (the chip) and the connected
// target at phase level. Data phases check that the initiator's transfer
// registers match what the target agreed; a mismatch garbles the data.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "bus/bus_event.h"
#include "bus/scsi_vocabulary.h"
#include "clock.h"
#include "model_error.h"

namespace sim {

class Target;

// Standard SCSI-2 bus timing values.
inline constexpr Nanoseconds kArbitrationDelay = 2400;
inline constexpr Nanoseconds kBusSettleDelay = 400;
inline constexpr Nanoseconds kBusFreeDelay = 800;
inline constexpr Nanoseconds kBusSetDelay = 1800;
inline constexpr Nanoseconds kBusClearDelay = 800;
inline constexpr Nanoseconds kDisconnectionDelay = 200 * kMicrosecond;
inline constexpr Nanoseconds kResetHoldTime = 25 * kMicrosecond;
inline constexpr Nanoseconds kSelectionAbortTime = 200 * kMicrosecond;
inline constexpr Nanoseconds kSelectionTimeout = 250 * kMillisecond;

struct BusTiming {
    Nanoseconds arbitration_delay = kArbitrationDelay;
    Nanoseconds bus_settle = kBusSettleDelay;
    Nanoseconds bus_free = kBusFreeDelay;
    Nanoseconds bus_set = kBusSetDelay;
    Nanoseconds bus_clear = kBusClearDelay;
    Nanoseconds disconnection_delay = kDisconnectionDelay;
    Nanoseconds reset_hold = kResetHoldTime;
    Nanoseconds selection_abort = kSelectionAbortTime;
    Nanoseconds selection_timeout = kSelectionTimeout;  // how long a reselecting target waits
    uint32_t async_bytes_per_second = 5'000'000;
    Nanoseconds target_reaction = 2 * kMicrosecond;  // a target's firmware between phases
};

// The data-phase timing the initiator drives, in the bus's terms: the
// synchronous transfer period and REQ/ACK offset (0: asynchronous). A chip
// whose clock-mode settings contradict its period drives no timing a target
// can follow (`coherent` false). `registers`: the initiator's own register
// values behind it, only for the report of a mismatch.
struct TransferSettings {
    uint32_t period_ns = 0;
    uint8_t offset = 0;
    bool coherent = true;
    std::array<uint8_t, 4> registers{};
};

// A synchronous agreement in the terms of the SDTR message.
struct SyncAgreement {
    uint8_t period_factor = 0;  // 4 ns units
    uint8_t offset = 0;         // 0 = asynchronous
    bool synchronous() const { return offset != 0; }
};

// Where the connected command's data stands, as its target keeps it.
struct NexusPointer {
    uint8_t lun = 0;
    std::optional<uint8_t> tag;
    uint32_t pointer = 0;  // offset of the next data byte
    uint32_t length = 0;   // the command's own data
};

// The fastest and slowest synchronous periods the initiator's chip runs, in
// its 25 ns clocks, and the largest REQ/ACK offset it keeps: an agreement
// outside them runs the bus out of its timing limits.
inline constexpr unsigned kChipFastestClocks = 4;
inline constexpr unsigned kChipSlowestClocks = 32;  // the period register holds clocks - 1 in five bits
inline constexpr uint8_t kChipLargestOffset = 15;

// The initiator's side of the lines: the bus tells it what targets do.
class Initiator {
public:
    virtual ~Initiator() = default;
    // The selection the initiator asked for is over: the target answered
    // (connected) or the selection timed out (bus free again).
    virtual void selection_done(bool answered) = 0;
    // A target won arbitration and reselects; true if the initiator answers now.
    virtual bool reselected(uint8_t target_id) = 0;
    // The connected target asserts REQ in `phase`.
    virtual void request(scsi::Phase phase) = 0;
    // The connected target released BSY.
    virtual void bus_free() = 0;
    // RST was asserted.
    virtual void bus_reset() = 0;
};


class ScsiBus {
public:
    ScsiBus(Clock& clock, ModelErrors& errors, Rng& rng, BusTiming timing = {});
    ~ScsiBus();
    ScsiBus(const ScsiBus&) = delete;
    ScsiBus& operator=(const ScsiBus&) = delete;

    // Puts a device on the bus at its own SCSI ID. Two devices on one ID is a setup bug.
    Target& attach(std::unique_ptr<Target> target);
    Target* target(uint8_t id) const { return id < 8 ? targets_[id].get() : nullptr; }
    void attach_initiator(Initiator* initiator) { initiator_ = initiator; }

    Clock& clock() const { return clock_; }
    ModelErrors& errors() const { return errors_; }
    Rng& rng() const { return rng_; }
    const BusTiming& timing() const { return timing_; }

    // --- the initiator's side ---
    // Arbitrate when the bus is free, then select `target_id` with ATN.
    void request_selection(uint8_t own_id, uint8_t target_id, Nanoseconds timeout);
    void cancel_selection();
    // The initiator will now answer reselection: a target waiting for it is answered.
    void reselection_enabled();
    void set_atn(bool on);
    bool atn() const { return atn_; }
    // Asserts RST: every target drops what it had; the bus is free after the hold time.
    void assert_reset();
    bool resetting() const { return resetting_; }

    std::optional<uint8_t> connected_target() const { return connected_; }
    // The phase the connected target asserts REQ in, if it does.
    std::optional<scsi::Phase> requested_phase() const { return requested_; }
    // Bytes the target will move before it leaves the data phase it asserts.
    uint32_t data_left() const;
    // Time for one byte: asynchronous outside data phases, the agreed rate inside them.
    Nanoseconds byte_time() const;
    Nanoseconds data_byte_time() const;

    // Command and message-out bytes, one REQ/ACK each. `atn` is the line during the byte.
    void send_byte(uint8_t byte);
    // Status and message-in bytes: the byte on the data lines while REQ is asserted...
    uint8_t byte_offered();
    // ...and the end of its ACK, after which the target goes on.
    void acknowledge();
    // Data phases, up to data_left() bytes.
    void send_data(std::span<const uint8_t> bytes, const TransferSettings& settings);
    std::vector<uint8_t> receive_data(uint32_t count, const TransferSettings& settings, bool& parity_error);

    // --- the target's side ---
    void assert_request(uint8_t id, scsi::Phase phase);
    void release(uint8_t id);
    void request_reselection(uint8_t id);
    void withdraw_reselection(uint8_t id);
    // The data lines while `target_id` reselects `initiator_id`: both ID bits.
    uint8_t reselection_id_lines(uint8_t target_id, uint8_t initiator_id) const;

    // --- observation ---
    using Listener = std::function<void(const BusEvent&)>;
    void set_listener(Listener listener) { listener_ = std::move(listener); }
    bool listening() const { return static_cast<bool>(listener_); }
    void emit(BusEvent event) const;
    void note(uint8_t target, BusNote what) const;
    // The connected target's data pointer, when a command is connected.
    std::optional<NexusPointer> data_pointer() const;
    // Data phases whose timing did not match the target's agreement.
    uint64_t timing_mismatches() const { return timing_mismatches_; }
    // The timing of the last data phase with target `id` since the last
    // reset, as the initiator drove it; nullopt when none ran since.
    const std::optional<TransferSettings>& last_data_timing(uint8_t id) const { return last_timing_.at(id & 7); }

private:
    enum class State : uint8_t { Free, Arbitrating, Selecting, Reselecting, Connected, Reset };
    struct SelectionRequest {
        uint8_t own_id;
        uint8_t target_id;
        Nanoseconds timeout;
    };

    void schedule_arbitration();
    void start_arbitration();
    void decide_arbitration();
    void select_target(SelectionRequest request);
    void reselect_initiator(uint8_t target_id);
    void answer_reselection();
    void become_free();
    bool check_settings(const TransferSettings& settings, uint8_t& garble);
    Target& connected_device() const;
    void require_phase(std::initializer_list<scsi::Phase> allowed, const char* action) const;
    template <class F>
    void later(Nanoseconds delay, F&& f);

    Clock& clock_;
    ModelErrors& errors_;
    Rng& rng_;
    BusTiming timing_;
    std::array<std::unique_ptr<Target>, 8> targets_;
    Initiator* initiator_ = nullptr;

    State state_ = State::Free;
    bool resetting_ = false;
    bool atn_ = false;
    uint64_t epoch_ = 0;  // bumped by a reset: events of an earlier epoch are void
    Nanoseconds free_since_ = 0;
    bool arbitration_scheduled_ = false;
    std::optional<SelectionRequest> selection_;
    uint8_t reselection_requests_ = 0;  // bit per target ID
    uint8_t arbiters_ = 0;
    bool selection_in_arbitration_ = false;
    std::optional<uint8_t> reselecting_;
    std::optional<uint8_t> connected_;
    uint8_t initiator_id_ = 7;
    std::optional<scsi::Phase> requested_;
    Listener listener_;
    mutable uint64_t timing_mismatches_ = 0;
    std::array<std::optional<TransferSettings>, 8> last_timing_;
};

}  // namespace sim
