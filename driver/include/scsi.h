// SCSI-2 vocabulary the driver speaks: messages, the operation codes and
// status bytes it looks at, and the INQUIRY data it reads.
#ifndef DRIVER_INCLUDE_SCSI_H
#define DRIVER_INCLUDE_SCSI_H

// Messages.
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

// Extended messages.
#define EXT_MSG_SDTR_LENGTH 0x03
#define EXT_MSG_SDTR 0x01

// The control byte, the last of every CDB: LINK asks the target to chain
// the next command into this one's connection.
#define CDB_CONTROL_LINK 0x01

// Operation codes.
#define SCSIOP_REQUEST_SENSE 0x03
#define SCSIOP_INQUIRY 0x12

// Status bytes.
#define SCSISTAT_GOOD 0x00
#define SCSISTAT_CHECK_CONDITION 0x02
#define SCSISTAT_QUEUE_FULL 0x28

// INQUIRY data: peripheral type in byte 0, version and flags further on.
#define INQUIRY_NO_DEVICE 0x7F
#define INQUIRY_DIRECT_ACCESS 0x00
#define INQUIRY_OPTICAL 0x07
#define INQUIRY_VERSION_BYTE 2
#define INQUIRY_VERSION_MASK 0x06
#define INQUIRY_FLAGS_BYTE 7
#define INQUIRY_CMDQUE 0x02
// What an answer with no device behind the LUN is good for.
#define INQUIRY_NO_DEVICE_LENGTH 5

#endif  // DRIVER_INCLUDE_SCSI_H
