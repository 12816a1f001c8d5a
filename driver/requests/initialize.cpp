// Adapter initialization: the chip's configuration registers, the free list
// of command blocks and the 64 LUN records, from this adapter's settings.
#include "chip.h"
#include "engine.h"
#include "requests.h"
#include "scsi.h"

static void ProgramChip(ULONG ioBase, UCHAR config4)
{
    ChipWrite(ioBase, SelectTimeout, SELECT_TIMEOUT_250MS);
    ChipWrite(ioBase, ClockFactor, 0x00);
    WriteCommand(ioBase, Nop);
    ChipWrite(ioBase, Config2, CONFIG2_INIT);
    ChipWrite(ioBase, Config3, CONFIG3_NORMAL);
    ChipWrite(ioBase, Config4, config4);
    // Chip ID 0 and no parity until a selection loads a target's Config1.
    ChipWrite(ioBase, Config1, 0x00);
}

static void InitializeLun(AdapterExtension* extension, LunRecord* lun, UCHAR target, UCHAR lunNumber,
                          UCHAR config4)
{
    const UCHAR* settings = DriverGlobals.SettingsImage;
    UCHAR flags = settings[SETTINGS_TARGET_FLAGS(target)];
    UCHAR speed = settings[SETTINGS_TARGET_SPEED(target)];

    EmptyLun(lun);
    lun->TargetId = target;
    lun->TargetFlags = flags;
    if (flags & TF_TAGGED)
        extension->TagDepthShift = settings[SETTINGS_TAG_DEPTH_SHIFT];
    lun->QueueDepth = 1;
    lun->FreeTags = 0;
    // Speed indexes past the table's end offer no synchronous period.
    lun->SyncClocks = speed < sizeof(PeriodTable) ? PeriodTable[speed] : 0;
    lun->Config4 = config4;
    MakeAsynchronous(lun);
    lun->Config1 = (UCHAR)(settings[SETTINGS_INITIATOR_ID] | ((flags & TF_PARITY) ? CONFIG1_PARITY : 0));
    lun->SelectCode = SelectWithAtn;
    lun->IdentifyMsg = (UCHAR)(MSG_IDENTIFY + lunNumber + ((flags & TF_DISCONNECT) ? MSG_IDENTIFY_DISCONNECT : 0));
}

// Put the adapter's whole state into its starting form.
extern "C" BOOLEAN MINIPORT_API HwInitialize(PVOID HwDeviceExtension)
{
    AdapterExtension* extension = (AdapterExtension*)HwDeviceExtension;
    UCHAR config4 = CONFIG4_SLOW;

    InitializeBlockPool(extension);

    if (DriverGlobals.SettingsImage[SETTINGS_ADAPTER_OPTIONS] & OPT_CONFIG4_X04)
        config4 |= CONFIG4_X04;
    ProgramChip(extension->IoBase, config4);

    extension->ActiveLun = 0;
    extension->ServiceCursor = 0;

    for (UCHAR t = 0; t < MAX_TARGETS; t++)
        for (UCHAR l = 0; l < MAX_LUNS; l++)
            InitializeLun(extension, &extension->Lun[t][l], t, l, config4);

    return TRUE;
}
