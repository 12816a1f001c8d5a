// The settings EEPROM: 64 words read into a 128-byte image, with a byte of
// flags and a speed index per target and a few adapter-wide options.
#ifndef DRIVER_INCLUDE_SETTINGS_H
#define DRIVER_INCLUDE_SETTINGS_H

// Image layout (byte offsets).
#define SETTINGS_IMAGE_SIZE 128
#define SETTINGS_WORDS 64
#define SETTINGS_CHECKSUM 0x1234
#define SETTINGS_TARGET_FLAGS(t) (4 * (t))
#define SETTINGS_TARGET_SPEED(t) (4 * (t) + 1)
#define SETTINGS_INITIATOR_ID 64
#define SETTINGS_ADAPTER_OPTIONS 65
#define SETTINGS_TAG_DEPTH_SHIFT 67

// Target flag bits (also LunRecord.TargetFlags).
#define TF_PARITY 0x01
#define TF_SYNC 0x02
#define TF_DISCONNECT 0x04
#define TF_TAGGED 0x10

// Adapter option bits.
#define OPT_CONFIG4_X04 0x08

#endif  // DRIVER_INCLUDE_SETTINGS_H
