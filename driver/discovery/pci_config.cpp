// PCI configuration access through the PC's configuration mechanisms #1 and #2.
// Every access is one unit with processor interrupts disabled, so that no
// interrupt runs between opening and closing configuration space.
#include "discovery.h"
#include "pci.h"

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

// Whether mechanism #2 answers: its CSE (0xCF8) and forward (0xCFA) registers
// read back the zero just written to them, which also leaves configuration
// space closed. Without it the data ports 0xC000-0xCFFF belong to whatever
// devices the firmware placed there (a chip window, a receiver whose data is
// lost when read), so they are not touched before this has answered; the
// test itself touches nothing but 0xCF8 and 0xCFA.
BOOLEAN Mechanism2Present(void)
{
    ULONG flags = SaveFlagsAndDisableInterrupts();
    UCHAR cse, forward;

    ScsiPortWritePortUchar(ConfigPort(MECH2_CSE_OFFSET), 0);
    ScsiPortWritePortUchar(ConfigPort(MECH2_FORWARD_OFFSET), 0);
    cse = ScsiPortReadPortUchar(ConfigPort(MECH2_CSE_OFFSET));
    forward = ScsiPortReadPortUchar(ConfigPort(MECH2_FORWARD_OFFSET));
    RestoreFlags(flags);
    return cse == 0 && forward == 0;
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
static void OpenConfigRegister(UCHAR mechanism, UCHAR reg)
{
    if (mechanism == PCI_MECHANISM_2) {
        ScsiPortWritePortUchar(ConfigPort(MECH2_FORWARD_OFFSET), DriverGlobals.Mech2Forward);
        ScsiPortWritePortUchar(ConfigPort(MECH2_CSE_OFFSET), DriverGlobals.Mech2Cse);
        return;
    }
    ScsiPortWritePortUlong((PULONG)ConfigPort(0), (DriverGlobals.Mech1Address | reg) & ~3u);
}

// Close configuration space again.
static void CloseConfigAccess(UCHAR mechanism)
{
    if (mechanism == PCI_MECHANISM_2) {
        ScsiPortWritePortUchar(ConfigPort(MECH2_CSE_OFFSET), 0);
        return;
    }
    ScsiPortWritePortUlong((PULONG)ConfigPort(0), 0);
}

// One configuration access of `width` bytes (1, 2 or 4), opened and closed
// again with processor interrupts disabled throughout.
static ULONG ConfigAccess(UCHAR mechanism, UCHAR reg, UCHAR width, BOOLEAN write, ULONG value)
{
    ULONG flags = SaveFlagsAndDisableInterrupts();
    uintptr_t port;

    OpenConfigRegister(mechanism, reg);
    port = ConfigDataPort(mechanism, reg);
    if (write)
        ScsiPortWritePortUchar((PUCHAR)port, (UCHAR)value);
    else if (width == 1)
        value = ScsiPortReadPortUchar((PUCHAR)port);
    else if (width == 2)
        value = ScsiPortReadPortUshort((PUSHORT)port);
    else
        value = ScsiPortReadPortUlong((PULONG)port);
    CloseConfigAccess(mechanism);
    RestoreFlags(flags);
    return value;
}

UCHAR ReadConfigByte(UCHAR mechanism, UCHAR reg)
{
    return (UCHAR)ConfigAccess(mechanism, reg, 1, FALSE, 0);
}

USHORT ReadConfigWord(UCHAR mechanism, UCHAR reg)
{
    return (USHORT)ConfigAccess(mechanism, reg, 2, FALSE, 0);
}

ULONG ReadConfigDword(UCHAR mechanism, UCHAR reg)
{
    return ConfigAccess(mechanism, reg, 4, FALSE, 0);
}

void WriteConfigByte(UCHAR mechanism, UCHAR reg, UCHAR value)
{
    ConfigAccess(mechanism, reg, 1, TRUE, value);
}
