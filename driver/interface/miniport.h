// The boundary of the driver: everything it calls outside itself.
//
// The port driver's published records keep their published field order, so
// that an i386 build has their published sizes; the services keep their
// published names and argument lists. Beside them stand the three platform
// hooks the driver uses directly: saving the processor flags with interrupts
// disabled, restoring them, and the raw read of system control port 0x61.
// Nothing else crosses. A platform (the simulator, the i386 kernel build)
// supplies exactly these symbols.
#ifndef DRIVER_INCLUDE_MINIPORT_H
#define DRIVER_INCLUDE_MINIPORT_H

#include <stddef.h>
#include <stdint.h>

// The port driver calls its miniports, and is called by them, with the
// standard calling convention on i386; variadic services stay cdecl.
#if defined(__i386__)
#define MINIPORT_API __attribute__((stdcall))
#else
#define MINIPORT_API
#endif

extern "C" {

typedef uint8_t UCHAR;
typedef uint16_t USHORT;
typedef uint32_t ULONG;
typedef int32_t LONG;
typedef char CCHAR;
typedef UCHAR BOOLEAN;
typedef void VOID;
typedef void* PVOID;
typedef UCHAR* PUCHAR;
typedef USHORT* PUSHORT;
typedef ULONG* PULONG;
typedef char* PCHAR;

#define TRUE 1
#define FALSE 0

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    int64_t QuadPart;
} LARGE_INTEGER;

typedef LARGE_INTEGER SCSI_PHYSICAL_ADDRESS;

typedef enum _INTERFACE_TYPE {
    Internal = 0,
    Isa = 1,
    Eisa = 2,
    MicroChannel = 3,
    TurboChannel = 4,
    PCIBus = 5,
} INTERFACE_TYPE;

typedef enum _KINTERRUPT_MODE { LevelSensitive = 0, Latched = 1 } KINTERRUPT_MODE;
typedef enum _DMA_WIDTH { Width8Bits = 0, Width16Bits = 1, Width32Bits = 2 } DMA_WIDTH;
typedef enum _DMA_SPEED { Compatible = 0, TypeA = 1, TypeB = 2, TypeC = 3 } DMA_SPEED;

typedef struct _ACCESS_RANGE {
    SCSI_PHYSICAL_ADDRESS RangeStart;
    ULONG RangeLength;
    BOOLEAN RangeInMemory;
} ACCESS_RANGE, *PACCESS_RANGE;

typedef struct _PORT_CONFIGURATION_INFORMATION {
    ULONG Length;
    ULONG SystemIoBusNumber;
    INTERFACE_TYPE AdapterInterfaceType;
    ULONG BusInterruptLevel;
    ULONG BusInterruptVector;
    KINTERRUPT_MODE InterruptMode;
    ULONG MaximumTransferLength;
    ULONG NumberOfPhysicalBreaks;
    ULONG DmaChannel;
    ULONG DmaPort;
    DMA_WIDTH DmaWidth;
    DMA_SPEED DmaSpeed;
    ULONG AlignmentMask;
    ULONG NumberOfAccessRanges;
    ACCESS_RANGE (*AccessRanges)[];
    PVOID Reserved;
    UCHAR NumberOfBuses;
    CCHAR InitiatorBusId[8];
    BOOLEAN ScatterGather;
    BOOLEAN Master;
    BOOLEAN CachesData;
    BOOLEAN AdapterScansDown;
    BOOLEAN AtdiskPrimaryClaimed;
    BOOLEAN AtdiskSecondaryClaimed;
    BOOLEAN Dma32BitAddresses;
    BOOLEAN DemandMode;
    BOOLEAN MapBuffers;
    BOOLEAN NeedPhysicalAddresses;
    BOOLEAN TaggedQueuing;
    BOOLEAN AutoRequestSense;
    BOOLEAN MultipleRequestPerLu;
    BOOLEAN ReceiveEvent;
    BOOLEAN RealModeInitialized;
    BOOLEAN BufferAccessScsiPortControlled;
    UCHAR MaximumNumberOfTargets;
    UCHAR ReservedUchars[2];
    ULONG SlotNumber;
    ULONG BusInterruptLevel2;
    ULONG BusInterruptVector2;
    KINTERRUPT_MODE InterruptMode2;
    ULONG DmaChannel2;
    ULONG DmaPort2;
    DMA_WIDTH DmaWidth2;
    DMA_SPEED DmaSpeed2;
    ULONG DeviceExtensionSize;
    ULONG SpecificLuExtensionSize;
    ULONG SrbExtensionSize;
} PORT_CONFIGURATION_INFORMATION, *PPORT_CONFIGURATION_INFORMATION;

