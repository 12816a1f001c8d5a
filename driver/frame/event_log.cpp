// Recovered errors go to the system event log through the port driver. Each
// site writes one entry for one occurrence and never from inside a loop, so
// that a misbehaving device cannot flood the log faster than it misbehaves.
#include "frame.h"
#include "scsi.h"

void LogRecoveredError(AdapterExtension* extension, LunRecord* lun, CommandBlock* block, ULONG errorCode,
                       ULONG uniqueId)
{
    // With no device to name, the entry names the adapter itself.
    UCHAR target = extension->InitiatorId;
    UCHAR lunNumber = 0;

    if (lun) {
        target = lun->TargetId;
        lunNumber = (UCHAR)(lun->IdentifyMsg & MSG_IDENTIFY_LUN_MASK);
    }
    ScsiPortLogError(extension, block ? block->Srb : 0, (UCHAR)extension->PathId, target, lunNumber, errorCode,
                     uniqueId);
}
