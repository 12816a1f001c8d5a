// The controller chip: a SCSI core (FIFO, 24-bit transfer counter, sequence
// commands) at 0x00-0x3C and a bus-master DMA engine at 0x40-0x5C, in one
// 96-byte I/O window. Registers are 8 bits wide unless noted.
#ifndef DRIVER_INCLUDE_CHIP_H
#define DRIVER_INCLUDE_CHIP_H

#include "miniport.h"

#define CHIP_WINDOW_LENGTH 0x60

// Register offsets from IoBase. Where reading and writing an offset mean
// different registers, both names are given.
enum ChipRegister : ULONG {
    TransferCountLow = 0x00,   // R/W: counter bits 0-7
    TransferCountMid = 0x04,   // R/W: counter bits 8-15
    Fifo = 0x08,               // R/W
    Command = 0x0C,            // W
    Status = 0x10,             // R: phase bits 0-2, parity error 0x20
    DestinationId = 0x10,      // W
    InterruptStatus = 0x14,    // R: cause; the read clears it
    SelectTimeout = 0x14,      // W
    SyncPeriod = 0x18,         // W
    FifoFlags = 0x1C,          // R: bytes in the FIFO, bits 0-4
    SyncOffset = 0x1C,         // W
    Config1 = 0x20,            // W: chip SCSI ID, parity checking 0x10
    ClockFactor = 0x24,        // W
    Config2 = 0x2C,            // W
    Config3 = 0x30,            // W
    Config4 = 0x34,            // W
    TransferCountHigh = 0x38,  // R/W: counter bits 16-23
    DmaCommand = 0x40,         // W
    DmaTransferCount = 0x44,   // W, 32 bits
    DmaAddress = 0x48,         // W, 32 bits
    DmaWorkingCount = 0x4C,    // R, 32 bits; bits 0-23 significant
    DmaStatus = 0x54,          // R
};

// Chip commands, written to Command. Bit 0x80 routes data through the DMA engine.
enum ChipCommand : UCHAR {
    Nop = 0x00,
    FlushFifo = 0x01,
    ResetScsiBus = 0x03,
    TransferInfo = 0x10,
    InitiatorCommandComplete = 0x11,
    MessageAccepted = 0x12,
    TransferPad = 0x18,
    SetAtn = 0x1A,
    ResetAtn = 0x1B,
    SelectWithAtn = 0x42,
    SelectWithAtnStop = 0x43,
    EnableReselection = 0x44,
    SelectWithAtn3 = 0x46,
    DmaTransferInfo = 0x90,
    DmaTransferPad = 0x98,
};

#define CMD_DMA 0x80

// Status bits.
#define STATUS_PHASE_MASK 0x07
#define STATUS_PARITY_ERROR 0x20

// InterruptStatus bits.
#define INTR_BUS_RESET 0x80
#define INTR_ILLEGAL_COMMAND 0x40
#define INTR_DISCONNECT 0x20
#define INTR_BUS_SERVICE 0x10
#define INTR_FUNCTION_COMPLETE 0x08
#define INTR_RESELECTED 0x04
#define INTR_SELECTED_ATN 0x02
#define INTR_SELECTED 0x01
#define INTR_EXCEPTION_MASK (INTR_BUS_RESET | INTR_ILLEGAL_COMMAND | INTR_SELECTED_ATN | INTR_SELECTED)

// FifoFlags.
#define FIFO_COUNT_MASK 0x1F
#define CHIP_FIFO_DEPTH 16

// Config1.
#define CONFIG1_PARITY 0x10
#define CONFIG1_ID_MASK 0x07

// Initialization values and per-target configuration values.
#define SELECT_TIMEOUT_250MS 0x99
#define CONFIG2_INIT 0x48
#define CONFIG3_NORMAL 0x08
#define CONFIG3_FAST 0x18
// Config4: the slow timing bit, which the chip starts with and asynchronous
// transfers run with; CONFIG4_SYNC_CLEAR keeps the bits that are not timing.
#define CONFIG4_SLOW 0x80
#define CONFIG4_SYNC_CLEAR 0x3F
#define CONFIG4_X04 0x04

// Synchronous timing. SyncOffset holds offsets 0-15; SyncPeriod holds five
// bits, so the slowest period it runs is 32 clocks (800 ns, factor 200).
// Periods up to SYNC_FAST_CLOCKS_MAX clocks run with the fast Config3/Config4
// settings.
#define SYNC_OFFSET_MAX 0x0F
#define SYNC_PERIOD_REG_MAX 0x1F
#define SYNC_FAST_CLOCKS_MAX 8

// Transfer counter value a pad transfer starts with (each of the three bytes).
#define PAD_COUNT_BYTE 0xFF

// DmaCommand: direction in bit 0x80, operation in bits 0-1.
#define DMA_DIR_OUT 0x00
#define DMA_DIR_IN 0x80
#define DMA_CMD_IDLE 0x00
#define DMA_CMD_DRAIN 0x01
#define DMA_CMD_START 0x03

// DmaStatus bits.
#define DMA_STATUS_CORE_INTERRUPT 0x10
#define DMA_STATUS_DRAIN_COMPLETE 0x20

#define DMA_WORKING_COUNT_MASK 0x00FFFFFF

// SCSI bus phases as the chip reports them; 5 marks a selection or
// reselection issued, or a message accepted, with no phase begun.
#define PHASE_DATA_OUT 0
#define PHASE_DATA_IN 1
#define PHASE_COMMAND 2
#define PHASE_STATUS 3
#define PHASE_NONE 5
#define PHASE_MESSAGE_OUT 6
#define PHASE_MESSAGE_IN 7

// Register access: the only places that touch the chip's ports.
static inline UCHAR ChipRead(ULONG ioBase, ULONG reg)
{
    return ScsiPortReadPortUchar((PUCHAR)(uintptr_t)(ioBase + reg));
}

static inline void ChipWrite(ULONG ioBase, ULONG reg, UCHAR value)
{
    ScsiPortWritePortUchar((PUCHAR)(uintptr_t)(ioBase + reg), value);
}

static inline ULONG ChipRead32(ULONG ioBase, ULONG reg)
{
    return ScsiPortReadPortUlong((PULONG)(uintptr_t)(ioBase + reg));
}

static inline void ChipWrite32(ULONG ioBase, ULONG reg, ULONG value)
{
    ScsiPortWritePortUlong((PULONG)(uintptr_t)(ioBase + reg), value);
}

// Write a SCSI core command.
static inline void WriteCommand(ULONG ioBase, UCHAR code)
{
    ChipWrite(ioBase, Command, code);
}

// Write a DMA engine command.
static inline void WriteDmaCommand(ULONG ioBase, UCHAR value)
{
    ChipWrite(ioBase, DmaCommand, value);
}

#endif  // DRIVER_INCLUDE_CHIP_H
