// The driver's whole state: one AdapterExtension per adapter (allocated by the
// port driver), the driver-wide DriverGlobals, and the constant PeriodTable.
// Also the driver's own routines, grouped by subsystem.
#ifndef DRIVER_INCLUDE_ADAPTER_H
#define DRIVER_INCLUDE_ADAPTER_H

#include "chip.h"
#include "miniport.h"

#define MAX_ADAPTERS 4
#define MAX_TARGETS 8
#define MAX_LUNS 8
#define COMMAND_BLOCK_COUNT 96
#define MAX_QUEUED_PER_LUN 17
#define MAX_SG_ENTRIES 17
#define MAX_TAG_DEPTH 16
#define RESET_WAIT_POLLS 500

// Queue action default when the request does not name one.
#define DEFAULT_TAG_MESSAGE SRB_ORDERED_QUEUE_TAG_REQUEST

// SCSI messages.
#define MSG_COMMAND_COMPLETE 0x00
#define MSG_EXTENDED 0x01
#define MSG_SAVE_DATA_POINTER 0x02
#define MSG_RESTORE_POINTERS 0x03
#define MSG_DISCONNECT 0x04
#define MSG_INITIATOR_DETECTED_ERROR 0x05
#define MSG_ABORT 0x06
#define MSG_MESSAGE_REJECT 0x07
#define MSG_ABORT_TAG 0x0D
#define MSG_SIMPLE_QUEUE_TAG 0x20
#define MSG_HEAD_OF_QUEUE_TAG 0x21
#define MSG_ORDERED_QUEUE_TAG 0x22
#define MSG_TWO_BYTE_FIRST 0x20
#define MSG_TWO_BYTE_LAST 0x2F
#define MSG_IDENTIFY 0x80
#define MSG_IDENTIFY_DISCONNECT 0x40
#define MSG_IDENTIFY_LUN_MASK 0x07

#define EXT_MSG_SDTR_LENGTH 0x03
#define EXT_MSG_SDTR 0x01
#define SDTR_OFFER_OFFSET 0x0F
// The SyncOffset register holds offsets 0-15; SyncPeriod holds five bits,
// so the slowest period it runs is 32 clocks (800 ns, factor 200).
#define SYNC_OFFSET_MAX 0x0F
#define SYNC_PERIOD_REG_MAX 0x1F
// Synchronous periods up to this many clocks run with the fast Config3/Config4 settings.
#define SYNC_FAST_CLOCKS_MAX 8
#define CONFIG4_SYNC_CLEAR 0x3F
#define CONFIG4_SLOW 0x80

// SCSI operation codes and status bytes the driver looks at.
#define SCSIOP_REQUEST_SENSE 0x03
#define SCSIOP_INQUIRY 0x12

#define SCSISTAT_GOOD 0x00
#define SCSISTAT_CHECK_CONDITION 0x02
#define SCSISTAT_QUEUE_FULL 0x28
#define STATUS_BYTE_NONE 0xFF

// Settings EEPROM image layout (byte offsets in the 128-byte image).
#define SETTINGS_IMAGE_SIZE 128
#define SETTINGS_WORDS 64
#define SETTINGS_CHECKSUM 0x1234
#define SETTINGS_TARGET_FLAGS(t) (4 * (t))
#define SETTINGS_TARGET_SPEED(t) (4 * (t) + 1)
#define SETTINGS_INITIATOR_ID 64
#define SETTINGS_ADAPTER_OPTIONS 65
#define SETTINGS_TAG_DEPTH_SHIFT 67

// Target flag bits (TargetSettings[t].Flags, LunRecord.TargetFlags).
#define TF_PARITY 0x01
#define TF_SYNC 0x02
#define TF_DISCONNECT 0x04
#define TF_TAGGED 0x10

// Adapter option bits.
#define OPT_CONFIG4_X04 0x08

// CommandBlock.Flags bits.
#define CB_POINTERS_SAVED 0x0001
#define CB_PARITY_ERROR 0x0002
#define CB_REJECT_PENDING 0x0008
#define CB_SDTR_PENDING 0x0010
#define CB_OVERRUN 0x0020
#define CB_CONNECTED 0x0040
#define CB_MSG_IN_PROGRESS 0x0080
#define CB_DMA_FAILED 0x0100
#define CB_TAGGED 0x0200  // sent with a queue tag: its reconnection must name it
#define CB_DISCONNECTED 0x0400      // the target said DISCONNECT: a bus free only suspends the command
#define CB_COMMAND_COMPLETE 0x0800  // COMMAND COMPLETE received: a bus free ends the command

// Bytes of message that go into the FIFO ahead of the CDB at selection.
#define MAX_CDB_LENGTH 16
#define SELECT_MESSAGE_BYTES 1
#define SELECT_TAGGED_MESSAGE_BYTES 3

// Polls of the DMA engine, 1 us apart, before a data-in phase is given up as
// failed: the last bytes reach memory within microseconds, so the wait is
// bounded near a millisecond with interrupts off.
#define DMA_WAIT_POLLS 500

// Transfer counter value a pad transfer starts with (each of the three bytes).
#define PAD_COUNT_BYTE 0xFF

