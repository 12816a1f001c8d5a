// What the target does with the messages the initiator sends it.
#include "bus/target.h"

#include <algorithm>

#include <fmt/format.h>

namespace sim {

using namespace scsi;
using Kind = Target::Step::Kind;

void Target::end_message_out()
{
    steps_.pop_front();
    std::vector<uint8_t> bytes = std::move(message_out_);
    message_out_.clear();
    if (reject_awaited_) {
        if (bytes.empty() || bytes[0] != msg::kMessageReject)
            bus_->errors().report("scsi target",
                                  fmt::format("target {}: {} answered with {} instead of MESSAGE REJECT", id_,
                                              *reject_awaited_, message_name(bytes)));
        reject_awaited_.reset();
    }
    interpret_messages(bytes);
    if (sdtr_sent_ && connected_)
        sdtr_unanswered();
    run_next_step();
}

void Target::interpret_messages(const std::vector<uint8_t>& bytes)
{
    bool reject = false;
    size_t i = 0;
    while (i < bytes.size()) {
        uint8_t b = bytes[i];
        if (b & msg::kIdentify) {
            if (!identified_ && !current_) {
                identified_ = true;
                lun_ = b & 7;
                disconnect_granted_ = (b & msg::kIdentifyDisconnect) != 0;
            }
            ++i;
        } else if (b >= 0x20 && b <= 0x2F) {
            if (i + 1 >= bytes.size()) {
                reject = true;
                break;
            }
            if (b <= msg::kOrderedQueueTag && options_.tagged_queuing && !current_) {
                tag_ = bytes[i + 1];
                tag_type_ = b;
            } else {
                reject = true;
            }
            i += 2;
        } else if (b == msg::kExtended) {
            size_t length = i + 1 < bytes.size() ? bytes[i + 1] : 0;
            if (i + 2 + length > bytes.size() || length == 0) {
                reject = true;
                break;
            }
            if (length == 3 && bytes[i + 2] == msg::kExtendedSdtr && sdtr_sent_)
                handle_sdtr_response(bytes[i + 3], bytes[i + 4]);
            else if (length == 3 && bytes[i + 2] == msg::kExtendedSdtr)
                handle_sdtr(bytes[i + 3], bytes[i + 4]);
            else
                reject = true;
            i += 2 + length;
        } else {
            switch (b) {
            case msg::kAbort: abort_current(true); return;
            case msg::kAbortTag: abort_current(false); return;
            case msg::kBusDeviceReset:
                nexus_.clear();
                current_ = nullptr;
                agreement_ = {};
                steps_.clear();
                release_bus(false);
                return;
            case msg::kMessageReject: handle_message_reject(); break;
            case msg::kInitiatorDetectedError: handle_initiator_detected_error(); break;
            case msg::kNoOperation: break;
            default: reject = true; break;
            }
            ++i;
        }
    }
    if (reject) {
        bus_->note(id_, BusNote::MessageRejected);
        steps_.push_front({Kind::MessageIn, {msg::kMessageReject}});
    }
}

void Target::handle_sdtr(uint8_t period, uint8_t offset)
{
    SyncAgreement answer{period, offset};
    bool reject = false;
    switch (options_.sdtr) {
    case SdtrAnswer::Reject:
        reject = true;
        break;
    case SdtrAnswer::AsyncOnly:
        answer.offset = 0;
        break;
    case SdtrAnswer::Agree:
        answer.period_factor = std::max(period, options_.min_period_factor);
        answer.offset = std::min(offset, options_.max_offset);
        break;
    }
    if (hooks_) {
        if (auto other = hooks_->sdtr_answer(*this, {period, offset}, reject ? SyncAgreement{} : answer)) {
            answer = *other;
            reject = false;
        }
    }
    if (reject) {
        agreement_ = {};
        steps_.push_front({Kind::MessageIn, {msg::kMessageReject}});
        return;
    }
    agreement_offered_ = answer;
    steps_.push_front({Kind::MessageIn, {msg::kExtended, 3, msg::kExtendedSdtr, answer.period_factor, answer.offset}});
}

// The initiator's answer to our own SDTR: an answer inside what we asked
// for stands; one faster or with a larger offset than we can take is
// refused, and we run asynchronous.
void Target::handle_sdtr_response(uint8_t period, uint8_t offset)
{
    const SyncAgreement mine = *sdtr_sent_;
    sdtr_sent_.reset();
    if (offset == 0) {
        agreement_ = {};
        return;
    }
    if (period >= mine.period_factor && offset <= mine.offset) {
        agreement_ = {period, offset};
        return;
    }
    agreement_ = {};
    bus_->note(id_, BusNote::SdtrAnswerRefused);
    steps_.push_front({Kind::MessageIn, {msg::kMessageReject}});
}

void Target::sdtr_unanswered()
{
    sdtr_sent_.reset();
    agreement_ = {};
    bus_->note(id_, BusNote::SdtrUnanswered);
}

// A refused message of ours: a refused SDTR answer leaves the target
// asynchronous; a refused queue tag means the initiator does not know the
// command it names, so the target leaves and tries the reconnection again.
void Target::handle_message_reject()
{
    // A refused SDTR, ours or offered by us, leaves both sides asynchronous.
    if (last_message_sent_ == msg::kExtended && last_extended_sent_ == msg::kExtendedSdtr) {
        agreement_ = {};
        agreement_offered_.reset();
        sdtr_sent_.reset();
    }
    if (last_message_sent_ >= msg::kSimpleQueueTag && last_message_sent_ <= msg::kOrderedQueueTag && current_)
        suspend_rejected_reconnection();
}

// The initiator saw bad data in: send it again from the saved pointer, or
// end the command with CHECK CONDITION when there is nothing to resend.
void Target::handle_initiator_detected_error()
{
    if (!current_)
        return;
    if (current_->data_in_seen && current_->pointer > current_->saved) {
        steps_.push_front({Kind::DataIn, {}, current_->pointer});
        steps_.push_front({Kind::MessageIn, {msg::kRestorePointers}});
        bus_->note(id_, BusNote::DataSentAgain);
        return;
    }
    set_sense(current_->lun, {SenseKey::AbortedCommand, Asc::InitiatorDetectedError});
    current_->reply.status = status::kCheckCondition;
}

void Target::abort_current(bool all_of_lun)
{
    uint8_t lun = current_ ? current_->lun : lun_;
    if (all_of_lun)
        nexus_.remove_if([lun](const Nexus& n) { return n.lun == lun; });
    else if (current_)
        forget(current_);
    current_ = nullptr;
    steps_.clear();
    bus_->note(id_, all_of_lun ? BusNote::Abort : BusNote::AbortTag);
    release_bus(false);
}

}  // namespace sim
