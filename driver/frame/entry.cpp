// Driver entry and registration with the port driver.
#include "discovery.h"
#include "engine.h"
#include "frame.h"
#include "pci.h"
#include "requests.h"

struct DriverGlobals DriverGlobals;

// Synchronous period in chip clocks for settings speed index 0-6; 7 means none.
const UCHAR PeriodTable[8] = {4, 5, 6, 7, 8, 13, 20, 0};

// Set the driver-wide defaults, describe the driver and hand it to the port driver.
extern "C" ULONG MINIPORT_API DriverEntry(PVOID Argument1, PVOID Argument2)
{
    HW_INITIALIZATION_DATA init;
    DiscoveryContext context;
    UCHAR* bytes = (UCHAR*)&init;
    ULONG i;

    DriverGlobals.ConfigPortPhys = PCI_CONFIG_PORT_PHYS;
    DriverGlobals.Mech1Address = 0x80000000;

    for (i = 0; i < sizeof(init); i++)
        bytes[i] = 0;
    for (i = 0; i < MAX_ADAPTERS; i++)
        DriverGlobals.AdapterIoBase[i] = 0xFFFFFFFF;

    init.HwInitializationDataSize = sizeof(HW_INITIALIZATION_DATA);
    // A PCI device, but found through the configuration ports by the driver
    // itself: the port driver is told ISA.
    init.AdapterInterfaceType = Isa;
    init.HwInitialize = HwInitialize;
    init.HwStartIo = HwStartIo;
    init.HwInterrupt = HwInterrupt;
    init.HwFindAdapter = HwFindAdapter;
    init.HwResetBus = HwResetBus;
    init.HwDmaStarted = 0;
    init.HwAdapterState = HwAdapterState;
    init.DeviceExtensionSize = sizeof(AdapterExtension);
    init.SpecificLuExtensionSize = sizeof(LunRecord);
    init.SrbExtensionSize = 0;
    init.NumberOfAccessRanges = 1;
    // The interrupt routine reads returned INQUIRY data through DataBuffer:
    // only a mapped buffer's address is valid there.
    init.MapBuffers = TRUE;
    init.NeedPhysicalAddresses = TRUE;
    init.TaggedQueuing = TRUE;
    init.AutoRequestSense = FALSE;
    init.MultipleRequestPerLu = FALSE;
    init.ReceiveEvent = FALSE;

    context.AdapterCount = 0;
    context.Mechanism = PCI_MECHANISM_2;
    context.DeviceSelector = 0;

    return ScsiPortInitialize(Argument1, Argument2, &init, &context);
}

// Nothing to save or restore across a switch to real mode and back.
extern "C" BOOLEAN MINIPORT_API HwAdapterState(PVOID, PVOID, BOOLEAN)
{
    return TRUE;
}
