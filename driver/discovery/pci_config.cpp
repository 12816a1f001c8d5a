// PCI configuration access through the PC's configuration mechanisms #1 and #2.
// Every access is one unit with processor interrupts disabled, so that no
// interrupt runs between opening and closing configuration space.
#include "adapter.h"

#define MECH1_ENABLE 0x80000000
#define MECH1_DATA_OFFSET 4      // port 0xCFC
#define MECH2_CSE_OFFSET 0       // port 0xCF8
#define MECH2_FORWARD_OFFSET 2   // port 0xCFA
#define MECH2_CSE_KEY 0x20
#define MECH2_PORT_HIGH_BASE 0xC0
#define MECH2_MAX_DEVICE_BIT 0x80  // selector bit 7: device 16 and up

static PUCHAR ConfigPort(ULONG offset)
{
    return (PUCHAR)(uintptr_t)(DriverGlobals.ConfigPortBase + offset);
}

// The data port of the current target's register.
static ULONG ConfigDataPort(UCHAR mechanism, UCHAR reg)
{
    if (mechanism == PCI_MECHANISM_2)
        return (ULONG)DriverGlobals.Mech2PortHigh * 256 + reg;
    return DriverGlobals.ConfigPortBase + MECH1_DATA_OFFSET;
}

// Make the function named by `selector` the current configuration target.
BOOLEAN SelectConfigTarget(UCHAR mechanism, USHORT selector)
{
    if (mechanism == PCI_MECHANISM_2) {
        // Mechanism #2 reaches devices 0-15 only.
        if (selector & MECH2_MAX_DEVICE_BIT)
            return FALSE;
        DriverGlobals.Mech2Forward = (UCHAR)(selector >> 8);
        DriverGlobals.Mech2PortHigh = (UCHAR)(MECH2_PORT_HIGH_BASE + (selector & 0xFF) / 8);
        DriverGlobals.Mech2Cse = (UCHAR)(MECH2_CSE_KEY + (selector & 7) * 2);
        return TRUE;
    }
    DriverGlobals.Mech1Address = MECH1_ENABLE + (ULONG)selector * 256;
    return TRUE;
}

// Point the configuration ports at `reg` of the current target.
void OpenConfigRegister(UCHAR mechanism, UCHAR reg)
{
    if (mechanism == PCI_MECHANISM_2) {
        ScsiPortWritePortUchar(ConfigPort(MECH2_FORWARD_OFFSET), DriverGlobals.Mech2Forward);
        ScsiPortWritePortUchar(ConfigPort(MECH2_CSE_OFFSET), DriverGlobals.Mech2Cse);
        return;
    }
    ScsiPortWritePortUlong((PULONG)ConfigPort(0), (DriverGlobals.Mech1Address | reg) & ~3u);
}

// Close configuration space again.
void CloseConfigAccess(UCHAR mechanism)
{
    if (mechanism == PCI_MECHANISM_2) {
        ScsiPortWritePortUchar(ConfigPort(MECH2_CSE_OFFSET), 0);
        return;
    }
    ScsiPortWritePortUlong((PULONG)ConfigPort(0), 0);
}

UCHAR ReadConfigByte(UCHAR mechanism, UCHAR reg)
{
    ULONG flags = SaveFlagsAndDisableInterrupts();
    OpenConfigRegister(mechanism, reg);
    UCHAR value = ScsiPortReadPortUchar((PUCHAR)(uintptr_t)ConfigDataPort(mechanism, reg));
    CloseConfigAccess(mechanism);
    RestoreFlags(flags);
    return value;
}

USHORT ReadConfigWord(UCHAR mechanism, UCHAR reg)
{
    ULONG flags = SaveFlagsAndDisableInterrupts();
    OpenConfigRegister(mechanism, reg);
    USHORT value = ScsiPortReadPortUshort((PUSHORT)(uintptr_t)ConfigDataPort(mechanism, reg));
    CloseConfigAccess(mechanism);
    RestoreFlags(flags);
    return value;
}

ULONG ReadConfigDword(UCHAR mechanism, UCHAR reg)
{
    ULONG flags = SaveFlagsAndDisableInterrupts();
    OpenConfigRegister(mechanism, reg);
    ULONG value = ScsiPortReadPortUlong((PULONG)(uintptr_t)ConfigDataPort(mechanism, reg));
    CloseConfigAccess(mechanism);
    RestoreFlags(flags);
    return value;
}

void WriteConfigByte(UCHAR mechanism, UCHAR reg, UCHAR value)
{
    ULONG flags = SaveFlagsAndDisableInterrupts();
    OpenConfigRegister(mechanism, reg);
    ScsiPortWritePortUchar((PUCHAR)(uintptr_t)ConfigDataPort(mechanism, reg), value);
    CloseConfigAccess(mechanism);
    RestoreFlags(flags);
}