typedef struct _SCSI_REQUEST_BLOCK {
    USHORT Length;
    UCHAR Function;
    UCHAR SrbStatus;
    UCHAR ScsiStatus;
    UCHAR PathId;
    UCHAR TargetId;
    UCHAR Lun;
    UCHAR QueueTag;
    UCHAR QueueAction;
    UCHAR CdbLength;
    UCHAR SenseInfoBufferLength;
    ULONG SrbFlags;
    ULONG DataTransferLength;
    ULONG TimeOutValue;
    PVOID DataBuffer;
    PVOID SenseInfoBuffer;
    struct _SCSI_REQUEST_BLOCK* NextSrb;
    PVOID OriginalRequest;
    PVOID SrbExtension;
    ULONG QueueSortKey;
    UCHAR Cdb[16];
} SCSI_REQUEST_BLOCK, *PSCSI_REQUEST_BLOCK;

// Routine slots the miniport registers.
typedef BOOLEAN(MINIPORT_API* PHW_INITIALIZE)(PVOID DeviceExtension);
typedef BOOLEAN(MINIPORT_API* PHW_STARTIO)(PVOID DeviceExtension, PSCSI_REQUEST_BLOCK Srb);
typedef BOOLEAN(MINIPORT_API* PHW_INTERRUPT)(PVOID DeviceExtension);
typedef ULONG(MINIPORT_API* PHW_FIND_ADAPTER)(PVOID DeviceExtension, PVOID HwContext,
                                              PVOID BusInformation, PCHAR ArgumentString,
                                              PPORT_CONFIGURATION_INFORMATION ConfigInfo,
                                              BOOLEAN* Again);
typedef BOOLEAN(MINIPORT_API* PHW_RESET_BUS)(PVOID DeviceExtension, ULONG PathId);
typedef VOID(MINIPORT_API* PHW_DMA_STARTED)(PVOID DeviceExtension);
typedef VOID(MINIPORT_API* PHW_TIMER)(PVOID DeviceExtension);
typedef BOOLEAN(MINIPORT_API* PHW_ADAPTER_STATE)(PVOID DeviceExtension, PVOID Context,
                                                 BOOLEAN SaveState);

typedef struct _HW_INITIALIZATION_DATA {
    ULONG HwInitializationDataSize;
    INTERFACE_TYPE AdapterInterfaceType;
    PHW_INITIALIZE HwInitialize;
    PHW_STARTIO HwStartIo;
    PHW_INTERRUPT HwInterrupt;
    PHW_FIND_ADAPTER HwFindAdapter;
    PHW_RESET_BUS HwResetBus;
    PHW_DMA_STARTED HwDmaStarted;
    PHW_ADAPTER_STATE HwAdapterState;
    ULONG DeviceExtensionSize;
    ULONG SpecificLuExtensionSize;
    ULONG SrbExtensionSize;
    ULONG NumberOfAccessRanges;
    PVOID Reserved;
    BOOLEAN MapBuffers;
    BOOLEAN NeedPhysicalAddresses;
    BOOLEAN TaggedQueuing;
    BOOLEAN AutoRequestSense;
    BOOLEAN MultipleRequestPerLu;
    BOOLEAN ReceiveEvent;
    USHORT VendorIdLength;
    PVOID VendorId;
    USHORT ReservedUshort;
    USHORT DeviceIdLength;
    PVOID DeviceId;
} HW_INITIALIZATION_DATA, *PHW_INITIALIZATION_DATA;

