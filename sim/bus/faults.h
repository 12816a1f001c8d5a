// Hostile devices and legal ones: what a target does on purpose, one kind at
// a time, either forced (the next chance for that kind takes it) or at random
// with a rate over a set of kinds. Some kinds are faults (the target breaks a
// rule; a request may fail, the driver must lose nothing); others are legal
// behaviours (choices SCSI-2 leaves to a target; no request may fail for
// them). The choices come from a Choices source: the machine's seeded Rng in
// a campaign or an ordinary run, a fuzzer's input bytes in a fuzz run. The
// kinds, and what each is, are the kind table's (bus/fault_kinds.h); what
// each does is here.
#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "bus/fault_kinds.h"
#include "bus/target.h"
#include "clock.h"

namespace sim {

// Where a hostile device's choices come from.
class Choices {
public:
    virtual ~Choices() = default;
    virtual uint64_t next() = 0;
    // Uniform-ish in [0, n); 0 when n is 0.
    uint64_t below(uint64_t n) { return n ? next() % n : 0; }
    virtual bool chance(double p) = 0;
};

class RngChoices : public Choices {
public:
    explicit RngChoices(Rng& rng) : rng_(rng) {}
    uint64_t next() override { return rng_.next(); }
    bool chance(double p) override { return rng_.chance(p); }

private:
    Rng& rng_;
};

// Reads the choices from bytes, one byte each; zeros once they run out.
class ByteChoices : public Choices {
public:
    explicit ByteChoices(std::span<const uint8_t> bytes) : bytes_(bytes) {}
    uint64_t next() override { return at_ < bytes_.size() ? bytes_[at_++] : 0; }
    // One byte against the probability in 256ths; never once the bytes are used up.
    bool chance(double p) override { return !exhausted() && static_cast<double>(next()) < p * 256; }
    bool exhausted() const { return at_ >= bytes_.size(); }

private:
    std::span<const uint8_t> bytes_;
    size_t at_ = 0;
};

// One target's hostility. Hooked into the target; the target must outlive it
// or be detached with set_fault_hooks(nullptr).
class DeviceFaults : public TargetFaultHooks {
public:
    // `timed` starts the kinds that happen at a moment of their own (those
    // the kind table says are Moment::Timed: ghost reselection, foreign
    // reset, foreign interrupt) after a delay; it counts them when they happen.
    using Timed = std::function<void(FaultKind kind, Nanoseconds delay)>;

    DeviceFaults(Target& target, Choices& choices, FaultCounts& counts, Timed timed);
    ~DeviceFaults() override;
    DeviceFaults(const DeviceFaults&) = delete;
    DeviceFaults& operator=(const DeviceFaults&) = delete;

    // At every command, with probability `rate`, one kind out of `kinds` is armed.
    void set_random(FaultSet kinds, double rate);
    // The device's own legal behaviours: at every command, with probability
    // `rate`, one of them is armed, beside the random faults. stop() leaves them.
    void set_behaviours(FaultSet kinds, double rate);
    // No more random faults, and none armed.
    void stop()
    {
        set_random({}, 0);
        armed_.reset();
    }
    // Arms `kind`: its next chance takes it.
    void force(FaultKind kind) { armed_.set(static_cast<size_t>(kind)); }
    bool armed(FaultKind kind) const { return armed_.test(static_cast<size_t>(kind)); }

    void command_planned(Target& target, PlannedCommand& command) override;
    void reconnecting(Target& target, std::deque<Target::Step>& steps) override;
    uint8_t reselection_id_lines(Target& target, uint8_t lines) override;
    bool answers_selection(Target& target) override;
    std::optional<SyncAgreement> sdtr_answer(Target& target, SyncAgreement offered, SyncAgreement planned) override;

private:
    bool take(FaultKind kind);
    void arm_at_random();
    void arm_one(const FaultSet& kinds, double rate);
    bool apply(FaultKind kind, PlannedCommand& command);
    bool apply_behaviour(FaultKind kind, PlannedCommand& command);
    bool split_data(PlannedCommand& command, std::vector<Target::Step> between);
    SyncAgreement any_agreement(SyncAgreement near);
    bool draw(FaultKind kind);
    uint64_t wide(uint64_t n);
    void insert_message(PlannedCommand& command, std::vector<uint8_t> message, bool to_be_rejected = false);
    void insert_step(PlannedCommand& command, Target::Step step);
    bool drop_data(PlannedCommand& command);
    bool lengthen_data(PlannedCommand& command);
    bool shorten_data(PlannedCommand& command);
    bool hang(PlannedCommand& command);
    bool vanish(PlannedCommand& command);
    void replace_with_status(PlannedCommand& command, uint8_t status);
    bool insert_anywhere(PlannedCommand& command, Target::Step step, bool before_status_only = false);
    std::vector<uint8_t> optional_message();
    void count(FaultKind kind) { counts_[static_cast<size_t>(kind)]++; }

    Target& target_;
    Choices& choices_;
    FaultCounts& counts_;
    Timed timed_;
    FaultSet random_kinds_;
    double rate_ = 0;
    FaultSet behaviours_;
    double behaviour_rate_ = 0;
    FaultSet armed_;
};

}  // namespace sim
