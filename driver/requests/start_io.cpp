// Request intake: every SRB the port driver hands over is decided here, and
// every call ends with NextRequest (NextLuRequest for a tagged LUN with room)
// so the port driver may send the next one.
#include "chip.h"
#include "requests.h"
#include "scsi.h"

// The LUN record of a target and LUN (the port driver passes 0-7 only).
LunRecord* LookupLun(AdapterExtension* extension, UCHAR target, UCHAR lun)
{
    return &extension->Lun[target][lun];
}

// Put a block that never reached a queue back on the free list.
static void ReturnUnusedBlock(AdapterExtension* extension, LunRecord* lun, CommandBlock* block)
{
    ULONG saved;

    if (block->TagMessage != 0)
        lun->FreeTags |= 1u << block->Tag;
    saved = SaveFlagsAndDisableInterrupts();
    FreeBlock(extension, block);
    RestoreFlags(saved);
}

// The selection puts IDENTIFY (and a queue tag when one is sent) into the
// 16-byte FIFO ahead of the CDB: the whole must fit.
static BOOLEAN CdbFits(LunRecord* lun, PSCSI_REQUEST_BLOCK srb)
{
    ULONG messages = SELECT_MESSAGE_BYTES;

    if (srb->CdbLength == 0 || srb->CdbLength > MAX_CDB_LENGTH)
        return FALSE;
    if (lun->QueueDepth > 1 && !CommandNeverTagged(srb->Cdb[0]))
        messages = SELECT_TAGGED_MESSAGE_BYTES;
    return srb->CdbLength + messages <= CHIP_FIFO_DEPTH;
}

// A queue action names one of the three queue-tag messages: any other value
// would go to the target as a message (and 0 reads as "no tag taken").
static BOOLEAN QueueActionValid(PSCSI_REQUEST_BLOCK srb)
{
    if (!(srb->SrbFlags & SRB_FLAGS_QUEUE_ACTION_ENABLE))
        return TRUE;
    return srb->QueueAction == SRB_SIMPLE_TAG_REQUEST || srb->QueueAction == SRB_HEAD_OF_QUEUE_TAG_REQUEST ||
           srb->QueueAction == SRB_ORDERED_QUEUE_TAG_REQUEST;
}

// Where the target finds the control byte: the last byte of the length the
// operation code's group gives (6, 10 or 12 bytes), or of the CDB when it is
// shorter or its group has no standard length. A longer CDB (a pass-through
// request may pad one) carries bytes the target never takes.
static ULONG ControlByteIndex(PSCSI_REQUEST_BLOCK srb)
{
    ULONG length;

    switch (srb->Cdb[0] >> 5) {
    case 0:
        length = 6;
        break;
    case 1:
    case 2:
        length = 10;
        break;
    case 5:
        length = 12;
        break;
    default:
        length = srb->CdbLength;
        break;
    }
    return (length < srb->CdbLength ? length : srb->CdbLength) - 1;
}

// A linked command asks the target to take the next command of a chain in
// the same connection. We send one command per request and could only send
// the same CDB again when the target asks for the next: refused, by the link
// bit where the target reads it, and in the last byte as well.
static BOOLEAN CdbLinked(PSCSI_REQUEST_BLOCK srb)
{
    return ((srb->Cdb[ControlByteIndex(srb)] | srb->Cdb[srb->CdbLength - 1]) & CDB_CONTROL_LINK) != 0;
}

// Hand a request back at once with the given status.
static void CompleteAtOnce(AdapterExtension* extension, PSCSI_REQUEST_BLOCK srb, UCHAR status)
{
    srb->SrbStatus = status;
    ScsiPortNotification(RequestComplete, extension, srb);
}

// An execute request: refuse it, or give it a block and queue it.
static void AcceptExecute(AdapterExtension* extension, LunRecord* lun, PSCSI_REQUEST_BLOCK srb)
{
    CommandBlock* block;

    if (!CdbFits(lun, srb) || CdbLinked(srb) || !QueueActionValid(srb)) {
        CompleteAtOnce(extension, srb, SRB_STATUS_INVALID_REQUEST);
        return;
    }
    // A full queue, or no tag free: the port driver sends it again later.
    if (lun->QueuedCount >= MAX_QUEUED_PER_LUN || (lun->QueueDepth > 1 && lun->FreeTags == 0)) {
        CompleteAtOnce(extension, srb, SRB_STATUS_BUSY);
        return;
    }
    block = AllocateBlock(extension);
    if (!block) {
        CompleteAtOnce(extension, srb, SRB_STATUS_BUSY);
        return;
    }
    if (!PrepareBlock(extension, lun, block, srb)) {
        ReturnUnusedBlock(extension, lun, block);
        CompleteAtOnce(extension, srb, SRB_STATUS_INVALID_REQUEST);
        return;
    }
    QueueBlock(extension, lun, block);
}

// Reset the bus for an abort or reset request. The request is completed
// first: the flush completes every active request of the path, the one being
// handed to us included, and a request must not be completed twice. Its path
// is read before it goes back.
static void ResetBusForRequest(AdapterExtension* extension, PSCSI_REQUEST_BLOCK srb)
{
    ULONG pathId = srb->PathId;

    CompleteAtOnce(extension, srb, SRB_STATUS_SUCCESS);
    ResetBusAndWait(extension, pathId);
}

// An abort can only be done by resetting the bus, and only for the command
// the LUN most recently started or reconnected.
static void AbortCommand(AdapterExtension* extension, LunRecord* lun, PSCSI_REQUEST_BLOCK srb)
{
    CommandBlock* current = lun->CurrentBlock;

    if (!current || !srb->NextSrb || current->Srb != srb->NextSrb) {
        CompleteAtOnce(extension, srb, SRB_STATUS_ABORT_FAILED);
        return;
    }
    ResetBusForRequest(extension, srb);
}

// Take one request from the port driver.
extern "C" BOOLEAN MINIPORT_API HwStartIo(PVOID HwDeviceExtension, PSCSI_REQUEST_BLOCK Srb)
{
    AdapterExtension* extension = (AdapterExtension*)HwDeviceExtension;
    LunRecord* lun = LookupLun(extension, Srb->TargetId, Srb->Lun);

    switch (Srb->Function) {
    case SRB_FUNCTION_EXECUTE_SCSI:
        AcceptExecute(extension, lun, Srb);
        break;
    case SRB_FUNCTION_ABORT_COMMAND:
        AbortCommand(extension, lun, Srb);
        break;
    case SRB_FUNCTION_RESET_BUS:
        ResetBusForRequest(extension, Srb);
        break;
    default:
        CompleteAtOnce(extension, Srb, SRB_STATUS_INVALID_REQUEST);
        break;
    }
    NotifyReady(extension, lun);
    return TRUE;
}
