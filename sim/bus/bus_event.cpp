#include "bus/bus_event.h"

#include <fmt/format.h>

namespace sim {

namespace {

const char* kind_name(BusEvent::Kind kind)
{
    switch (kind) {
    case BusEvent::Kind::Arbitration: return "arbitration";
    case BusEvent::Kind::Selection: return "selection";
    case BusEvent::Kind::SelectionTimeout: return "selection time-out";
    case BusEvent::Kind::Reselection: return "reselection";
    case BusEvent::Kind::Request: return "REQ";
    case BusEvent::Kind::MessageOut: return "message out";
    case BusEvent::Kind::MessageIn: return "message in";
    case BusEvent::Kind::Command: return "command";
    case BusEvent::Kind::Status: return "status";
    case BusEvent::Kind::DataOut: return "data out";
    case BusEvent::Kind::DataIn: return "data in";
    case BusEvent::Kind::BusFree: return "bus free";
    case BusEvent::Kind::Reset: return "RST";
    case BusEvent::Kind::ReselectionTimeout: return "reselection timed out";
    case BusEvent::Kind::Note: return "note";
    }
    return "?";
}

}  // namespace

std::string note_text(const BusEvent& e)
{
    switch (e.note) {
    case BusNote::None: return "";
    case BusNote::CommandBegins:
        return fmt::format("LUN {}{} {}", e.lun, e.tag ? fmt::format(" tag {}", *e.tag) : std::string(),
                           scsi::command_name(e.opcode));
    case BusNote::NothingLeft: return "nothing left to do: bus free";
    case BusNote::Hangs: return "hangs in its phase";
    case BusNote::Vanishes: return "drops the command and never comes back";
    case BusNote::MessageRejected: return "message not supported: MESSAGE REJECT";
    case BusNote::SdtrAnswerRefused: return "SDTR answer outside our request: MESSAGE REJECT, asynchronous";
    case BusNote::SdtrUnanswered: return "our SDTR was not answered: asynchronous";
    case BusNote::QueueTagRefused: return "queue tag refused: reconnection given up for now";
    case BusNote::DataSentAgain: return "INITIATOR DETECTED ERROR: data sent again";
    case BusNote::Abort: return "ABORT";
    case BusNote::AbortTag: return "ABORT TAG";
    case BusNote::ReselectsWithNothing: return fmt::format("reselects for LUN {} with nothing outstanding", e.lun);
    case BusNote::SelectionLostToReselection: return "selection not carried out: the chip was reselected first";
    case BusNote::SelectionLostToReset: return "selection not carried out: the bus was reset";
    case BusNote::ReselectionWaits: return "reselection waits for the initiator";
    case BusNote::AtnAsserted: return "ATN asserted";
    case BusNote::AtnReleased: return "ATN released";
    case BusNote::AgreementOutOfRange: return "synchronous agreement out of the chip's range: data garbled";
    case BusNote::TimingMismatch: return "transfer timing mismatch: data garbled";
    case BusNote::ParityError: return "parity error";
    case BusNote::LinkedCommandComplete:
        return fmt::format("LUN {}{} {} linked: the next command of the chain follows", e.lun,
                           e.tag ? fmt::format(" tag {}", *e.tag) : std::string(), scsi::command_name(e.opcode));
    case BusNote::OverlappedCommands:
        return fmt::format("LUN {}{} {} overlaps the commands held: all of them aborted", e.lun,
                           e.tag ? fmt::format(" tag {}", *e.tag) : std::string(), scsi::command_name(e.opcode));
    case BusNote::CommandPhaseAgain: return "asks for the command phase again";
    }
    return "";
}

std::string to_string(const BusEvent& e)
{
    std::string out = fmt::format("{}.{:03} us {}", e.time / 1000, e.time % 1000, kind_name(e.kind));
    if (e.target != 0xFF)
        out += fmt::format(" target {}", e.target);
    if (e.kind == BusEvent::Kind::Request)
        out += fmt::format(" {}", scsi::phase_name(e.phase));
    if (e.carries_byte())
        out += fmt::format(" [{:02x}]", e.byte);
    if (e.count)
        out += fmt::format(" {} bytes", e.count);
    if (e.kind == BusEvent::Kind::Command) {
        std::string_view name = scsi::command_name(e.byte);
        if (!name.empty())
            out += fmt::format(" {}", name);
    }
    if (e.kind == BusEvent::Kind::Arbitration)
        out += fmt::format(" won, contenders {:#04x}", e.contenders);
    if (e.atn)
        out += e.kind == BusEvent::Kind::Selection ? " with ATN" : " ATN";
    if (e.parity_error)
        out += " parity error";
    if (e.kind == BusEvent::Kind::Note)
        out += " " + note_text(e);
    return out;
}

}  // namespace sim
