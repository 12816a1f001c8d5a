// Command block preparation: path, queue tag and scatter-gather list of an
// execute request, so that nothing later has to look at the data buffer.
#include "chip.h"
#include "requests.h"
#include "scsi.h"

// REQUEST SENSE and INQUIRY are always sent without a queue tag.
BOOLEAN CommandNeverTagged(UCHAR opcode)
{
    return opcode == SCSIOP_REQUEST_SENSE || opcode == SCSIOP_INQUIRY;
}

// Whether the block goes to its LUN with a queue tag. REQUEST SENSE and
// INQUIRY never do; nor a request that forbids disconnection (a tagged
// command that may not disconnect would hold the bus while the target works
// through the older tags, which need the bus to come back); nor a CDB that
// leaves no room in the FIFO for the tag message.
BOOLEAN CarriesTag(LunRecord* lun, CommandBlock* block)
{
    PSCSI_REQUEST_BLOCK srb = block->Srb;

    if (lun->QueueDepth <= 1 || CommandNeverTagged(srb->Cdb[0]))
        return FALSE;
    if (srb->SrbFlags & SRB_FLAGS_DISABLE_DISCONNECT)
        return FALSE;
    if (srb->CdbLength + SELECT_TAGGED_MESSAGE_BYTES > CHIP_FIFO_DEPTH)
        return FALSE;
    return block->TagMessage != 0 || lun->FreeTags != 0;
}

// Give the block the lowest free tag of its LUN and its queue-tag message.
BOOLEAN TakeTag(LunRecord* lun, CommandBlock* block)
{
    PSCSI_REQUEST_BLOCK srb = block->Srb;
    UCHAR tag;

    for (tag = 0; tag < 32; tag++)
        if (lun->FreeTags & (1u << tag))
            break;
    if (tag == 32)
        return FALSE;
    lun->FreeTags &= ~(1u << tag);
    block->Tag = tag;
    block->TagMessage = (srb->SrbFlags & SRB_FLAGS_QUEUE_ACTION_ENABLE) ? srb->QueueAction
                                                                         : DEFAULT_TAG_MESSAGE;
    return TRUE;
}

// Split the data buffer into physically contiguous pieces, one per answer of
// the port driver; refuse a buffer that needs more entries than the block has.
static BOOLEAN BuildScatterGather(AdapterExtension* extension, CommandBlock* block,
                                  PSCSI_REQUEST_BLOCK srb)
{
    PUCHAR address = (PUCHAR)srb->DataBuffer;
    ULONG remaining = srb->DataTransferLength;

    block->SgCount = 0;
    while (remaining != 0) {
        SCSI_PHYSICAL_ADDRESS physical;
        ULONG length = 0;

        if (block->SgCount == MAX_SG_ENTRIES)
            return FALSE;
        physical = ScsiPortGetPhysicalAddress(extension, srb, address, &length);
        if (length == 0)
            return FALSE;
        if (length > remaining)
            length = remaining;
        // The chip's transfer counter is 24 bits wide.
        if (length > DMA_WORKING_COUNT_MASK)
            length = DMA_WORKING_COUNT_MASK;
        block->Sg[block->SgCount].PhysicalAddress = physical.u.LowPart;
        block->Sg[block->SgCount].Length = length;
        block->SgCount++;
        address += length;
        remaining -= length;
    }
    return TRUE;
}

// Fill a freshly allocated block from its execute request. FALSE: the request
// cannot be carried (no tag free, or its buffer needs too many pieces).
BOOLEAN PrepareBlock(AdapterExtension* extension, LunRecord* lun, CommandBlock* block,
                     PSCSI_REQUEST_BLOCK srb)
{
    block->Srb = srb;
    if (lun->QueueDepth > 1 && !TakeTag(lun, block))
        return FALSE;
    if (!BuildScatterGather(extension, block, srb))
        return FALSE;
    // Recorded only for requests that are accepted: the flush at an
    // unrequested bus reset completes on this path.
    extension->PathId = srb->PathId;
    return TRUE;
}
