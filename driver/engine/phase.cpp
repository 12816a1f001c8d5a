// Information-transfer phase actions: exactly one chip sequence for the phase
// the target now asserts; it ends in the next interrupt.
#include "chip.h"
#include "engine.h"
#include "scsi.h"

// Program the DMA engine and the transfer counter for the rest of the current
// scatter-gather entry, and advance the data pointer past it.
static void ProgramDma(ULONG ioBase, CommandBlock* block, UCHAR direction)
{
    SgEntry* entry = block->CurSg;
    ULONG count = entry->Length - block->CurOffset;

    WriteDmaCommand(ioBase, direction);
    ChipWrite(ioBase, TransferCountLow, (UCHAR)(count & 0xFF));
    ChipWrite(ioBase, TransferCountMid, (UCHAR)((count >> 8) & 0xFF));
    ChipWrite(ioBase, TransferCountHigh, (UCHAR)((count >> 16) & 0xFF));
    ChipWrite32(ioBase, DmaTransferCount, count);
    ChipWrite32(ioBase, DmaAddress, entry->PhysicalAddress + block->CurOffset);
    WriteCommand(ioBase, DmaTransferInfo);
    WriteDmaCommand(ioBase, direction);
    WriteDmaCommand(ioBase, (UCHAR)(direction | DMA_CMD_START));

    block->CurSg = entry + 1;
    block->CurOffset = 0;
    block->SgLeft--;
}

// Whether the request lets data move this way. Both flags are the port
// driver's unspecified direction; neither means the request moves no data.
static BOOLEAN DirectionAllowed(CommandBlock* block, UCHAR direction)
{
    ULONG allowed = direction == DMA_DIR_IN ? SRB_FLAGS_DATA_IN : SRB_FLAGS_DATA_OUT;

    return (block->Srb->SrbFlags & allowed) != 0;
}

// Run a data phase: DMA for the next piece, or a pad transfer when the
// target wants more data than the buffer holds, or data the other way than
// the request says. The buffer was lent for that direction only (a page
// being written back must not be filled with device data), so such a phase
// moves no byte of it and the request fails. Padding a data-out phase would
// hand the device zeros to store: the command is aborted before it can.
static void StartDataTransfer(ULONG ioBase, CommandBlock* block, UCHAR direction)
{
    if (!DirectionAllowed(block, direction)) {
        block->Flags |= CB_AGAINST_DIRECTION;
        if (direction == DMA_DIR_OUT && !(block->Flags & CB_ABORT_PENDING)) {
            block->Flags |= CB_ABORT_PENDING;
            WriteCommand(ioBase, SetAtn);
        }
    } else if (block->SgLeft > 0 && !(block->Flags & CB_OVERRUN)) {
        ProgramDma(ioBase, block, direction);
        return;
    }
    block->Flags |= CB_OVERRUN;
    // The chip pads or discards up to the counter; memory is not touched.
    ChipWrite(ioBase, TransferCountLow, PAD_COUNT_BYTE);
    ChipWrite(ioBase, TransferCountMid, PAD_COUNT_BYTE);
    ChipWrite(ioBase, TransferCountHigh, PAD_COUNT_BYTE);
    WriteCommand(ioBase, DmaTransferPad);
}

// Abort the connected command. On a tagged LUN, or for a tagged command
// (QUEUE FULL may have lowered the depth to 1 under it), only this one:
// ABORT would also end every other command the target holds for the LUN,
// which we still count as issued.
static UCHAR AbortMessage(LunRecord* lun, CommandBlock* block)
{
    return (block->Flags & CB_TAGGED) || lun->QueueDepth > 1 ? MSG_ABORT_TAG : MSG_ABORT;
}

// Send one message: the SDTR offer, or a single-byte message.
static void SendMessage(ULONG ioBase, LunRecord* lun, CommandBlock* block)
{
    UCHAR message;

    WriteCommand(ioBase, FlushFifo);
    if (block->Flags & CB_ABORT_PENDING) {
        // Before anything else: the target holds padding it must not store.
        block->Flags &= ~(CB_DISCONNECTED | CB_COMMAND_COMPLETE | CB_ABORT_PENDING);
        ChipWrite(ioBase, Fifo, AbortMessage(lun, block));
        WriteCommand(ioBase, TransferInfo);
        return;
    }
    if (block->Flags & CB_SDTR_PENDING) {
        // Stays pending until the target's answer has been dealt with.
        ChipWrite(ioBase, Fifo, MSG_EXTENDED);
        ChipWrite(ioBase, Fifo, EXT_MSG_SDTR_LENGTH);
        ChipWrite(ioBase, Fifo, EXT_MSG_SDTR);
        ChipWrite(ioBase, Fifo, OfferedPeriodFactor(lun));
        ChipWrite(ioBase, Fifo, SDTR_OFFER_OFFSET);
        WriteCommand(ioBase, TransferInfo);
        return;
    }
    if (block->Flags & CB_REJECT_PENDING) {
        message = MSG_MESSAGE_REJECT;
    } else if (block->Flags & CB_PARITY_ERROR) {
        message = MSG_INITIATOR_DETECTED_ERROR;
    } else {
        // Nothing to say: abort the command; the bus free that follows ends it.
        block->Flags &= ~(CB_DISCONNECTED | CB_COMMAND_COMPLETE);
        message = AbortMessage(lun, block);
    }
    ChipWrite(ioBase, Fifo, message);
    WriteCommand(ioBase, TransferInfo);
    block->Flags &= ~(CB_REJECT_PENDING | CB_PARITY_ERROR);
}

// Start the action for the phase the target asserts.
void StartPhase(AdapterExtension* extension, UCHAR phase)
{
    LunRecord* lun = extension->ActiveLun;
    CommandBlock* block = lun->CurrentBlock;
    ULONG ioBase = extension->IoBase;

    // A target that goes on with an information phase after DISCONNECT has
    // stayed on the bus: the next bus free is not a disconnection.
    if (phase <= PHASE_STATUS)
        block->Flags &= ~CB_DISCONNECTED;
    switch (phase) {
    case PHASE_DATA_OUT:
        StartDataTransfer(ioBase, block, DMA_DIR_OUT);
        break;
    case PHASE_DATA_IN:
        StartDataTransfer(ioBase, block, DMA_DIR_IN);
        break;
    case PHASE_COMMAND:
        block->Flags |= CB_CDB_SENT;
        WriteCommand(ioBase, ResetAtn);
        WriteCommand(ioBase, FlushFifo);
        LoadCdb(ioBase, block);
        WriteCommand(ioBase, TransferInfo);
        break;
    case PHASE_STATUS:
        // The chip takes the status byte and the message after it.
        WriteCommand(ioBase, FlushFifo);
        WriteCommand(ioBase, InitiatorCommandComplete);
        break;
    case PHASE_MESSAGE_OUT:
        SendMessage(ioBase, lun, block);
        break;
    case PHASE_MESSAGE_IN:
        WriteCommand(ioBase, FlushFifo);
        WriteCommand(ioBase, TransferInfo);
        break;
    default:
        break;
    }
}
