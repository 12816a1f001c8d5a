#include "bus/scsi_bus.h"

#include <stdexcept>

#include <fmt/format.h>

#include "bus/target.h"

namespace sim {

using scsi::Phase;

ScsiBus::ScsiBus(Clock& clock, ModelErrors& errors, Rng& rng, BusTiming timing)
    : clock_(clock), errors_(errors), rng_(rng), timing_(timing)
{
}

ScsiBus::~ScsiBus() = default;

Target& ScsiBus::attach(std::unique_ptr<Target> target)
{
    uint8_t id = target->id();
    if (id >= 8 || targets_[id])
        throw std::logic_error(fmt::format("SCSI ID {} is taken or out of range", id));
    target->attach(*this);
    targets_[id] = std::move(target);
    return *targets_[id];
}

template <class F>
void ScsiBus::later(Nanoseconds delay, F&& f)
{
    clock_.after(delay, [this, epoch = epoch_, f = std::forward<F>(f)]() mutable {
        if (epoch == epoch_)
            f();
    });
}

void ScsiBus::emit(BusEvent event) const
{
    if (!listener_)
        return;
    event.time = clock_.now();
    listener_(event);
}

void ScsiBus::note(uint8_t target, BusNote what) const
{
    if (listener_)
        emit(BusEvent{.kind = BusEvent::Kind::Note, .target = target, .note = what});
}

// --- arbitration and selection ---

void ScsiBus::request_selection(uint8_t own_id, uint8_t target_id, Nanoseconds timeout)
{
    selection_ = SelectionRequest{own_id, target_id, timeout};
    schedule_arbitration();
}

void ScsiBus::cancel_selection()
{
    selection_.reset();
    selection_in_arbitration_ = false;
}

void ScsiBus::request_reselection(uint8_t id)
{
    reselection_requests_ |= static_cast<uint8_t>(1u << id);
    schedule_arbitration();
}

void ScsiBus::withdraw_reselection(uint8_t id) { reselection_requests_ &= static_cast<uint8_t>(~(1u << id)); }

uint8_t ScsiBus::reselection_id_lines(uint8_t target_id, uint8_t initiator_id) const
{
    Target* device = target(target_id);
    if (!device)
        return static_cast<uint8_t>((1u << (target_id & 7)) | (1u << (initiator_id & 7)));
    return device->reselection_id_lines(initiator_id);
}

void ScsiBus::schedule_arbitration()
{
    if (state_ != State::Free || arbitration_scheduled_ || (!selection_ && !reselection_requests_))
        return;
    arbitration_scheduled_ = true;
    Nanoseconds start = std::max(clock_.now(), free_since_ + timing_.bus_free);
    later(start - clock_.now(), [this] { start_arbitration(); });
}

// Everyone who wants the bus when it has been free long enough arbitrates;
// whoever asks later waits for the next bus free.
void ScsiBus::start_arbitration()
{
    arbitration_scheduled_ = false;
    if (state_ != State::Free)
        return;
    arbiters_ = reselection_requests_;
    selection_in_arbitration_ = selection_.has_value();
    if (selection_in_arbitration_)
        arbiters_ |= static_cast<uint8_t>(1u << selection_->own_id);
    if (!arbiters_)
        return;
    state_ = State::Arbitrating;
    later(timing_.arbitration_delay, [this] { decide_arbitration(); });
}

// The highest ID on the data lines wins.
void ScsiBus::decide_arbitration()
{
    uint8_t still = reselection_requests_;
    if (selection_ && selection_in_arbitration_)
        still |= static_cast<uint8_t>(1u << selection_->own_id);
    uint8_t contenders = arbiters_ & still;
    if (!contenders) {
        become_free();
        return;
    }
    uint8_t winner = 7;
    while (!(contenders & (1u << winner)))
        --winner;
    if (listener_)
        emit(BusEvent{.kind = BusEvent::Kind::Arbitration, .target = winner, .contenders = contenders});
    if (selection_ && selection_in_arbitration_ && winner == selection_->own_id) {
        SelectionRequest request = *selection_;
        selection_.reset();
        selection_in_arbitration_ = false;
        select_target(request);
        return;
    }
    selection_in_arbitration_ = false;
    reselection_requests_ &= static_cast<uint8_t>(~(1u << winner));
    reselect_initiator(winner);
}

void ScsiBus::select_target(SelectionRequest request)
{
    state_ = State::Selecting;
    initiator_id_ = request.own_id;
    Target* device = target(request.target_id);
    if (listener_)
        emit(BusEvent{.kind = BusEvent::Kind::Selection, .target = request.target_id, .atn = true});
    if (!device || request.target_id == request.own_id || !device->answers_selection()) {
        later(request.timeout, [this, request] {
            if (listener_)
                emit(BusEvent{.kind = BusEvent::Kind::SelectionTimeout, .target = request.target_id});
            atn_ = false;
            state_ = State::Free;
            free_since_ = clock_.now();
            if (initiator_)
                initiator_->selection_done(false);
            schedule_arbitration();
        });
        return;
    }
    later(timing_.bus_clear + timing_.bus_settle + timing_.bus_set, [this, request, device] {
        state_ = State::Connected;
        connected_ = request.target_id;
        requested_.reset();
        if (initiator_)
            initiator_->selection_done(true);
        device->selected(request.own_id, atn_);
    });
}

void ScsiBus::reselect_initiator(uint8_t target_id)
{
    state_ = State::Reselecting;
    reselecting_ = target_id;
    if (listener_)
        emit(BusEvent{.kind = BusEvent::Kind::Reselection, .target = target_id});
    targets_[target_id]->reselection_won();
    later(timing_.bus_clear + timing_.bus_settle, [this, target_id] {
        if (state_ != State::Reselecting || reselecting_ != target_id)
            return;
        if (initiator_ && initiator_->reselected(target_id)) {
            answer_reselection();
            return;
        }
        note(target_id, BusNote::ReselectionWaits);
        later(timing_.selection_timeout, [this, target_id] {
            if (state_ != State::Reselecting || reselecting_ != target_id)
                return;
            if (listener_)
                emit(BusEvent{.kind = BusEvent::Kind::ReselectionTimeout, .target = target_id});
            reselecting_.reset();
            state_ = State::Free;
            free_since_ = clock_.now();
            targets_[target_id]->reselection_timed_out();
            schedule_arbitration();
        });
    });
}

void ScsiBus::reselection_enabled()
{
    if (state_ != State::Reselecting || !reselecting_ || !initiator_)
        return;
    uint8_t id = *reselecting_;
    later(timing_.bus_settle, [this, id] {
        if (state_ == State::Reselecting && reselecting_ == id && initiator_->reselected(id))
            answer_reselection();
    });
}

void ScsiBus::answer_reselection()
{
    uint8_t id = *reselecting_;
    reselecting_.reset();
    state_ = State::Connected;
    connected_ = id;
    requested_.reset();
    targets_[id]->reselection_answered();
}

void ScsiBus::become_free()
{
    state_ = State::Free;
    connected_.reset();
    requested_.reset();
    free_since_ = clock_.now();
    schedule_arbitration();
}

void ScsiBus::assert_reset()
{
    ++epoch_;
    if (listener_)
        emit(BusEvent{.kind = BusEvent::Kind::Reset});
    resetting_ = true;
    state_ = State::Reset;
    atn_ = false;
    connected_.reset();
    reselecting_.reset();
    requested_.reset();
    selection_.reset();
    selection_in_arbitration_ = false;
    arbitration_scheduled_ = false;
    reselection_requests_ = 0;
    for (auto& t : last_timing_)
        t.reset();
    for (auto& t : targets_)
        if (t)
            t->bus_reset();
    if (initiator_)
        initiator_->bus_reset();
    later(timing_.reset_hold, [this] {
        resetting_ = false;
        become_free();
    });
}

// --- information transfer ---

void ScsiBus::set_atn(bool on)
{
    if (atn_ != on && listener_ && connected_)
        note(*connected_, on ? BusNote::AtnAsserted : BusNote::AtnReleased);
    atn_ = on;
}

Target& ScsiBus::connected_device() const { return *targets_[*connected_]; }

void ScsiBus::require_phase(std::initializer_list<Phase> allowed, const char* action) const
{
    bool ok = connected_ && requested_;
    if (ok) {
        ok = false;
        for (Phase p : allowed)
            ok = ok || *requested_ == p;
    }
    if (!ok)
        errors_.report("scsi bus", fmt::format("{} without a target requesting a matching phase", action));
}

std::optional<NexusPointer> ScsiBus::data_pointer() const
{
    if (!connected_)
        return std::nullopt;
    return connected_device().data_pointer();
}

uint32_t ScsiBus::data_left() const
{
    if (!connected_ || !requested_ || !scsi::is_data_phase(*requested_))
        return 0;
    return connected_device().data_left();
}

Nanoseconds ScsiBus::byte_time() const
{
    return std::max<Nanoseconds>(1, kSecond / std::max<uint32_t>(1, timing_.async_bytes_per_second));
}

Nanoseconds ScsiBus::data_byte_time() const
{
    if (connected_) {
        const SyncAgreement& a = connected_device().agreement();
        if (a.synchronous())
            return std::max<Nanoseconds>(1, 4u * std::max<uint8_t>(a.period_factor, 1));
    }
    return byte_time();
}

void ScsiBus::send_byte(uint8_t byte)
{
    require_phase({Phase::Command, Phase::MessageOut}, "a command or message-out byte");
    if (!connected_ || !requested_)
        return;
    Phase phase = *requested_;
    requested_.reset();
    if (listener_)
        emit(BusEvent{.kind = phase == Phase::Command ? BusEvent::Kind::Command : BusEvent::Kind::MessageOut,
                      .target = *connected_, .byte = byte, .atn = atn_});
    connected_device().take_byte(byte, atn_);
}

uint8_t ScsiBus::byte_offered()
{
    require_phase({Phase::Status, Phase::MessageIn}, "a status or message-in byte");
    if (!connected_ || !requested_)
        return 0xFF;
    return connected_device().offered_byte();
}

void ScsiBus::acknowledge()
{
    require_phase({Phase::Status, Phase::MessageIn}, "ACK of a status or message-in byte");
    if (!connected_ || !requested_)
        return;
    Phase phase = *requested_;
    requested_.reset();
    Target& device = connected_device();
    if (listener_)
        emit(BusEvent{.kind = phase == Phase::Status ? BusEvent::Kind::Status : BusEvent::Kind::MessageIn,
                      .target = *connected_, .byte = device.offered_byte()});
    device.byte_acknowledged(atn_);
}

// A synchronous agreement holds the initiator to a period of at least
// 4 * factor ns (one nanosecond of slack for the factors the standard rounds)
// and less than one 25 ns clock above it, and to the agreed offset; without
// Whole 25 ns chip clocks a period factor needs: periods rounded up, so that
// they are not faster than 4 * factor ns (one nanosecond of slack for the
// factors that the standard rounds).
static unsigned clocks_for(uint8_t period_factor)
{
    unsigned ns = 4u * period_factor;
    return ns == 0 ? 0 : (ns - 1 + 24) / 25;
}

// one the transfer is asynchronous.
bool ScsiBus::check_settings(const TransferSettings& s, uint8_t& garble)
{
    const SyncAgreement& a = connected_device().agreement();
    last_timing_[*connected_] = s;
    bool ok;
    std::string wanted;
    if (!a.synchronous()) {
        ok = s.coherent && s.offset == 0;
        wanted = "asynchronous transfer";
    } else {
        unsigned clocks = clocks_for(a.period_factor);
        if (clocks < kChipFastestClocks || clocks > kChipSlowestClocks || a.offset > kChipLargestOffset) {
            // Whatever the registers say, the chip cannot keep this agreement.
            ++timing_mismatches_;
            garble = static_cast<uint8_t>(0x5A ^ a.period_factor ^ a.offset);
            errors_.report("scsi bus",
                           fmt::format("data phase with target {} under an agreement the chip cannot run: period "
                                       "factor {} ({} clocks; it runs {}-{}) offset {} (it keeps up to {})",
                                       *connected_, a.period_factor, clocks, kChipFastestClocks,
                                       kChipSlowestClocks, a.offset, kChipLargestOffset));
            note(*connected_, BusNote::AgreementOutOfRange);
            return false;
        }
        const uint32_t floor = 4u * a.period_factor - 1;
        ok = s.coherent && s.offset == a.offset && s.period_ns >= floor && s.period_ns < floor + 25;
        wanted = fmt::format("period factor {} ({} ns) offset {}", a.period_factor, 4u * a.period_factor, a.offset);
    }
    if (ok)
        return true;
    ++timing_mismatches_;
    garble = static_cast<uint8_t>(0xA5 ^ s.period_ns ^ s.offset);
    std::string text = fmt::format("data phase with target {} at {} ({}); the target agreed {}", *connected_,
                                   s.offset ? fmt::format("period {} ns offset {}", s.period_ns, s.offset)
                                            : std::string("asynchronous timing"),
                                   fmt::format("{}registers {:#04x}", s.coherent ? "" : "clock mode contradicting the period, ",
                                               fmt::join(s.registers, " ")),
                                   wanted);
    errors_.report("scsi bus", text);
    note(*connected_, BusNote::TimingMismatch);
    return false;
}

void ScsiBus::send_data(std::span<const uint8_t> bytes, const TransferSettings& settings)
{
    require_phase({Phase::DataOut}, "data-out bytes");
    if (!connected_ || !requested_ || *requested_ != Phase::DataOut)
        return;
    requested_.reset();
    std::vector<uint8_t> data(bytes.begin(), bytes.end());
    uint8_t garble = 0;
    if (!check_settings(settings, garble))
        for (uint8_t& b : data)
            b ^= garble | 1;
    if (listener_)
        emit(BusEvent{.kind = BusEvent::Kind::DataOut, .target = *connected_, .count = static_cast<uint32_t>(data.size())});
    connected_device().take_data(data);
}

std::vector<uint8_t> ScsiBus::receive_data(uint32_t count, const TransferSettings& settings, bool& parity_error)
{
    parity_error = false;
    require_phase({Phase::DataIn}, "data-in bytes");
    if (!connected_ || !requested_ || *requested_ != Phase::DataIn)
        return {};
    requested_.reset();
    Target& device = connected_device();
    std::vector<uint8_t> data = device.give_data(count);
    uint8_t garble = 0;
    if (!check_settings(settings, garble))
        for (uint8_t& b : data)
            b ^= garble | 1;
    if (!data.empty() && device.take_parity_fault()) {
        parity_error = true;
        data[rng_.range(0, data.size() - 1)] ^= 0x10;  // one bit flipped on the way
        note(*connected_, BusNote::ParityError);
    }
    if (listener_)
        emit(BusEvent{.kind = BusEvent::Kind::DataIn, .target = *connected_, .count = static_cast<uint32_t>(data.size()),
                      .parity_error = parity_error});
    return data;
}

// --- the target's side ---

void ScsiBus::assert_request(uint8_t id, Phase phase)
{
    if (!connected_ || *connected_ != id)
        return;
    requested_ = phase;
    if (listener_)
        emit(BusEvent{.kind = BusEvent::Kind::Request, .target = id, .phase = phase});
    if (initiator_)
        initiator_->request(phase);
}

void ScsiBus::release(uint8_t id)
{
    if (!connected_ || *connected_ != id)
        return;
    if (listener_)
        emit(BusEvent{.kind = BusEvent::Kind::BusFree, .target = id});
    atn_ = false;
    become_free();
    if (initiator_)
        initiator_->bus_free();
}

}  // namespace sim
