// What the SCSI bus tells its listener: one typed record per thing a bus
// analyzer would show. Records are plain values (no heap), built only when
// someone listens; text is made from them only where a person reads it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "bus/scsi_vocabulary.h"
#include "clock.h"

namespace sim {

// The remarks a trace shows beside the bus's own events: what a device or the
// chip did that the lines alone do not tell.
enum class BusNote : uint8_t {
    None,
    CommandBegins,               // lun, tag, opcode
    NothingLeft,
    Hangs,
    Vanishes,
    MessageRejected,
    SdtrAnswerRefused,
    SdtrUnanswered,
    QueueTagRefused,
    DataSentAgain,
    Abort,
    AbortTag,
    ReselectsWithNothing,        // lun
    SelectionLostToReselection,
    SelectionLostToReset,
    ReselectionWaits,
    AtnAsserted,
    AtnReleased,
    AgreementOutOfRange,
    TimingMismatch,
    ParityError,
    LinkedCommandComplete,       // lun, tag, opcode: the next command of the chain follows
    OverlappedCommands,          // lun, tag, opcode: every command of the LUN aborted
    CommandPhaseAgain,
};

// One entry of the bus trace.
struct BusEvent {
    enum class Kind : uint8_t {
        Arbitration,
        Selection,
        SelectionTimeout,
        Reselection,
        Request,
        MessageOut,
        MessageIn,
        Command,
        Status,
        DataOut,
        DataIn,
        BusFree,
        Reset,
        ReselectionTimeout,  // the initiator never answered: the target gave up for now
        Note,                // a remark for people reading a trace (`note`)
    };
    Nanoseconds time = 0;
    Kind kind = Kind::Note;
    uint8_t target = 0xFF;
    scsi::Phase phase = scsi::Phase::DataOut;
    uint8_t byte = 0;            // message out/in, command and status: the byte that went over the bus
    uint32_t count = 0;          // data bytes
    bool atn = false;            // selection with ATN; ATN during a message-out or command byte
    bool parity_error = false;   // data in: a byte arrived with bad parity
    uint8_t contenders = 0;      // arbitration: a bit per SCSI ID that arbitrated
    BusNote note = BusNote::None;
    uint8_t lun = 0;             // notes about a command: its LUN, queue tag and operation code
    std::optional<uint8_t> tag;
    uint8_t opcode = 0;

    // Message out/in, command and status events carry one byte each.
    bool carries_byte() const
    {
        return kind == Kind::MessageOut || kind == Kind::MessageIn || kind == Kind::Command || kind == Kind::Status;
    }
};

std::string note_text(const BusEvent& event);
std::string to_string(const BusEvent& event);

}  // namespace sim
