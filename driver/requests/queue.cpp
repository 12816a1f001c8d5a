// The command-block pool, LUN queues and the service ring: a prepared block
// joins its LUN's queue, the LUN joins the ring of LUNs with work, and the
// block is selected at once when the bus is free and the LUN has room.
#include "engine.h"
#include "requests.h"
#include "scsi.h"

// Empty one command block, link included.
static void ClearBlock(CommandBlock* block)
{
    UCHAR* bytes = (UCHAR*)block;
    for (ULONG i = 0; i < sizeof(*block); i++)
        bytes[i] = 0;
}

// Every block empty and on the free list, in array order.
void InitializeBlockPool(AdapterExtension* extension)
{
    int i;

    for (i = 0; i < COMMAND_BLOCK_COUNT; i++)
        ClearBlock(&extension->Blocks[i]);
    extension->FreeBlocks = &extension->Blocks[0];
    for (i = 0; i < COMMAND_BLOCK_COUNT - 1; i++)
        extension->Blocks[i].Next = &extension->Blocks[i + 1];
    extension->Blocks[COMMAND_BLOCK_COUNT - 1].Next = 0;
}

// Pop a free command block, or null when all are in use.
CommandBlock* AllocateBlock(AdapterExtension* extension)
{
    ULONG saved = SaveFlagsAndDisableInterrupts();
    CommandBlock* block = extension->FreeBlocks;

    if (block)
        extension->FreeBlocks = block->Next;
    RestoreFlags(saved);
    return block;
}

// Empty a block and push it on the free list. The caller keeps interrupts
// off (the interrupt routine frees blocks too).
void FreeBlock(AdapterExtension* extension, CommandBlock* block)
{
    ClearBlock(block);
    block->Next = extension->FreeBlocks;
    extension->FreeBlocks = block;
}

// Put a LUN that has just received its first block into the service ring,
// last in the round-robin order from the cursor.
static void JoinRing(AdapterExtension* extension, LunRecord* lun)
{
    LunRecord* cursor = extension->ServiceCursor;
    LunRecord* previous;

    if (!cursor) {
        extension->ServiceCursor = lun;
        lun->RingNext = lun;
        lun->RingPrev = lun;
        return;
    }
    previous = cursor->RingPrev;
    lun->RingNext = cursor;
    lun->RingPrev = previous;
    cursor->RingPrev = lun;
    previous->RingNext = lun;
}

// A LUN whose last block completed leaves the service ring. FALSE: it was the
// only LUN with work, nothing else can be started.
BOOLEAN LeaveRing(AdapterExtension* extension, LunRecord* lun)
{
    if (lun->RingNext == lun) {
        extension->ServiceCursor = 0;
        return FALSE;
    }
    lun->RingPrev->RingNext = lun->RingNext;
    lun->RingNext->RingPrev = lun->RingPrev;
    if (extension->ServiceCursor == lun)
        extension->ServiceCursor = lun->RingNext;
    return TRUE;
}

// Put a block directly behind the LUN's started blocks, which stay the front
// of the queue: first among the waiting ones.
void InsertBehindStarted(LunRecord* lun, CommandBlock* block)
{
    ULONG position = lun->IssuedCount;
    CommandBlock* previous;

    if (!lun->QueueTail) {
        lun->QueueHead = block;
        lun->QueueTail = block;
        return;
    }
    if (position == 0) {
        block->Next = lun->QueueHead;
        lun->QueueHead = block;
        return;
    }
    previous = lun->QueueHead;
    for (ULONG i = 1; i < position && previous != lun->QueueTail; i++)
        previous = previous->Next;
    if (previous == lun->QueueTail) {
        previous->Next = block;
        lun->QueueTail = block;
        return;
    }
    block->Next = previous->Next;
    previous->Next = block;
}

// Take a block out of its LUN's queue, keeping QueueTail the delimiter. Does
// not touch the service ring.
void UnlinkBlock(LunRecord* lun, CommandBlock* block)
{
    CommandBlock* previous;

    if (block == lun->QueueHead) {
        if (block == lun->QueueTail) {
            lun->QueueHead = 0;
            lun->QueueTail = 0;
        } else {
            lun->QueueHead = block->Next;
        }
        return;
    }
    previous = lun->QueueHead;
    while (previous->Next != block)
        previous = previous->Next;
    if (block == lun->QueueTail)
        lun->QueueTail = previous;
    else
        previous->Next = block->Next;
}

// The first block not yet started: the started blocks are the front of the
// queue. Only called while the LUN has one (IssuedCount < QueuedCount).
CommandBlock* FirstWaitingBlock(LunRecord* lun)
{
    CommandBlock* block = lun->QueueHead;

    for (ULONG i = 0; i < lun->IssuedCount; i++)
        block = block->Next;
    return block;
}

