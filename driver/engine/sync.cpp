// Synchronous transfer negotiation: turn the target's SDTR answer into the
// chip's timing registers, or fall back to asynchronous transfer.
#include "chip.h"
#include "engine.h"

// SDTR period factor for our offer: chip clocks of 25 ns in units of 4 ns.
UCHAR OfferedPeriodFactor(LunRecord* lun)
{
    USHORT nanoseconds = (USHORT)(lun->SyncClocks * 25);

    return (UCHAR)(nanoseconds / 4);
}

// Write the LUN's timing set to the chip, end the exchange, and share the
// agreement with every LUN of the target: a target keeps one agreement for
// all its LUNs, whichever LUN's command negotiated it.
static void ApplySyncSettings(AdapterExtension* extension, LunRecord* lun, CommandBlock* block)
{
    ULONG ioBase = extension->IoBase;
    LunRecord* other;

    ChipWrite(ioBase, SyncPeriod, lun->SyncPeriodReg);
    ChipWrite(ioBase, SyncOffset, lun->SyncOffsetReg);
    ChipWrite(ioBase, Config3, lun->Config3);
    ChipWrite(ioBase, Config4, lun->Config4);
    block->Flags &= ~CB_SDTR_PENDING;

    for (UCHAR l = 0; l < MAX_LUNS; l++) {
        other = &extension->Lun[lun->TargetId][l];
        if (other == lun)
            continue;
        other->SyncPeriodReg = lun->SyncPeriodReg;
        other->SyncOffsetReg = lun->SyncOffsetReg;
        other->Config4 = lun->Config4;
        other->Config3 = lun->Config3;
        other->Asynchronous = lun->Asynchronous;
    }
}

// The LUN's record set for asynchronous transfer: no period, no offset, the
// normal and slow timing settings. Loaded into the chip at the next selection
// or reselection.
void MakeAsynchronous(LunRecord* lun)
{
    lun->SyncPeriodReg = 0;
    lun->SyncOffsetReg = 0;
    lun->Asynchronous = 1;
    lun->Config3 = CONFIG3_NORMAL;
    lun->Config4 = (UCHAR)((lun->Config4 & CONFIG4_SYNC_CLEAR) | CONFIG4_SLOW);
}

// Asynchronous transfer for this LUN's target, in the chip at once.
void FallBackToAsynchronous(AdapterExtension* extension, LunRecord* lun, CommandBlock* block)
{
    MakeAsynchronous(lun);
    ApplySyncSettings(extension, lun, block);
}

// The target answered with timing we cannot run: refuse it with MESSAGE
// REJECT, which leaves both sides asynchronous.
static void RefuseSdtrReply(AdapterExtension* extension, LunRecord* lun, CommandBlock* block)
{
    FallBackToAsynchronous(extension, lun, block);
    block->Flags |= CB_REJECT_PENDING;
    WriteCommand(extension->IoBase, SetAtn);
}

// Convert the target's answer (period factor in 4 ns units, REQ/ACK offset).
void AcceptSdtrReply(AdapterExtension* extension, LunRecord* lun, CommandBlock* block, UCHAR period,
                     UCHAR offset)
{
    USHORT x;
    USHORT clocks;
    UCHAR periodReg;

    // Offset 0 is an agreement to run asynchronous.
    if (offset == 0) {
        FallBackToAsynchronous(extension, lun, block);
        return;
    }
    // Faster than offered (which is never faster than the chip runs; period
    // 0 among them), or an offset above what we offered and SyncOffset holds.
    if (period < OfferedPeriodFactor(lun) || offset > SYNC_OFFSET_MAX) {
        RefuseSdtrReply(extension, lun, block);
        return;
    }

    // Chip clocks of 25 ns, rounded up, so we never run faster than agreed.
    x = (USHORT)(4 * period - 1);
    clocks = (USHORT)(x / 25);
    if (clocks * 25 < x)
        clocks++;
    periodReg = (UCHAR)(clocks > SYNC_FAST_CLOCKS_MAX ? clocks - 1 : clocks);
    // Slower than SyncPeriod can hold.
    if (periodReg > SYNC_PERIOD_REG_MAX) {
        RefuseSdtrReply(extension, lun, block);
        return;
    }

    lun->SyncOffsetReg = offset;
    lun->Asynchronous = 0;
    lun->SyncPeriodReg = periodReg;
    lun->Config4 &= CONFIG4_SYNC_CLEAR;
    if (clocks > SYNC_FAST_CLOCKS_MAX) {
        lun->Config3 = CONFIG3_NORMAL;
        lun->Config4 |= CONFIG4_SLOW;
    } else {
        lun->Config3 = CONFIG3_FAST;
    }
    ApplySyncSettings(extension, lun, block);
}
