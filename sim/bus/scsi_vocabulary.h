// SCSI-2 vocabulary shared by the bus, the targets and the chip: phases,
// messages, status bytes, sense keys and additional sense codes, and a table
// of command names for traces.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace sim::scsi {

// Bus phases, numbered as the MSG, C/D and I/O lines encode them.
enum class Phase : uint8_t {
    DataOut = 0,
    DataIn = 1,
    Command = 2,
    Status = 3,
    MessageOut = 6,
    MessageIn = 7,
};
std::string_view phase_name(Phase phase);
inline bool is_data_phase(Phase p) { return p == Phase::DataOut || p == Phase::DataIn; }

namespace msg {
inline constexpr uint8_t kCommandComplete = 0x00;
inline constexpr uint8_t kExtended = 0x01;
inline constexpr uint8_t kSaveDataPointer = 0x02;
inline constexpr uint8_t kRestorePointers = 0x03;
inline constexpr uint8_t kDisconnect = 0x04;
inline constexpr uint8_t kInitiatorDetectedError = 0x05;
inline constexpr uint8_t kAbort = 0x06;
inline constexpr uint8_t kMessageReject = 0x07;
inline constexpr uint8_t kNoOperation = 0x08;
inline constexpr uint8_t kMessageParityError = 0x09;
inline constexpr uint8_t kLinkedCommandComplete = 0x0A;
inline constexpr uint8_t kLinkedCommandCompleteWithFlag = 0x0B;
inline constexpr uint8_t kBusDeviceReset = 0x0C;
inline constexpr uint8_t kAbortTag = 0x0D;
inline constexpr uint8_t kInitiateRecovery = 0x0F;
inline constexpr uint8_t kReleaseRecovery = 0x10;
inline constexpr uint8_t kSimpleQueueTag = 0x20;
inline constexpr uint8_t kHeadOfQueueTag = 0x21;
inline constexpr uint8_t kOrderedQueueTag = 0x22;
inline constexpr uint8_t kIgnoreWideResidue = 0x23;
inline constexpr uint8_t kIdentify = 0x80;
inline constexpr uint8_t kIdentifyDisconnect = 0x40;
inline constexpr uint8_t kExtendedModifyDataPointer = 0x00;
inline constexpr uint8_t kExtendedSdtr = 0x01;
inline constexpr uint8_t kExtendedWdtr = 0x03;
}  // namespace msg

// The name of a message as a trace or an error shows it ("NO OPERATION",
// "WIDE DATA TRANSFER REQUEST", "message 0x15").
std::string message_name(std::span<const uint8_t> bytes);

// The control byte, the last of every CDB.
namespace control {
inline constexpr uint8_t kLink = 0x01;
inline constexpr uint8_t kFlag = 0x02;
}  // namespace control

namespace status {
inline constexpr uint8_t kGood = 0x00;
inline constexpr uint8_t kCheckCondition = 0x02;
inline constexpr uint8_t kBusy = 0x08;
inline constexpr uint8_t kIntermediate = 0x10;
inline constexpr uint8_t kQueueFull = 0x28;
}  // namespace status

enum class SenseKey : uint8_t {
    NoSense = 0x0,
    NotReady = 0x2,
    MediumError = 0x3,
    IllegalRequest = 0x5,
    UnitAttention = 0x6,
    DataProtect = 0x7,
    AbortedCommand = 0xB,
};

// Additional sense codes (with qualifier 0 unless noted by the user).
enum class Asc : uint8_t {
    None = 0x00,
    InvalidOpcode = 0x20,
    LbaOutOfRange = 0x21,
    InvalidFieldInCdb = 0x24,
    LunNotSupported = 0x25,
    WriteProtected = 0x27,
    PowerOnOrReset = 0x29,
    ScsiParityError = 0x47,
    InitiatorDetectedError = 0x48,
    CommandPhaseError = 0x4A,
    OverlappedCommands = 0x4E,
};

struct Sense {
    SenseKey key = SenseKey::NoSense;
    Asc asc = Asc::None;
};

namespace op {
inline constexpr uint8_t kTestUnitReady = 0x00;
inline constexpr uint8_t kRequestSense = 0x03;
inline constexpr uint8_t kRead6 = 0x08;
inline constexpr uint8_t kWrite6 = 0x0A;
inline constexpr uint8_t kInquiry = 0x12;
inline constexpr uint8_t kModeSense6 = 0x1A;
inline constexpr uint8_t kReadCapacity = 0x25;
inline constexpr uint8_t kRead10 = 0x28;
inline constexpr uint8_t kWrite10 = 0x2A;
}  // namespace op

// The name of an operation code for traces ("READ(10)"), or "" when unknown.
std::string_view command_name(uint8_t opcode);
// CDB length from the group code in the operation code's top three bits.
unsigned cdb_length(uint8_t opcode);

}  // namespace sim::scsi