#if defined(__i386__)
static_assert(sizeof(HW_INITIALIZATION_DATA) == 76, "published size of HW_INITIALIZATION_DATA");
static_assert(sizeof(SCSI_REQUEST_BLOCK) == 64, "published size of SCSI_REQUEST_BLOCK");
static_assert(offsetof(SCSI_REQUEST_BLOCK, Cdb) == 0x30, "published SRB layout");
#endif

// Function codes.
#define SRB_FUNCTION_EXECUTE_SCSI 0x00
#define SRB_FUNCTION_CLAIM_DEVICE 0x01
#define SRB_FUNCTION_IO_CONTROL 0x02
#define SRB_FUNCTION_RECEIVE_EVENT 0x03
#define SRB_FUNCTION_RELEASE_QUEUE 0x04
#define SRB_FUNCTION_ATTACH_DEVICE 0x05
#define SRB_FUNCTION_RELEASE_DEVICE 0x06
#define SRB_FUNCTION_SHUTDOWN 0x07
#define SRB_FUNCTION_FLUSH 0x08
#define SRB_FUNCTION_ABORT_COMMAND 0x10
#define SRB_FUNCTION_RELEASE_RECOVERY 0x11
#define SRB_FUNCTION_RESET_BUS 0x12
#define SRB_FUNCTION_RESET_DEVICE 0x13
#define SRB_FUNCTION_TERMINATE_IO 0x14
#define SRB_FUNCTION_FLUSH_QUEUE 0x15
#define SRB_FUNCTION_REMOVE_DEVICE 0x16

// Status codes.
#define SRB_STATUS_PENDING 0x00
#define SRB_STATUS_SUCCESS 0x01
#define SRB_STATUS_ABORTED 0x02
#define SRB_STATUS_ABORT_FAILED 0x03
#define SRB_STATUS_ERROR 0x04
#define SRB_STATUS_BUSY 0x05
#define SRB_STATUS_INVALID_REQUEST 0x06
#define SRB_STATUS_INVALID_PATH_ID 0x07
#define SRB_STATUS_NO_DEVICE 0x08
#define SRB_STATUS_TIMEOUT 0x09
#define SRB_STATUS_SELECTION_TIMEOUT 0x0A
#define SRB_STATUS_COMMAND_TIMEOUT 0x0B
#define SRB_STATUS_MESSAGE_REJECTED 0x0D
#define SRB_STATUS_BUS_RESET 0x0E
#define SRB_STATUS_PARITY_ERROR 0x0F
#define SRB_STATUS_REQUEST_SENSE_FAILED 0x10
#define SRB_STATUS_NO_HBA 0x11
#define SRB_STATUS_DATA_OVERRUN 0x12
#define SRB_STATUS_UNEXPECTED_BUS_FREE 0x13
#define SRB_STATUS_PHASE_SEQUENCE_FAILURE 0x14
#define SRB_STATUS_BAD_SRB_BLOCK_LENGTH 0x15
#define SRB_STATUS_REQUEST_FLUSHED 0x16
#define SRB_STATUS_INVALID_LUN 0x20
#define SRB_STATUS_INVALID_TARGET_ID 0x21
#define SRB_STATUS_BAD_FUNCTION 0x22
#define SRB_STATUS_ERROR_RECOVERY 0x23
#define SRB_STATUS_QUEUE_FROZEN 0x40
#define SRB_STATUS_AUTOSENSE_VALID 0x80

// Request flags.
#define SRB_FLAGS_QUEUE_ACTION_ENABLE 0x00000002
#define SRB_FLAGS_DISABLE_DISCONNECT 0x00000004
#define SRB_FLAGS_DISABLE_SYNCH_TRANSFER 0x00000008
#define SRB_FLAGS_BYPASS_FROZEN_QUEUE 0x00000010
#define SRB_FLAGS_DISABLE_AUTOSENSE 0x00000020
#define SRB_FLAGS_DATA_IN 0x00000040
#define SRB_FLAGS_DATA_OUT 0x00000080
#define SRB_FLAGS_NO_DATA_TRANSFER 0x00000000