// INQUIRY data the driver looks at.
#define INQUIRY_NO_DEVICE 0x7F
#define INQUIRY_DIRECT_ACCESS 0x00
#define INQUIRY_OPTICAL 0x07
#define INQUIRY_VERSION_BYTE 2
#define INQUIRY_VERSION_MASK 0x06
#define INQUIRY_FLAGS_BYTE 7
#define INQUIRY_CMDQUE 0x02
#define INQUIRY_NO_DEVICE_LENGTH 5
#define ALL_TAGS_FREE 0xFFFFFFFF

// Unique ids of the event-log entries: one per place that writes one, so
// that an entry tells which check found the error.
#define LOG_ID_DATA_IN_PARITY 0x0101
#define LOG_ID_BUS_FREE_WITHOUT_STATUS 0x0201
#define LOG_ID_RESELECTION_BAD_ID 0x0301
#define LOG_ID_RESELECTION_NOTHING_STARTED 0x0302
#define LOG_ID_RESELECTION_UNKNOWN_TAG 0x0303
#define LOG_ID_RESET_WAIT_EXPIRED 0x0401
#define LOG_ID_PHASE_WITHOUT_COMMAND 0x0501
#define LOG_ID_PHASE_BEFORE_TAG 0x0502
#define LOG_ID_PORT_DRIVER_RESET 0x0701

// PCI identity of the adapter's chip: device 0x2020, vendor 0x1022.
#define ADAPTER_PCI_ID 0x20201022
#define PCI_REG_ID 0x00
#define PCI_REG_BAR0 0x10
#define PCI_REG_INTERRUPT_LINE 0x3C
#define PCI_REG_EEPROM_LINES 0x80
#define PCI_REG_EEPROM_SELECT 0xC0
#define PCI_CONFIG_PORT_PHYS 0xCF8
#define PCI_CONFIG_PORT_LENGTH 8
#define PCI_MECHANISM_1 1
#define PCI_MECHANISM_2 2

struct LunRecord;
struct CommandBlock;

struct SgEntry {
    ULONG PhysicalAddress;
    ULONG Length;
};

struct CommandBlock {
    CommandBlock* Next;
    PSCSI_REQUEST_BLOCK Srb;
    SgEntry* SavedSg;
    ULONG SavedOffset;
    UCHAR SavedSgLeft;
    UCHAR SgLeft;
    UCHAR TagMessage;
    UCHAR Tag;
    USHORT Flags;
    SgEntry* CurSg;
    ULONG CurOffset;
    SgEntry Sg[MAX_SG_ENTRIES];
    UCHAR ScsiStatus;
    UCHAR SrbStatus;
    UCHAR SgCount;
};

struct LunRecord {
    // Chip register values loaded at every selection and reselection.
    UCHAR TargetId;
    UCHAR SyncPeriodReg;
    UCHAR SyncOffsetReg;
    UCHAR Config3;
    UCHAR Config4;
    UCHAR Config1;
    UCHAR SelectCode;
    UCHAR IdentifyMsg;
    UCHAR Asynchronous;
    UCHAR TargetFlags;
    UCHAR SyncClocks;
    ULONG FreeTags;
    CommandBlock* QueueHead;
    CommandBlock* QueueTail;
    CommandBlock* CurrentBlock;
    LunRecord* RingNext;
    LunRecord* RingPrev;
    UCHAR Phase;
    UCHAR MessageByte;
    UCHAR StatusByte;
    UCHAR IssuedCount;
    UCHAR QueueDepth;
    UCHAR QueuedCount;
};

struct AdapterExtension {
    ULONG IoBase;
    LunRecord* ActiveLun;
    LunRecord* ServiceCursor;
    UCHAR InterruptLevel;
    UCHAR InitiatorId;
    ULONG PathId;
    LunRecord Lun[MAX_TARGETS][MAX_LUNS];
    CommandBlock Blocks[COMMAND_BLOCK_COUNT];
    CommandBlock* FreeBlocks;
    UCHAR* MsgInPtr;
    UCHAR MsgInRemaining;
    UCHAR MsgInCode;
    UCHAR MsgInBytes[4];
    UCHAR ReselectMask;
    UCHAR TagDepthShift;
    // The chip has been told to answer reselection (since the last bus free)
    // and may be reselected at any moment: its FIFO must not be flushed then.
    UCHAR ReselectionArmed;
};

// The scan position handed to every HwFindAdapter call.
struct DiscoveryContext {
    UCHAR AdapterCount;
    UCHAR Mechanism;
    USHORT DeviceSelector;
};

// Driver-wide state: zero at load except what DriverEntry sets.
struct DriverGlobals {
    UCHAR SettingsImage[SETTINGS_IMAGE_SIZE];
    ULONG AdapterIoBase[MAX_ADAPTERS];
    UCHAR Mech2PortHigh;
    ULONG ConfigPortBase;
    UCHAR ResetPending;
    ULONG Mech1Address;
    UCHAR Mech2Cse;
    UCHAR Mech2Forward;
    UCHAR AdapterIrq[MAX_ADAPTERS];
    ULONG ConfigPortPhys;
    UCHAR ResetSeen;
};

