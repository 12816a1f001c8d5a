// Phase end: close the phase that just ended before the next one starts:
// book a data phase's residual and let DMA finish, take the status bytes.
#include "chip.h"
#include "engine.h"
#include "frame.h"
#include "scsi.h"

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
static void CloseDataOut(ULONG ioBase, CommandBlock* block)
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
static void CloseDataIn(AdapterExtension* extension, LunRecord* lun, CommandBlock* block, UCHAR status)
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

// Close the phase recorded for the connected LUN. Sets *status to 5 when a
// message was accepted: the target moves on by itself, nothing is to start.
void ClosePhase(AdapterExtension* extension, UCHAR* status)
{
    LunRecord* lun = extension->ActiveLun;
    CommandBlock* block = lun->CurrentBlock;
    ULONG ioBase = extension->IoBase;

    switch (lun->Phase) {
    case PHASE_DATA_OUT:
        CloseDataOut(ioBase, block);
        break;
    case PHASE_DATA_IN:
        CloseDataIn(extension, lun, block, *status);
        break;
    case PHASE_STATUS:
        lun->StatusByte = ChipRead(ioBase, Fifo);
        lun->MessageByte = ChipRead(ioBase, Fifo);
        if (lun->MessageByte == MSG_COMMAND_COMPLETE)
            block->Flags |= CB_COMMAND_COMPLETE;
        AcceptMessageByte(ioBase, status);
        break;
    case PHASE_MESSAGE_IN:
        TakeMessageByte(extension, lun, block, status);
        break;
    default:
        break;
    }
}
