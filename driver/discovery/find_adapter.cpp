// Adapter discovery: the driver's own PCI scan, under mechanism #2 (where it
// answers) and then mechanism #1, for function 0 of devices with the
// adapter's identity.
#include "chip.h"
#include "discovery.h"
#include "pci.h"

#define BAR0_IO_MASK 0xFFFE  // low 16 bits, the I/O-space indicator cleared
#define NO_IRQ_NONE 0x00
#define NO_IRQ_UNSET 0xFF
#define MAX_SCSI_ID 7

// Probe from *selector on until a device with the adapter's identity is found
// or the mechanism's selector space is used up; a match fills discovery row `row`.
static BOOLEAN ScanForAdapter(UCHAR* mechanism, UCHAR row, USHORT* selector)
{
    BOOLEAN found = FALSE;

    do {
        if (SelectConfigTarget(*mechanism, *selector) &&
            ReadConfigDword(*mechanism, PCI_REG_ID) == ADAPTER_PCI_ID) {
            DriverGlobals.AdapterIrq[row] = ReadConfigByte(*mechanism, PCI_REG_INTERRUPT_LINE);
            DriverGlobals.AdapterIoBase[row] = ReadConfigWord(*mechanism, PCI_REG_BAR0) & BAR0_IO_MASK;
            found = TRUE;
        }
        // Function 0 of the next device, on into the next bus after device 31.
        *selector = (USHORT)(*selector + 8);
    } while (*selector != 0 && !found);

    // Wrapped past bus 255: this mechanism is exhausted, even after a match
    // at the very last selector.
    if (*selector == 0)
        (*mechanism)--;
    return found;
}

// Whether the port driver's mapping call gave a usable base. A mapping the
// port driver cannot provide comes back as zero; there is no adapter to
// drive through it.
static BOOLEAN MappingFailed(PVOID base)
{
    return base == 0;
}

static void DescribeAdapter(AdapterExtension* extension, PPORT_CONFIGURATION_INFORMATION config,
                            UCHAR row)
{
    UCHAR initiatorId = DriverGlobals.SettingsImage[SETTINGS_INITIATOR_ID];

    extension->InterruptLevel = DriverGlobals.AdapterIrq[row];
    extension->InitiatorId = initiatorId;
    extension->ReselectMask = (UCHAR)~(1u << initiatorId);

    config->InitiatorBusId[0] = (CCHAR)initiatorId;
    config->BusInterruptLevel = DriverGlobals.AdapterIrq[row];
    // A PCI interrupt line is level triggered and may be shared with other
    // functions; the port's default (Latched, for an Isa interface) would
    // connect it as an exclusive edge.
    config->InterruptMode = LevelSensitive;
    config->NumberOfBuses = 1;
    (*config->AccessRanges)[0].RangeStart =
        ScsiPortConvertUlongToPhysicalAddress(DriverGlobals.AdapterIoBase[row]);
    (*config->AccessRanges)[0].RangeLength = CHIP_WINDOW_LENGTH;
    (*config->AccessRanges)[0].RangeInMemory = FALSE;
    config->ScatterGather = TRUE;
    config->TaggedQueuing = TRUE;
    config->NumberOfPhysicalBreaks = MAX_SG_ENTRIES - 1;
    config->MaximumTransferLength = 0x10000;
    config->Master = TRUE;
    // The chip's DMA engine drives all 32 address lines: no buffer of ours
    // needs copying below 16 MiB.
    config->Dma32BitAddresses = TRUE;
}