// Queue actions: the SCSI queue-tag message codes.
#define SRB_SIMPLE_TAG_REQUEST 0x20
#define SRB_HEAD_OF_QUEUE_TAG_REQUEST 0x21
#define SRB_ORDERED_QUEUE_TAG_REQUEST 0x22

// A configuration field the port driver leaves for the miniport to fill.
#define SP_UNINITIALIZED_VALUE ((ULONG)~0)

// HwFindAdapter results.
#define SP_RETURN_NOT_FOUND 0
#define SP_RETURN_FOUND 1
#define SP_RETURN_ERROR 2
#define SP_RETURN_BAD_CONFIG 3

// Error codes for ScsiPortLogError.
#define SP_BUS_PARITY_ERROR 0x0001
#define SP_UNEXPECTED_DISCONNECT 0x0002
#define SP_INVALID_RESELECTION 0x0003
#define SP_BUS_TIME_OUT 0x0004
#define SP_PROTOCOL_ERROR 0x0005
#define SP_INTERNAL_ADAPTER_ERROR 0x0006
#define SP_REQUEST_TIMEOUT 0x0007

typedef enum _SCSI_NOTIFICATION_TYPE {
    RequestComplete = 0,
    NextRequest = 1,
    NextLuRequest = 2,
    ResetDetected = 3,
    CallDisableInterrupts = 4,
    CallEnableInterrupts = 5,
    RequestTimerCall = 6,
} SCSI_NOTIFICATION_TYPE;

// Port-driver services.
ULONG MINIPORT_API ScsiPortInitialize(PVOID Argument1, PVOID Argument2,
                                      PHW_INITIALIZATION_DATA HwInitializationData,
                                      PVOID HwContext);
PVOID MINIPORT_API ScsiPortGetDeviceBase(PVOID HwDeviceExtension, INTERFACE_TYPE BusType,
                                         ULONG SystemIoBusNumber,
                                         SCSI_PHYSICAL_ADDRESS IoAddress, ULONG NumberOfBytes,
                                         BOOLEAN InIoSpace);
VOID MINIPORT_API ScsiPortFreeDeviceBase(PVOID HwDeviceExtension, PVOID MappedAddress);
SCSI_PHYSICAL_ADDRESS MINIPORT_API ScsiPortConvertUlongToPhysicalAddress(ULONG UlongAddress);
SCSI_PHYSICAL_ADDRESS MINIPORT_API ScsiPortGetPhysicalAddress(PVOID HwDeviceExtension,
                                                              PSCSI_REQUEST_BLOCK Srb,
                                                              PVOID VirtualAddress, ULONG* Length);
UCHAR MINIPORT_API ScsiPortReadPortUchar(PUCHAR Port);
USHORT MINIPORT_API ScsiPortReadPortUshort(PUSHORT Port);
ULONG MINIPORT_API ScsiPortReadPortUlong(PULONG Port);
VOID MINIPORT_API ScsiPortWritePortUchar(PUCHAR Port, UCHAR Value);
VOID MINIPORT_API ScsiPortWritePortUlong(PULONG Port, ULONG Value);
VOID ScsiPortNotification(SCSI_NOTIFICATION_TYPE NotificationType, PVOID HwDeviceExtension, ...);
VOID MINIPORT_API ScsiPortCompleteRequest(PVOID HwDeviceExtension, UCHAR PathId, UCHAR TargetId,
                                          UCHAR Lun, UCHAR SrbStatus);
VOID MINIPORT_API ScsiPortStallExecution(ULONG Delay);
VOID MINIPORT_API ScsiPortLogError(PVOID HwDeviceExtension, PSCSI_REQUEST_BLOCK Srb, UCHAR PathId,
                                   UCHAR TargetId, UCHAR Lun, ULONG ErrorCode, ULONG UniqueId);

// Platform hooks used directly, outside the port driver. The i386 kernel
// build does these with the processor's own instructions (pushfd/cli,
// popfd, in al,0x61); elsewhere the platform supplies them.
ULONG SaveFlagsAndDisableInterrupts(void);
VOID RestoreFlags(ULONG SavedFlags);
UCHAR ReadSystemControlPort(void);

}  // extern "C"

#endif  // DRIVER_INCLUDE_MINIPORT_H
