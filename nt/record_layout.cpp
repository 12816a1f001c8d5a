// The i386 record layouts the emulated processor's port driver writes
// (sim/loader/i386_records.h), checked against the kernel build's own
// compiler: compiled, never linked, by the nt build.
#include "loader/i386_records.h"

namespace i386 = sim::loader::i386;

static_assert(sizeof(SCSI_REQUEST_BLOCK) == i386::kSrbSize);
static_assert(offsetof(SCSI_REQUEST_BLOCK, DataBuffer) == i386::kSrbDataBuffer);
static_assert(offsetof(SCSI_REQUEST_BLOCK, SenseInfoBuffer) == i386::kSrbSenseInfoBuffer);
static_assert(offsetof(SCSI_REQUEST_BLOCK, NextSrb) == i386::kSrbNextSrb);
static_assert(offsetof(SCSI_REQUEST_BLOCK, OriginalRequest) == i386::kSrbOriginalRequest);
static_assert(offsetof(SCSI_REQUEST_BLOCK, SrbExtension) == i386::kSrbSrbExtension);
static_assert(offsetof(SCSI_REQUEST_BLOCK, QueueSortKey) == i386::kSrbQueueSortKey);
static_assert(offsetof(SCSI_REQUEST_BLOCK, Cdb) == i386::kSrbCdb);

static_assert(sizeof(PORT_CONFIGURATION_INFORMATION) == i386::kConfigSize);
static_assert(offsetof(PORT_CONFIGURATION_INFORMATION, AccessRanges) == i386::kConfigAccessRanges);
static_assert(offsetof(PORT_CONFIGURATION_INFORMATION, Reserved) == i386::kConfigReserved);
static_assert(offsetof(PORT_CONFIGURATION_INFORMATION, NumberOfBuses) == i386::kConfigNumberOfBuses);

static_assert(sizeof(HW_INITIALIZATION_DATA) == i386::kInitDataSize);
static_assert(offsetof(HW_INITIALIZATION_DATA, HwInitialize) == i386::kInitHwInitialize);
static_assert(offsetof(HW_INITIALIZATION_DATA, HwStartIo) == i386::kInitHwStartIo);
static_assert(offsetof(HW_INITIALIZATION_DATA, HwInterrupt) == i386::kInitHwInterrupt);
static_assert(offsetof(HW_INITIALIZATION_DATA, HwFindAdapter) == i386::kInitHwFindAdapter);
static_assert(offsetof(HW_INITIALIZATION_DATA, HwResetBus) == i386::kInitHwResetBus);
static_assert(offsetof(HW_INITIALIZATION_DATA, HwDmaStarted) == i386::kInitHwDmaStarted);
static_assert(offsetof(HW_INITIALIZATION_DATA, HwAdapterState) == i386::kInitHwAdapterState);
static_assert(offsetof(HW_INITIALIZATION_DATA, DeviceExtensionSize) == i386::kInitDeviceExtensionSize);
static_assert(offsetof(HW_INITIALIZATION_DATA, Reserved) == i386::kInitReserved);
static_assert(offsetof(HW_INITIALIZATION_DATA, MapBuffers) == i386::kInitMapBuffers);
static_assert(offsetof(HW_INITIALIZATION_DATA, VendorIdLength) == i386::kInitVendorIdLength);
static_assert(offsetof(HW_INITIALIZATION_DATA, VendorId) == i386::kInitVendorId);
static_assert(offsetof(HW_INITIALIZATION_DATA, ReservedUshort) == i386::kInitReservedUshort);
static_assert(offsetof(HW_INITIALIZATION_DATA, DeviceIdLength) == i386::kInitDeviceIdLength);
static_assert(offsetof(HW_INITIALIZATION_DATA, DeviceId) == i386::kInitDeviceId);

static_assert(sizeof(ACCESS_RANGE) == i386::kAccessRangeSize);
