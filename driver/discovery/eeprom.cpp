// The settings EEPROM: 64 16-bit words behind a three-wire serial protocol,
// driven through the adapter's PCI configuration registers 0x80 (clock 0x80,
// data in 0x40) and 0xC0 (select), and sampled through register 0x00, whose
// low byte reads 0x22 exactly while the EEPROM's data output is 1.
#include "discovery.h"
#include "pci.h"

#define EEPROM_CLOCK 0x80
#define EEPROM_DATA_IN 0x40
#define EEPROM_DATA_OUT_HIGH 0x22
#define EEPROM_READ_OPCODE 0x80  // start bit follows separately; opcode 10, address in bits 0-5
#define REFRESH_TOGGLE 0x10
// An ISA port read takes about a microsecond, so this many reads outlast two
// refresh periods. The bound keeps a machine whose port 0x61 never toggles
// (or has no refresh bit at all) from hanging start-up; the delay is then
// about as long as a real one.
#define EEPROM_DELAY_MAX_READS 32

// Wait for the next memory-refresh toggle of system control port B: at most
// one refresh period, about 15 us.
static void EepromDelay(void)
{
    UCHAR first = ReadSystemControlPort() & REFRESH_TOGGLE;
    for (int reads = 0; reads < EEPROM_DELAY_MAX_READS; reads++)
        if ((ReadSystemControlPort() & REFRESH_TOGGLE) != first)
            return;
}

static void EepromSelect(UCHAR mechanism, BOOLEAN on)
{
    if (on) {
        WriteConfigByte(mechanism, PCI_REG_EEPROM_SELECT, 0x00);
    } else {
        WriteConfigByte(mechanism, PCI_REG_EEPROM_LINES, 0x00);
        WriteConfigByte(mechanism, PCI_REG_EEPROM_LINES, 0x00);
    }
    EepromDelay();
}

// Clock one bit into the EEPROM.
static void EepromWriteBit(UCHAR mechanism, UCHAR bit)
{
    if (bit) {
        WriteConfigByte(mechanism, PCI_REG_EEPROM_LINES, EEPROM_DATA_IN);
        EepromDelay();
        WriteConfigByte(mechanism, PCI_REG_EEPROM_LINES, EEPROM_CLOCK | EEPROM_DATA_IN);
        EepromDelay();
        WriteConfigByte(mechanism, PCI_REG_EEPROM_LINES, 0x00);
        EepromDelay();
    } else {
        EepromDelay();
        WriteConfigByte(mechanism, PCI_REG_EEPROM_LINES, EEPROM_CLOCK);
        EepromDelay();
        WriteConfigByte(mechanism, PCI_REG_EEPROM_LINES, 0x00);
        EepromDelay();
    }
}

// Start bit, then the command byte from bit 7 down.
static void EepromSendCommand(UCHAR mechanism, UCHAR command)
{
    EepromWriteBit(mechanism, 1);
    for (int bit = 7; bit >= 0; bit--)
        EepromWriteBit(mechanism, (UCHAR)((command >> bit) & 1));
}

static UCHAR EepromReadBit(UCHAR mechanism)
{
    WriteConfigByte(mechanism, PCI_REG_EEPROM_LINES, EEPROM_CLOCK);
    EepromDelay();
    WriteConfigByte(mechanism, PCI_REG_EEPROM_LINES, EEPROM_DATA_IN);
    EepromDelay();
    return ReadConfigByte(mechanism, PCI_REG_ID) == EEPROM_DATA_OUT_HIGH ? 1 : 0;
}

// Sixteen bits, most significant first.
static USHORT EepromReadWord(UCHAR mechanism)
{
    USHORT word = 0;
    for (int i = 0; i < 16; i++)
        word = (USHORT)((word << 1) | EepromReadBit(mechanism));
    return word;
}

static void EepromReadAll(UCHAR* image, UCHAR mechanism)
{
    for (UCHAR n = 0; n < SETTINGS_WORDS; n++) {
        EepromSelect(mechanism, TRUE);
        EepromSendCommand(mechanism, (UCHAR)(EEPROM_READ_OPCODE + n));
        USHORT word = EepromReadWord(mechanism);
        image[2 * n] = (UCHAR)word;
        image[2 * n + 1] = (UCHAR)(word >> 8);
        EepromSelect(mechanism, FALSE);
    }
}

// Read the current configuration target's settings EEPROM into `image` and
// check it: the 64 words must sum to 0x1234.
BOOLEAN ReadSettingsEeprom(UCHAR* image, UCHAR mechanism)
{
    USHORT sum = 0;

    EepromReadAll(image, mechanism);
    for (int n = 0; n < SETTINGS_WORDS; n++)
        sum = (USHORT)(sum + (image[2 * n] | (image[2 * n + 1] << 8)));
    return sum == SETTINGS_CHECKSUM;
}
