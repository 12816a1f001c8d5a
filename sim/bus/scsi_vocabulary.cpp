#include "bus/scsi_vocabulary.h"

#include <array>
#include <utility>

#include <fmt/format.h>

namespace sim::scsi {

std::string_view phase_name(Phase phase)
{
    switch (phase) {
    case Phase::DataOut: return "DATA OUT";
    case Phase::DataIn: return "DATA IN";
    case Phase::Command: return "COMMAND";
    case Phase::Status: return "STATUS";
    case Phase::MessageOut: return "MESSAGE OUT";
    case Phase::MessageIn: return "MESSAGE IN";
    }
    return "?";
}

std::string message_name(std::span<const uint8_t> bytes)
{
    if (bytes.empty())
        return "no message";
    const uint8_t code = bytes[0];
    if (code == msg::kExtended) {
        const uint8_t which = bytes.size() > 2 ? bytes[2] : 0xFF;
        switch (which) {
        case msg::kExtendedModifyDataPointer: return "MODIFY DATA POINTER";
        case msg::kExtendedSdtr: return "SYNCHRONOUS DATA TRANSFER REQUEST";
        case msg::kExtendedWdtr: return "WIDE DATA TRANSFER REQUEST";
        default: return fmt::format("extended message {:#04x}", which);
        }
    }
    if (code & msg::kIdentify)
        return "IDENTIFY";
    switch (code) {
    case msg::kCommandComplete: return "COMMAND COMPLETE";
    case msg::kSaveDataPointer: return "SAVE DATA POINTER";
    case msg::kRestorePointers: return "RESTORE POINTERS";
    case msg::kDisconnect: return "DISCONNECT";
    case msg::kMessageReject: return "MESSAGE REJECT";
    case msg::kNoOperation: return "NO OPERATION";
    case msg::kLinkedCommandComplete: return "LINKED COMMAND COMPLETE";
    case msg::kLinkedCommandCompleteWithFlag: return "LINKED COMMAND COMPLETE WITH FLAG";
    case msg::kInitiateRecovery: return "INITIATE RECOVERY";
    case msg::kReleaseRecovery: return "RELEASE RECOVERY";
    case msg::kSimpleQueueTag: return "SIMPLE QUEUE TAG";
    case msg::kHeadOfQueueTag: return "HEAD OF QUEUE TAG";
    case msg::kOrderedQueueTag: return "ORDERED QUEUE TAG";
    case msg::kIgnoreWideResidue: return "IGNORE WIDE RESIDUE";
    default: return fmt::format("{} {:#04x}", code >= 0x20 && code <= 0x2F ? "two-byte message" : "message", code);
    }
}

std::string_view command_name(uint8_t opcode)
{
    static constexpr std::array<std::pair<uint8_t, std::string_view>, 15> kNames{{
        {0x00, "TEST UNIT READY"},
        {0x03, "REQUEST SENSE"},
        {0x04, "FORMAT UNIT"},
        {0x08, "READ(6)"},
        {0x0A, "WRITE(6)"},
        {0x12, "INQUIRY"},
        {0x15, "MODE SELECT(6)"},
        {0x1A, "MODE SENSE(6)"},
        {0x1B, "START STOP UNIT"},
        {0x1E, "PREVENT ALLOW MEDIUM REMOVAL"},
        {0x25, "READ CAPACITY"},
        {0x28, "READ(10)"},
        {0x2A, "WRITE(10)"},
        {0x2F, "VERIFY(10)"},
        {0x35, "SYNCHRONIZE CACHE"},
    }};
    for (const auto& [code, name] : kNames)
        if (code == opcode)
            return name;
    return "";
}

unsigned cdb_length(uint8_t opcode)
{
    switch (opcode >> 5) {
    case 0: return 6;
    case 1:
    case 2: return 10;
    case 4: return 16;
    case 5: return 12;
    default: return 6;  // reserved and vendor groups: the short form
    }
}

}  // namespace sim::scsi