// Find the next adapter, continuing the scan recorded in the discovery context.
extern "C" ULONG MINIPORT_API HwFindAdapter(PVOID HwDeviceExtension, PVOID HwContext, PVOID,
                                            PCHAR, PPORT_CONFIGURATION_INFORMATION ConfigInfo,
                                            BOOLEAN* Again)
{
    AdapterExtension* extension = (AdapterExtension*)HwDeviceExtension;
    DiscoveryContext* context = (DiscoveryContext*)HwContext;
    PVOID configBase;
    UCHAR row, mechanism;
    USHORT selector;
    ULONG wantedBase = 0;
    BOOLEAN reported = FALSE;

    configBase = ScsiPortGetDeviceBase(HwDeviceExtension, ConfigInfo->AdapterInterfaceType,
                                       ConfigInfo->SystemIoBusNumber,
                                       ScsiPortConvertUlongToPhysicalAddress(DriverGlobals.ConfigPortPhys),
                                       PCI_CONFIG_PORT_LENGTH, TRUE);
    if (MappingFailed(configBase)) {
        *Again = FALSE;
        return SP_RETURN_NOT_FOUND;
    }
    DriverGlobals.ConfigPortBase = (ULONG)(uintptr_t)configBase;

    row = context->AdapterCount;
    mechanism = context->Mechanism;
    selector = context->DeviceSelector;

    // The scan begins under mechanism #2 only where that mechanism answers;
    // elsewhere it begins under mechanism #1.
    if (mechanism == PCI_MECHANISM_2 && selector == 0 && row == 0 && !Mechanism2Present())
        mechanism = PCI_MECHANISM_1;

    if ((*ConfigInfo->AccessRanges)[0].RangeLength != 0)
        wantedBase = (*ConfigInfo->AccessRanges)[0].RangeStart.u.LowPart;

    while (row != MAX_ADAPTERS && mechanism != 0 && !reported) {
        // A match at the last selector lowers the working mechanism at once;
        // the adapter's EEPROM is still read under the one that found it.
        UCHAR foundMechanism = mechanism;
        if (!ScanForAdapter(&mechanism, row, &selector))
            continue;
        if (wantedBase != 0 && DriverGlobals.AdapterIoBase[row] != wantedBase)
            continue;
        if (DriverGlobals.AdapterIrq[row] == NO_IRQ_NONE || DriverGlobals.AdapterIrq[row] == NO_IRQ_UNSET)
            continue;
        // Seen before: the same adapter answers under both mechanisms. The search ends.
        for (UCHAR j = 0; j < row; j++) {
            if (DriverGlobals.AdapterIoBase[row] == DriverGlobals.AdapterIoBase[j]) {
                *Again = FALSE;
                ScsiPortFreeDeviceBase(HwDeviceExtension, configBase);
                return SP_RETURN_NOT_FOUND;
            }
        }
        if (!ReadSettingsEeprom(DriverGlobals.SettingsImage, foundMechanism))
            continue;
        // An initiator ID that is no ID on an 8-bit bus makes the settings
        // as unusable as a bad checksum.
        if (DriverGlobals.SettingsImage[SETTINGS_INITIATOR_ID] > MAX_SCSI_ID)
            continue;

        PVOID chipBase = ScsiPortGetDeviceBase(HwDeviceExtension, ConfigInfo->AdapterInterfaceType,
                                               ConfigInfo->SystemIoBusNumber,
                                               ScsiPortConvertUlongToPhysicalAddress(DriverGlobals.AdapterIoBase[row]),
                                               CHIP_WINDOW_LENGTH, TRUE);
        if (MappingFailed(chipBase))
            continue;
        extension->IoBase = (ULONG)(uintptr_t)chipBase;
        DescribeAdapter(extension, ConfigInfo, row);
        *Again = wantedBase == 0 ? TRUE : FALSE;
        row++;
        reported = TRUE;
    }

    if (row == MAX_ADAPTERS || !reported)
        *Again = FALSE;

    context->AdapterCount = row;
    context->DeviceSelector = selector;
    context->Mechanism = mechanism;

    ScsiPortFreeDeviceBase(HwDeviceExtension, configBase);
    return reported ? SP_RETURN_FOUND : SP_RETURN_NOT_FOUND;
}