extern "C" {
extern struct DriverGlobals DriverGlobals;
extern const UCHAR PeriodTable[8];

// Frame.
ULONG MINIPORT_API DriverEntry(PVOID Argument1, PVOID Argument2);
BOOLEAN MINIPORT_API HwAdapterState(PVOID HwDeviceExtension, PVOID Context, BOOLEAN SaveState);

// Discovery.
ULONG MINIPORT_API HwFindAdapter(PVOID HwDeviceExtension, PVOID HwContext, PVOID BusInformation,
                                 PCHAR ArgumentString, PPORT_CONFIGURATION_INFORMATION ConfigInfo,
                                 BOOLEAN* Again);

// Requests.
BOOLEAN MINIPORT_API HwInitialize(PVOID HwDeviceExtension);
BOOLEAN MINIPORT_API HwStartIo(PVOID HwDeviceExtension, PSCSI_REQUEST_BLOCK Srb);
BOOLEAN MINIPORT_API HwResetBus(PVOID HwDeviceExtension, ULONG PathId);

// Engine.
BOOLEAN MINIPORT_API HwInterrupt(PVOID HwDeviceExtension);
}

// PCI configuration access.
BOOLEAN SelectConfigTarget(UCHAR mechanism, USHORT selector);
void OpenConfigRegister(UCHAR mechanism, UCHAR reg);
void CloseConfigAccess(UCHAR mechanism);
UCHAR ReadConfigByte(UCHAR mechanism, UCHAR reg);
USHORT ReadConfigWord(UCHAR mechanism, UCHAR reg);
ULONG ReadConfigDword(UCHAR mechanism, UCHAR reg);
void WriteConfigByte(UCHAR mechanism, UCHAR reg, UCHAR value);

// Settings EEPROM.
BOOLEAN ReadSettingsEeprom(UCHAR* image, UCHAR mechanism);

// Adapter scan.
BOOLEAN ScanForAdapter(UCHAR* mechanism, UCHAR row, USHORT* selector);

// Initialization and the command block pool.
void ClearBlock(CommandBlock* block);
CommandBlock* AllocateBlock(AdapterExtension* extension);
LunRecord* LookupLun(AdapterExtension* extension, UCHAR target, UCHAR lun);

// Block preparation, LUN queues and the service ring.
BOOLEAN PrepareBlock(AdapterExtension* extension, LunRecord* lun, CommandBlock* block,
                     PSCSI_REQUEST_BLOCK srb);
BOOLEAN TakeTag(LunRecord* lun, CommandBlock* block);
BOOLEAN CommandNeverTagged(UCHAR opcode);
void QueueBlock(AdapterExtension* extension, LunRecord* lun, CommandBlock* block);
void LinkBlock(AdapterExtension* extension, LunRecord* lun, CommandBlock* block);
void UnlinkBlock(LunRecord* lun, CommandBlock* block);
void InsertAt(LunRecord* lun, CommandBlock* block, ULONG position);
CommandBlock* FirstWaitingBlock(LunRecord* lun);
void RewindDataPointers(CommandBlock* block);

// Bus reset.
void FlushAllRequests(AdapterExtension* extension, ULONG pathId);
void ResetBusAndWait(AdapterExtension* extension, ULONG pathId);

// The system event log: one entry per recovered error. `lun` and `block`
// name the device and request concerned, when there are such.
void LogRecoveredError(AdapterExtension* extension, LunRecord* lun, CommandBlock* block, ULONG errorCode,
                       ULONG uniqueId);

// Bus-phase engine.
void StartSelection(AdapterExtension* extension, LunRecord* lun, CommandBlock* block);
void LoadTargetSettings(ULONG ioBase, LunRecord* lun);
void ResetBusToRecover(AdapterExtension* extension);
void LoadCdb(ULONG ioBase, CommandBlock* block);
void HandleReselection(AdapterExtension* extension);
void RestorePointers(CommandBlock* block);
void ReconnectBlock(CommandBlock* block);
void StartPhase(AdapterExtension* extension, UCHAR phase);
void StartDataTransfer(ULONG ioBase, CommandBlock* block, UCHAR direction);
void ProgramDma(ULONG ioBase, CommandBlock* block, UCHAR direction);
void FinishPhase(AdapterExtension* extension, UCHAR* status);
void HandleDisconnect(AdapterExtension* extension);
void RetireBlock(AdapterExtension* extension, CommandBlock* block, PSCSI_REQUEST_BLOCK srb);
void StartNextCommand(AdapterExtension* extension, LunRecord* start);
UCHAR OfferedPeriodFactor(LunRecord* lun);
void AcceptSdtrReply(AdapterExtension* extension, LunRecord* lun, CommandBlock* block,
                     UCHAR period, UCHAR offset);
void FallBackToAsynchronous(AdapterExtension* extension, LunRecord* lun, CommandBlock* block);
void ApplySyncSettings(AdapterExtension* extension, LunRecord* lun, CommandBlock* block);

#endif  // DRIVER_INCLUDE_ADAPTER_H
