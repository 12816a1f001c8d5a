// Message-in: take each incoming message byte, act on it (data pointers,
// COMMAND COMPLETE and DISCONNECT, queue tags, SDTR, rejects) and accept it.
#include "chip.h"
#include "engine.h"
#include "frame.h"
#include "scsi.h"

// Accept the byte the chip holds ACK for; the target moves on by itself.
void AcceptMessageByte(ULONG ioBase, UCHAR* status)
{
    WriteCommand(ioBase, MessageAccepted);
    *status = PHASE_NONE;
}

// Copy the current data pointer to the saved one. Nothing else changes: the
// target may go on with more data or status without disconnecting.
static void SaveDataPointer(CommandBlock* block)
{
    block->Flags |= CB_POINTERS_SAVED;
    block->SavedOffset = block->CurOffset;
    block->SavedSg = block->CurSg;
    block->SavedSgLeft = block->SgLeft;
}

// Refuse the message just received: MESSAGE REJECT goes out at the next
// message-out phase, which ATN asks for. ATN is raised before the byte is
// accepted, so the target knows which message is refused.
static void RejectMessage(ULONG ioBase, CommandBlock* block)
{
    block->Flags &= ~CB_SDTR_PENDING;
    block->Flags |= CB_REJECT_PENDING;
    WriteCommand(ioBase, SetAtn);
}

// A queue-tag message: reconnect the started command that holds the tag.
static void ReconnectTagged(AdapterExtension* extension, LunRecord* lun, CommandBlock* block, UCHAR tag)
{
    CommandBlock* candidate = lun->QueueHead;

    // Only started blocks can be coming back; the tail's link is not followed.
    for (ULONG i = 0; candidate && i < lun->IssuedCount; i++) {
        if (candidate->Tag == tag) {
            if (lun->CurrentBlock != candidate)
                lun->CurrentBlock->Flags &= ~CB_CONNECTED;
            lun->CurrentBlock = candidate;
            ReconnectBlock(candidate);
            return;
        }
        candidate = candidate == lun->QueueTail ? 0 : candidate->Next;
    }
    LogRecoveredError(extension, lun, 0, SP_INVALID_RESELECTION, LOG_ID_RESELECTION_UNKNOWN_TAG);
    RejectMessage(extension->IoBase, block);
}

// Act on a complete multi-byte message.
static void EvaluateMessage(AdapterExtension* extension, LunRecord* lun, CommandBlock* block)
{
    ULONG ioBase = extension->IoBase;
    const UCHAR* bytes = extension->MsgInBytes;
    UCHAR code = extension->MsgInCode;

    if (code == MSG_SIMPLE_QUEUE_TAG || code == MSG_HEAD_OF_QUEUE_TAG || code == MSG_ORDERED_QUEUE_TAG) {
        ReconnectTagged(extension, lun, block, bytes[0]);
        return;
    }
    if ((block->Flags & CB_SDTR_PENDING) && code == MSG_EXTENDED && bytes[0] == EXT_MSG_SDTR_LENGTH &&
        bytes[1] == EXT_MSG_SDTR) {
        AcceptSdtrReply(extension, lun, block, bytes[2], bytes[3]);
        return;
    }
    // A target whose own SDTR is refused goes asynchronous, and so must we.
    if (code == MSG_EXTENDED && bytes[1] == EXT_MSG_SDTR)
        FallBackToAsynchronous(extension, lun, block);
    RejectMessage(ioBase, block);
}

// One more byte of a multi-byte message. An extended message is counted by
// its length byte (0 stands for 256); only the first four bytes are kept.
static void ContinueMessage(AdapterExtension* extension, LunRecord* lun, CommandBlock* block,
                            UCHAR byte, UCHAR* status)
{
    ULONG ioBase = extension->IoBase;
    BOOLEAN lengthByte = extension->MsgInCode == MSG_EXTENDED && extension->MsgInPtr == &extension->MsgInBytes[0];

    if (extension->MsgInPtr < &extension->MsgInBytes[sizeof(extension->MsgInBytes)])
        *extension->MsgInPtr++ = byte;
    if (lengthByte) {
        extension->MsgInRemaining = byte;
        AcceptMessageByte(ioBase, status);
        return;
    }
    extension->MsgInRemaining--;
    if (extension->MsgInRemaining != 0) {
        AcceptMessageByte(ioBase, status);
        return;
    }
    block->Flags &= ~CB_MSG_IN_PROGRESS;
    EvaluateMessage(extension, lun, block);
    AcceptMessageByte(ioBase, status);
}

// Begin collecting a multi-byte message.
static void BeginMessage(AdapterExtension* extension, CommandBlock* block, UCHAR code, UCHAR remaining)
{
    extension->MsgInRemaining = remaining;
    extension->MsgInCode = code;
    extension->MsgInPtr = &extension->MsgInBytes[0];
    block->Flags |= CB_MSG_IN_PROGRESS;
}

// Take one incoming message byte from the FIFO, act on it, then accept it.
void TakeMessageByte(AdapterExtension* extension, LunRecord* lun, CommandBlock* block, UCHAR* status)
{
    ULONG ioBase = extension->IoBase;
    UCHAR byte = ChipRead(ioBase, Fifo);

    if (block->Flags & CB_MSG_IN_PROGRESS) {
        ContinueMessage(extension, lun, block, byte, status);
        return;
    }
    if (byte >= MSG_TWO_BYTE_FIRST && byte <= MSG_TWO_BYTE_LAST) {
        BeginMessage(extension, block, byte, 1);
    } else {
        switch (byte) {
        case MSG_SAVE_DATA_POINTER:
            SaveDataPointer(block);
            break;
        case MSG_COMMAND_COMPLETE:
            block->Flags |= CB_COMMAND_COMPLETE;
            break;
        case MSG_RESTORE_POINTERS:
            RestorePointers(block);
            break;
        case MSG_DISCONNECT:
            // Saves nothing: the reconnection restores the saved pointer.
            block->Flags |= CB_DISCONNECTED;
            break;
        case MSG_EXTENDED:
            BeginMessage(extension, block, byte, EXT_MSG_SDTR_LENGTH + 1);
            break;
        case MSG_MESSAGE_REJECT:
            WriteCommand(ioBase, ResetAtn);
            if (block->Flags & CB_SDTR_PENDING)
                FallBackToAsynchronous(extension, lun, block);
            break;
        default:
            // Every other message is one we do not implement: optional ones
            // (INITIATE RECOVERY, NO OPERATION), reserved codes, IDENTIFY
            // outside a reselection, LINKED COMMAND COMPLETE for a command we
            // never link. Taking one silently would leave the target
            // believing we acted on it.
            RejectMessage(ioBase, block);
            break;
        }
    }
    AcceptMessageByte(ioBase, status);
}
