// The kinds of hostile and legal device behaviour, and everything known of
// each, in one table: its name, whether SCSI-2 allows it (a legal behaviour)
// or not (a fault), whether it happens at a moment of its own, the event-log
// entry the driver must write when it recovers from it, and how a hostile
// input (the fuzzer's) selects it. Nothing decides by a kind's place in the
// enum; everything reads its row.
//
// Adding a kind: its enum value (last), its row (last), its behaviour
// (sim/bus/faults.cpp; a timed one also in sim/pc/machine_faults.cpp), and a
// hostile-input bit of its own (see FaultKindRow::hostile_bit).
#pragma once

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "miniport.h"

namespace sim {

// A new kind goes last: a random draw picks the n-th of the kinds in play in
// this order, and armed kinds are tried on a command in this order, so a
// kind in the middle would change what a seed or a fuzzer's input does. What
// a kind is (legal or not, timed or not, ...) is its row's, not its place's.
enum class FaultKind : uint8_t {
    ParityError,                   // data in carries a parity error
    UnknownMessage,                // a single-byte message the initiator does not know
    TwoByteMessage,                // a two-byte message it does not support
    ExtendedMessage,               // an extended message other than SDTR
    UnsolicitedSdtr,               // an SDTR the initiator did not ask for
    StrayMessageReject,            // MESSAGE REJECT with nothing to reject
    StatusBeforeData,              // status (GOOD) without the data phase
    MessageOutRequest,             // message out requested without ATN
    LongDataPhase,                 // more data than the buffer holds
    ShortDataPhase,                // less data than asked for, then GOOD
    QueueFull,                     // a full queue, whatever the depth: QUEUE FULL to a tagged command, BUSY to an untagged one
    Busy,                          // BUSY
    NeverReturns,                  // disconnects and never reselects
    HangInPhase,                   // stops in the middle and never asserts REQ again
    BogusTag,                      // a reconnection with a queue tag that names no command
    ReselectionNoTargetBit,        // a reselection ID byte with only the initiator's bit
    ReselectionSeveralTargetBits,  // a reselection ID byte with two target bits
    SelectionTimeout,              // the target does not answer its selection
    GhostReselection,              // reselects for a LUN with nothing outstanding
    ForeignBusReset,               // another initiator resets the bus
    ForeignInterrupt,              // another device on the adapter's interrupt line
    MissingTag,                    // a tagged command reconnects without its queue-tag message
    SavePointerContinue,           // SAVE DATA POINTER at any byte of a data phase, then more data or status
    BareDisconnect,                // DISCONNECT without SAVE DATA POINTER; the reconnection resends from the saved pointer
    DisconnectAnyByte,             // SAVE DATA POINTER and DISCONNECT at any byte of a data phase, its ends included
    RestorePointers,               // RESTORE POINTERS at any byte of a data phase (in or out), then the data again
    SdtrAnyAnswer,                 // an answer to SDTR anywhere in the byte range: period 0-255, offset 0-255
    TargetSdtr,                    // an SDTR of the target's own, any values, at any message-in opportunity
    OptionalMessage,               // a message an initiator need not implement, which it must refuse with MESSAGE REJECT
    SecondCommandPhase,            // COMMAND phase once more before status, as if it wanted another command
    DisconnectAfterData,           // DISCONNECT without SAVE DATA POINTER after the last data byte, then status
};

// The last kind's value + 1.
inline constexpr size_t kFaultKinds = static_cast<size_t>(FaultKind::DisconnectAfterData) + 1;
using FaultSet = std::bitset<kFaultKinds>;
using FaultCounts = std::array<uint64_t, kFaultKinds>;

// Whether SCSI-2 lets a target do it. A legal behaviour may fail no request.
enum class Conduct : uint8_t { Fault, Legal };

// When it happens: where the target's hooks ask (a command planned, a
// reconnection, a reselection, a selection, an SDTR answer), or at a moment
// of its own, after a delay drawn when a command is planned.
enum class Moment : uint8_t { Hooked, Timed };

struct FaultKindRow {
    FaultKind kind;
    std::string_view name;  // as scenarios, --faults and the reports spell it
    Conduct conduct;
    Moment moment;
    // The event-log entry (SP_...) the driver must write when it recovers
    // from it by itself; 0 where it has nothing to report (the kind is
    // harmless, legal, or one the driver cannot tell from a good device).
    uint32_t log_code;
    // How a hostile input (sim/workload/hostile_input.cpp, the fuzzer's)
    // selects it: bit n%8 of kind byte n/8. A bit, once given, keeps its kind
    // for good, or the corpus and the findings change their meaning. Bits
    // 23, 30, 31 and the top bit of every kind byte from the fifth on ask for
    // more bytes and select no kind. A new kind needs a bit of its own, and
    // no choice keeps every input as it was: a free bit in a byte read
    // already (22, 35-38) gives the kind to the inputs that set it; a bit in
    // a new byte makes every input that sets the previous byte's top bit read
    // a byte more, shifting all its later bytes. Take the one fewest of
    // fuzz/corpus and of FuzzFindings.StaySound's inputs set (bit 22 is set
    // by four of them, bits 35-39 by one, today).
    uint8_t hostile_bit;
};

inline constexpr std::array<FaultKindRow, kFaultKinds> kFaultKindTable{{
    // kind                                      name                               conduct          moment          log code                   bit
    {FaultKind::ParityError,                  "parity-error",                    Conduct::Fault, Moment::Hooked, SP_BUS_PARITY_ERROR,       0},
    {FaultKind::UnknownMessage,               "unknown-message",                 Conduct::Fault, Moment::Hooked, 0,                         1},
    {FaultKind::TwoByteMessage,               "two-byte-message",                Conduct::Fault, Moment::Hooked, 0,                         2},
    {FaultKind::ExtendedMessage,              "extended-message",                Conduct::Fault, Moment::Hooked, 0,                         3},
    {FaultKind::UnsolicitedSdtr,              "unsolicited-sdtr",                Conduct::Legal, Moment::Hooked, 0,                         4},
    {FaultKind::StrayMessageReject,           "stray-message-reject",            Conduct::Fault, Moment::Hooked, 0,                         5},
    {FaultKind::StatusBeforeData,             "status-before-data",              Conduct::Fault, Moment::Hooked, 0,                         6},
    {FaultKind::MessageOutRequest,            "message-out-request",             Conduct::Fault, Moment::Hooked, SP_UNEXPECTED_DISCONNECT,  7},
    {FaultKind::LongDataPhase,                "long-data-phase",                 Conduct::Fault, Moment::Hooked, 0,                         8},
    {FaultKind::ShortDataPhase,               "short-data-phase",                Conduct::Fault, Moment::Hooked, 0,                         9},
    {FaultKind::QueueFull,                    "queue-full",                      Conduct::Legal, Moment::Hooked, 0,                         10},
    {FaultKind::Busy,                         "busy",                            Conduct::Legal, Moment::Hooked, 0,                         11},
    {FaultKind::NeverReturns,                 "never-returns",                   Conduct::Fault, Moment::Hooked, SP_REQUEST_TIMEOUT,        12},
    {FaultKind::HangInPhase,                  "hang-in-phase",                   Conduct::Fault, Moment::Hooked, SP_REQUEST_TIMEOUT,        13},
    {FaultKind::BogusTag,                     "bogus-tag",                       Conduct::Fault, Moment::Hooked, SP_INVALID_RESELECTION,    14},
    {FaultKind::ReselectionNoTargetBit,       "reselection-no-target-bit",       Conduct::Fault, Moment::Hooked, SP_INVALID_RESELECTION,    15},
    {FaultKind::ReselectionSeveralTargetBits, "reselection-several-target-bits", Conduct::Fault, Moment::Hooked, SP_INVALID_RESELECTION,    16},
    {FaultKind::SelectionTimeout,             "selection-timeout",               Conduct::Fault, Moment::Hooked, 0,                         17},
    {FaultKind::GhostReselection,             "ghost-reselection",               Conduct::Fault, Moment::Timed,  SP_INVALID_RESELECTION,    18},
    {FaultKind::ForeignBusReset,              "foreign-bus-reset",               Conduct::Fault, Moment::Timed,  0,                         19},
    {FaultKind::ForeignInterrupt,             "foreign-interrupt",               Conduct::Fault, Moment::Timed,  0,                         20},
    {FaultKind::MissingTag,                   "missing-tag",                     Conduct::Fault, Moment::Hooked, SP_PROTOCOL_ERROR,         21},
    {FaultKind::SavePointerContinue,          "save-pointer-continue",           Conduct::Legal, Moment::Hooked, 0,                         24},
    {FaultKind::BareDisconnect,               "bare-disconnect",                 Conduct::Legal, Moment::Hooked, 0,                         25},
    {FaultKind::DisconnectAnyByte,            "disconnect-any-byte",             Conduct::Legal, Moment::Hooked, 0,                         26},
    {FaultKind::RestorePointers,              "restore-pointers",                Conduct::Legal, Moment::Hooked, 0,                         27},
    {FaultKind::SdtrAnyAnswer,                "sdtr-any-answer",                 Conduct::Legal, Moment::Hooked, 0,                         28},
    {FaultKind::TargetSdtr,                   "target-sdtr",                     Conduct::Legal, Moment::Hooked, 0,                         29},
    {FaultKind::OptionalMessage,              "optional-message",                Conduct::Legal, Moment::Hooked, 0,                         32},
    {FaultKind::SecondCommandPhase,           "second-command-phase",            Conduct::Fault, Moment::Hooked, SP_PROTOCOL_ERROR,         33},
    {FaultKind::DisconnectAfterData,          "disconnect-after-data",           Conduct::Legal, Moment::Hooked, 0,                         34},
}};

namespace fault_kind_table_check {

constexpr bool one_row_per_kind_in_enum_order()
{
    for (size_t i = 0; i < kFaultKinds; i++)
        if (static_cast<size_t>(kFaultKindTable[i].kind) != i)
            return false;
    return true;
}

constexpr bool names_given_and_distinct()
{
    for (size_t i = 0; i < kFaultKinds; i++) {
        if (kFaultKindTable[i].name.empty())
            return false;
        for (size_t j = 0; j < i; j++)
            if (kFaultKindTable[i].name == kFaultKindTable[j].name)
                return false;
    }
    return true;
}

// A legal behaviour fails nothing, so the driver has nothing to recover from
// and nothing to log.
constexpr bool legal_ones_log_nothing()
{
    for (const FaultKindRow& row : kFaultKindTable)
        if (row.conduct == Conduct::Legal && row.log_code != 0)
            return false;
    return true;
}

}  // namespace fault_kind_table_check

static_assert(kFaultKindTable.size() == kFaultKinds);
static_assert(fault_kind_table_check::one_row_per_kind_in_enum_order(), "one row per kind, in the enum's order");
static_assert(fault_kind_table_check::names_given_and_distinct(), "every kind has a name of its own");
static_assert(fault_kind_table_check::legal_ones_log_nothing(), "a legal behaviour has no log code");

constexpr const FaultKindRow& fault_row(FaultKind kind) { return kFaultKindTable.at(static_cast<size_t>(kind)); }

// The table's columns, read by kind.
std::string_view fault_name(FaultKind kind);
std::optional<FaultKind> fault_from_name(std::string_view name);
// Every kind, faults and legal behaviours.
FaultSet all_faults();
// Whether SCSI-2 allows a target to do this: then no request may fail for it.
bool is_legal(FaultKind kind);
FaultSet legal_behaviours();
// Whether it happens at a moment of its own (DeviceFaults::Timed), not where
// the target's hooks ask.
bool is_timed(FaultKind kind);

}  // namespace sim
