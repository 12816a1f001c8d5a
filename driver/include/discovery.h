// Discovery: PCI configuration access, the adapter scan and the settings EEPROM.
#ifndef DRIVER_INCLUDE_DISCOVERY_H
#define DRIVER_INCLUDE_DISCOVERY_H

#include "adapter.h"

extern "C" {
ULONG MINIPORT_API HwFindAdapter(PVOID HwDeviceExtension, PVOID HwContext, PVOID BusInformation,
                                 PCHAR ArgumentString, PPORT_CONFIGURATION_INFORMATION ConfigInfo,
                                 BOOLEAN* Again);
}

// PCI configuration access through either mechanism.
BOOLEAN Mechanism2Present(void);
BOOLEAN SelectConfigTarget(UCHAR mechanism, USHORT selector);
UCHAR ReadConfigByte(UCHAR mechanism, UCHAR reg);
USHORT ReadConfigWord(UCHAR mechanism, UCHAR reg);
ULONG ReadConfigDword(UCHAR mechanism, UCHAR reg);
void WriteConfigByte(UCHAR mechanism, UCHAR reg, UCHAR value);

// The settings EEPROM into a 128-byte image.
BOOLEAN ReadSettingsEeprom(UCHAR* image, UCHAR mechanism);

#endif  // DRIVER_INCLUDE_DISCOVERY_H
