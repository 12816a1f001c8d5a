// The driver's whole state: one AdapterExtension per adapter (allocated by the
// port driver), the driver-wide DriverGlobals, and the constant PeriodTable.
#ifndef DRIVER_INCLUDE_ADAPTER_H
#define DRIVER_INCLUDE_ADAPTER_H

#include "miniport.h"
#include "settings.h"

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

// The REQ/ACK offset our SDTR offers: all the SyncOffset register holds.
#define SDTR_OFFER_OFFSET 0x0F

// LunRecord.StatusByte before the connected command has sent one.
#define STATUS_BYTE_NONE 0xFF

// LunRecord.FreeTags with every tag free.
#define ALL_TAGS_FREE 0xFFFFFFFF

// CommandBlock.Flags bits.
#define CB_POINTERS_SAVED 0x0001
#define CB_PARITY_ERROR 0x0002
#define CB_AGAINST_DIRECTION 0x0004  // a data phase the request's direction flags do not allow
#define CB_REJECT_PENDING 0x0008
#define CB_SDTR_PENDING 0x0010
#define CB_OVERRUN 0x0020
#define CB_CONNECTED 0x0040
#define CB_MSG_IN_PROGRESS 0x0080
#define CB_DMA_FAILED 0x0100
#define CB_TAGGED 0x0200  // sent with a queue tag: its reconnection must name it
#define CB_DISCONNECTED 0x0400      // the target said DISCONNECT: a bus free only suspends the command
#define CB_COMMAND_COMPLETE 0x0800  // COMMAND COMPLETE received: a bus free ends the command
#define CB_CDB_IN_FIFO 0x1000       // the selection left the CDB to the chip's own command phase
#define CB_CDB_SENT 0x2000          // the target has had the CDB: another command phase is an error
#define CB_ABORT_PENDING 0x4000     // a data-out phase against the request's direction: ABORT goes out next
#define CB_PHASE_SEEN 0x8000        // the target has asked for a phase for this command

// Bytes of message that go into the FIFO ahead of the CDB at selection.
#define MAX_CDB_LENGTH 16
#define SELECT_MESSAGE_BYTES 1
#define SELECT_TAGGED_MESSAGE_BYTES 3

// Polls of the DMA engine, 1 us apart, before a data-in phase is given up as
// failed: the last bytes reach memory within microseconds, so the wait is
// bounded near a millisecond with interrupts off.
#define DMA_WAIT_POLLS 500

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
#define LOG_ID_SECOND_COMMAND_PHASE 0x0503
#define LOG_ID_DMA_WAIT_EXPIRED 0x0601
#define LOG_ID_PORT_DRIVER_RESET 0x0701

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
    // The furthest the data pointer has been: what the data phases moved,
    // though a reconnection may restore an older pointer.
    ULONG Reached;
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
    // HwResetBus issued a reset on this adapter's bus and waits for its
    // interrupt (ResetPending); that interrupt has come (ResetSeen). Kept per
    // adapter: another adapter's reset wait says nothing about this bus.
    UCHAR ResetPending;
    UCHAR ResetSeen;
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
    ULONG Mech1Address;
    UCHAR Mech2Cse;
    UCHAR Mech2Forward;
    UCHAR AdapterIrq[MAX_ADAPTERS];
    ULONG ConfigPortPhys;
};

extern "C" {
extern struct DriverGlobals DriverGlobals;
extern const UCHAR PeriodTable[8];
}

#endif  // DRIVER_INCLUDE_ADAPTER_H
