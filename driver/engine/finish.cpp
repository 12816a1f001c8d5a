// Phase completion and message-in: close the phase that just ended (residual,
// DMA drain, status bytes) and interpret every incoming message byte.
#include "chip.h"
#include "engine.h"
#include "frame.h"
#include "scsi.h"

// Accept the byte the chip holds ACK for; the target moves on by itself.
static void Accept(ULONG ioBase, UCHAR* status)
{
    WriteCommand(ioBase, MessageAccepted);
    *status = PHASE_NONE;
}

// Bytes the transfer counter did not move, read High, Mid, Low.
static ULONG ReadTransferCounter(ULONG ioBase)
{
    ULONG high = ChipRead(ioBase, TransferCountHigh);
    ULONG mid = ChipRead(ioBase, TransferCountMid);
    ULONG low = ChipRead(ioBase, TransferCountLow);

    return (high << 16) | (mid << 8) | low;
}

// Step the data pointer back into the entry the transfer stopped in.
static void StepBack(CommandBlock* block, ULONG residual)
{
    block->SgLeft++;
    block->CurSg--;
    block->CurOffset = residual < block->CurSg->Length ? block->CurSg->Length - residual : 0;
}

// Wait until the DMA engine has written every byte of the transfer to memory.
// Bounded by time: the polls are a microsecond apart.
static BOOLEAN WaitDmaIdle(ULONG ioBase)
{
    for (ULONG poll = 0; poll < DMA_WAIT_POLLS; poll++) {
        if ((ChipRead32(ioBase, DmaWorkingCount) & DMA_WORKING_COUNT_MASK) == 0)
            return TRUE;
        ScsiPortStallExecution(1);
    }
    return FALSE;
}

// Drain the bytes still held in the DMA engine into memory.
static BOOLEAN DrainDma(ULONG ioBase)
{
    WriteDmaCommand(ioBase, DMA_DIR_IN | DMA_CMD_DRAIN);
    for (ULONG poll = 0; poll < DMA_WAIT_POLLS; poll++) {
        if (ChipRead(ioBase, DmaStatus) & DMA_STATUS_DRAIN_COMPLETE)
            return TRUE;
        ScsiPortStallExecution(1);
    }
    return FALSE;
}

// The DMA engine did not finish: stop it, and fail the command at its end.
static void FailDma(AdapterExtension* extension, LunRecord* lun, CommandBlock* block)
{
    WriteDmaCommand(extension->IoBase, DMA_DIR_IN | DMA_CMD_IDLE);
    block->Flags |= CB_DMA_FAILED;
    LogRecoveredError(extension, lun, block, SP_INTERNAL_ADAPTER_ERROR, LOG_ID_DMA_WAIT_EXPIRED);
}

// Close a data-out phase: the counter's residual plus the bytes still in the FIFO.
static void FinishDataOut(ULONG ioBase, CommandBlock* block)
{
    ULONG residual;

    // A pad transfer did not move the data pointer.
    if (block->Flags & CB_OVERRUN)
        return;
    residual = ReadTransferCounter(ioBase);
    residual += ChipRead(ioBase, FifoFlags) & FIFO_COUNT_MASK;
    if (residual != 0)
        StepBack(block, residual);
}

// Close a data-in phase: book the residual and make sure memory has every byte.
static void FinishDataIn(AdapterExtension* extension, LunRecord* lun, CommandBlock* block, UCHAR status)
{
    ULONG ioBase = extension->IoBase;
    ULONG residual;

    if (block->Flags & CB_OVERRUN)
        return;
    if (status & STATUS_PARITY_ERROR) {
        LogRecoveredError(extension, lun, block, SP_BUS_PARITY_ERROR, LOG_ID_DATA_IN_PARITY);
        block->Flags |= CB_PARITY_ERROR;
    }
    residual = ReadTransferCounter(ioBase);
    if (residual == 0) {
        if (!WaitDmaIdle(ioBase))
            FailDma(extension, lun, block);
        return;
    }
    StepBack(block, residual);
    if (block->CurOffset == 0)
        return;
    if (!DrainDma(ioBase))
        FailDma(extension, lun, block);
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
        Accept(ioBase, status);
        return;
    }
    extension->MsgInRemaining--;
    if (extension->MsgInRemaining != 0) {
        Accept(ioBase, status);
        return;
    }
    block->Flags &= ~CB_MSG_IN_PROGRESS;
    EvaluateMessage(extension, lun, block);
    Accept(ioBase, status);
}

// Begin collecting a multi-byte message.
static void BeginMessage(AdapterExtension* extension, CommandBlock* block, UCHAR code, UCHAR remaining)
{
    extension->MsgInRemaining = remaining;
    extension->MsgInCode = code;
    extension->MsgInPtr = &extension->MsgInBytes[0];
    block->Flags |= CB_MSG_IN_PROGRESS;
}

// Interpret one incoming message byte, then accept it.
static void FinishMessageIn(AdapterExtension* extension, LunRecord* lun, CommandBlock* block, UCHAR* status)
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
    Accept(ioBase, status);
}

// Close the phase recorded for the connected LUN. Sets *status to 5 when a
// message was accepted: the target moves on by itself, nothing is to start.
void FinishPhase(AdapterExtension* extension, UCHAR* status)
{
    LunRecord* lun = extension->ActiveLun;
    CommandBlock* block = lun->CurrentBlock;
    ULONG ioBase = extension->IoBase;

    switch (lun->Phase) {
    case PHASE_DATA_OUT:
        FinishDataOut(ioBase, block);
        break;
    case PHASE_DATA_IN:
        FinishDataIn(extension, lun, block, *status);
        break;
    case PHASE_STATUS:
        lun->StatusByte = ChipRead(ioBase, Fifo);
        lun->MessageByte = ChipRead(ioBase, Fifo);
        if (lun->MessageByte == MSG_COMMAND_COMPLETE)
            block->Flags |= CB_COMMAND_COMPLETE;
        Accept(ioBase, status);
        break;
    case PHASE_MESSAGE_IN:
        FinishMessageIn(extension, lun, block, status);
        break;
    default:
        break;
    }
}
