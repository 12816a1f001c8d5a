// LUN queues and the service ring: a prepared block joins its LUN's queue,
// the LUN joins the ring of LUNs with work, and the block is selected at once
// when the bus is free and the LUN has room.
#include "adapter.h"

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

// Insert a head-of-queue block directly behind the blocks already started, so
// that the started blocks stay the front of the queue.
static void InsertBehindStarted(LunRecord* lun, CommandBlock* block)
{
    ULONG others = (ULONG)lun->QueuedCount - 1;
    CommandBlock* previous;

    if (lun->IssuedCount == 0) {
        block->Next = lun->QueueHead;
        lun->QueueHead = block;
        return;
    }
    // Started at once (or nothing waits): it goes behind all the others.
    if (lun->IssuedCount >= others) {
        lun->QueueTail->Next = block;
        lun->QueueTail = block;
        return;
    }
    previous = lun->QueueHead;
    for (ULONG i = 1; i < lun->IssuedCount; i++)
        previous = previous->Next;
    block->Next = previous->Next;
    previous->Next = block;
}

// Current and saved data pointers back to the start of the data.
void RewindDataPointers(CommandBlock* block)
{
    block->CurSg = &block->Sg[0];
    block->SavedSg = &block->Sg[0];
    block->SgLeft = block->SgCount;
    block->SavedSgLeft = block->SgCount;
    block->CurOffset = 0;
    block->SavedOffset = 0;
}

// Set the block's data pointers to the start and link it into its LUN's queue.
void LinkBlock(AdapterExtension* extension, LunRecord* lun, CommandBlock* block)
{
    PSCSI_REQUEST_BLOCK srb = block->Srb;

    RewindDataPointers(block);

    if (!lun->QueueTail) {
        lun->QueueHead = block;
        lun->QueueTail = block;
        JoinRing(extension, lun);
        return;
    }
    if (lun->QueueDepth > 1 && (srb->SrbFlags & SRB_FLAGS_QUEUE_ACTION_ENABLE) &&
        srb->QueueAction == SRB_HEAD_OF_QUEUE_TAG_REQUEST) {
        InsertBehindStarted(lun, block);
        return;
    }
    lun->QueueTail->Next = block;
    lun->QueueTail = block;
}

// Count a prepared block into its LUN, start it if the bus is free and the
// LUN may take another command, and link it into the queue.
void QueueBlock(AdapterExtension* extension, LunRecord* lun, CommandBlock* block)
{
    ULONG saved = SaveFlagsAndDisableInterrupts();

    lun->QueuedCount++;
    // Interrupts stay off until the block is linked, so the interrupt that
    // ends this selection cannot find it half queued.
    if (!extension->ActiveLun && lun->IssuedCount < lun->QueueDepth) {
        StartSelection(extension, lun, block);
        // Not started while a reselection waits to be serviced.
        if (extension->ActiveLun) {
            extension->ActiveLun->IssuedCount++;
            extension->ActiveLun->CurrentBlock = block;
        }
    }
    LinkBlock(extension, lun, block);
    RestoreFlags(saved);
}