// Whether the LUN may start its first waiting block now: it has one, the
// target has room for it, and it does not mix tagged and untagged commands.
// SCSI-2 calls an untagged command beside tagged ones of the same LUN (or a
// tagged one beside an untagged one) an overlapped command, and the target
// may abort every command of the LUN for it: a command that goes untagged
// waits until the LUN has nothing started, and nothing joins it.
BOOLEAN MayStartNext(LunRecord* lun)
{
    if (lun->IssuedCount >= lun->QueueDepth || lun->IssuedCount >= lun->QueuedCount)
        return FALSE;
    if (lun->IssuedCount == 0)
        return TRUE;
    // The started blocks are the front of the queue.
    return (lun->QueueHead->Flags & CB_TAGGED) && CarriesTag(lun, FirstWaitingBlock(lun));
}

// Record how far the current data pointer has come (the whole entries
// behind it and the part of the entry it stands in) and return the furthest
// it has been. Called before the pointer is moved back.
ULONG NoteDataReached(CommandBlock* block)
{
    ULONG bytes = block->CurOffset;

    for (SgEntry* entry = &block->Sg[0]; entry < block->CurSg && entry < &block->Sg[block->SgCount]; entry++)
        bytes += entry->Length;
    if (bytes > block->Reached)
        block->Reached = bytes;
    return block->Reached;
}

// Current and saved data pointers back to the start of the data, as for a
// command never sent.
void RewindDataPointers(CommandBlock* block)
{
    block->Reached = 0;
    block->CurSg = &block->Sg[0];
    block->SavedSg = &block->Sg[0];
    block->SgLeft = block->SgCount;
    block->SavedSgLeft = block->SgCount;
    block->CurOffset = 0;
    block->SavedOffset = 0;
}

// Set the block's data pointers to the start and link it into its LUN's queue.
static void LinkBlock(AdapterExtension* extension, LunRecord* lun, CommandBlock* block)
{
    PSCSI_REQUEST_BLOCK srb = block->Srb;

    RewindDataPointers(block);

    if (!lun->QueueTail) {
        lun->QueueHead = block;
        lun->QueueTail = block;
        JoinRing(extension, lun);
        return;
    }
    // Head of queue: directly behind the blocks already started, which
    // stay the front of the queue.
    if (lun->QueueDepth > 1 && (srb->SrbFlags & SRB_FLAGS_QUEUE_ACTION_ENABLE) &&
        srb->QueueAction == SRB_HEAD_OF_QUEUE_TAG_REQUEST) {
        InsertBehindStarted(lun, block);
        return;
    }
    lun->QueueTail->Next = block;
    lun->QueueTail = block;
}

// Count a prepared block into its LUN and link it into the queue; when the
// bus is free and the LUN may take another command, start the LUN's first
// waiting block, which is not necessarily this one: a command that QUEUE FULL
// sent back waits ahead of it.
void QueueBlock(AdapterExtension* extension, LunRecord* lun, CommandBlock* block)
{
    ULONG saved = SaveFlagsAndDisableInterrupts();

    lun->QueuedCount++;
    LinkBlock(extension, lun, block);
    // Interrupts stay off until the selection is counted, so the interrupt
    // that ends it finds the block started.
    if (!extension->ActiveLun && MayStartNext(lun))
        StartFirstWaiting(extension, lun);
    RestoreFlags(saved);
}

// A LUN with nothing queued, nothing started and out of the service ring.
void EmptyLun(LunRecord* lun)
{
    lun->RingNext = 0;
    lun->RingPrev = 0;
    lun->QueueHead = 0;
    lun->QueueTail = 0;
    lun->CurrentBlock = 0;
    lun->IssuedCount = 0;
    lun->QueuedCount = 0;
}

// Give every block of one LUN's queue back to the free list and empty the
// LUN, every tag free.
void FlushLun(AdapterExtension* extension, LunRecord* lun)
{
    CommandBlock* block = lun->QueueHead;

    while (block) {
        // The tail's link is not maintained: stop there.
        CommandBlock* next = block == lun->QueueTail ? 0 : block->Next;

        FreeBlock(extension, block);
        block = next;
    }
    EmptyLun(lun);
    lun->FreeTags = ALL_TAGS_FREE;
}

// Tell the port driver it may send the next request. We register one request
// per LU at a time, so the port holds a LU's next request until all its
// requests have ended, unless told that the LU can take another: a tagged LUN
// with commands outstanding, a free tag and room in its queue. NextLuRequest
// also opens the adapter for its next request. A LU with nothing outstanding
// the port reopens by itself.
void NotifyReady(AdapterExtension* extension, LunRecord* lun)
{
    if (lun->QueueDepth > 1 && lun->QueuedCount != 0 && lun->QueuedCount < MAX_QUEUED_PER_LUN &&
        lun->FreeTags != 0) {
        ScsiPortNotification(NextLuRequest, extension, (UCHAR)extension->PathId, lun->TargetId,
                             (UCHAR)(lun->IdentifyMsg & MSG_IDENTIFY_LUN_MASK));
        return;
    }
    ScsiPortNotification(NextRequest, extension);
}
