// The port driver's records as the kernel image sees them: the published
// i386 layouts (4-byte pointers, 8-byte aligned physical addresses), and the
// copies between them and this host's layouts of the same records.
// nt/record_layout.cpp proves the offsets against the kernel build's own
// compiler; the static_asserts below prove this host's side.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "miniport.h"

namespace sim::loader::i386 {

// SCSI_REQUEST_BLOCK
constexpr uint32_t kSrbSize = 64;
constexpr uint32_t kSrbDataBuffer = 24, kSrbSenseInfoBuffer = 28, kSrbNextSrb = 32, kSrbOriginalRequest = 36,
                   kSrbSrbExtension = 40, kSrbQueueSortKey = 44, kSrbCdb = 48;
// PORT_CONFIGURATION_INFORMATION
constexpr uint32_t kConfigSize = 136;
constexpr uint32_t kConfigAccessRanges = 56, kConfigReserved = 60, kConfigNumberOfBuses = 64;
// HW_INITIALIZATION_DATA
constexpr uint32_t kInitDataSize = 76;
constexpr uint32_t kInitHwInitialize = 8, kInitHwStartIo = 12, kInitHwInterrupt = 16, kInitHwFindAdapter = 20,
                   kInitHwResetBus = 24, kInitHwDmaStarted = 28, kInitHwAdapterState = 32,
                   kInitDeviceExtensionSize = 36, kInitReserved = 52, kInitMapBuffers = 56, kInitVendorIdLength = 62,
                   kInitVendorId = 64, kInitReservedUshort = 68, kInitDeviceIdLength = 70, kInitDeviceId = 72;
// ACCESS_RANGE: the same on both.
constexpr uint32_t kAccessRangeSize = 16;
// Where the emulated port driver keeps, in its page for HwFindAdapter, the
// access ranges and the Again flag beside the configuration record.
constexpr uint32_t kConfigRangesOffset = 0x100, kConfigAgainOffset = 0x200, kMaxAccessRanges = 16;

// This host's layouts where they meet the i386 ones: the same bytes before
// the first pointer, and after the pointers the same bytes again.
static_assert(offsetof(SCSI_REQUEST_BLOCK, DataBuffer) == kSrbDataBuffer);
static_assert(offsetof(PORT_CONFIGURATION_INFORMATION, AccessRanges) == kConfigAccessRanges);
static_assert(sizeof(PORT_CONFIGURATION_INFORMATION) - offsetof(PORT_CONFIGURATION_INFORMATION, NumberOfBuses) ==
              kConfigSize - kConfigNumberOfBuses);
static_assert(sizeof(ACCESS_RANGE) == kAccessRangeSize);
constexpr size_t kHostConfigTail = offsetof(PORT_CONFIGURATION_INFORMATION, NumberOfBuses);
static_assert(offsetof(HW_INITIALIZATION_DATA, HwInitialize) == kInitHwInitialize);

inline uint32_t get32(const uint8_t* p, uint32_t offset)
{
    uint32_t v;
    std::memcpy(&v, p + offset, 4);
    return v;
}

inline uint16_t get16(const uint8_t* p, uint32_t offset)
{
    uint16_t v;
    std::memcpy(&v, p + offset, 2);
    return v;
}

inline void put32(uint8_t* p, uint32_t offset, uint32_t v)
{
    std::memcpy(p + offset, &v, 4);
}

inline void put16(uint8_t* p, uint32_t offset, uint16_t v)
{
    std::memcpy(p + offset, &v, 2);
}

// The SRB `h` as the driver gets it, with the guest addresses of what its
// pointers point at.
inline void put_srb(uint8_t* g, const SCSI_REQUEST_BLOCK& h, uint32_t data, uint32_t sense, uint32_t next,
                    uint32_t original, uint32_t extension)
{
    std::memcpy(g, &h, kSrbDataBuffer);
    put16(g, 0, h.Length == sizeof(SCSI_REQUEST_BLOCK) ? kSrbSize : h.Length);
    put32(g, kSrbDataBuffer, data);
    put32(g, kSrbSenseInfoBuffer, sense);
    put32(g, kSrbNextSrb, next);
    put32(g, kSrbOriginalRequest, original);
    put32(g, kSrbSrbExtension, extension);
    put32(g, kSrbQueueSortKey, h.QueueSortKey);
    std::memcpy(g + kSrbCdb, h.Cdb, sizeof h.Cdb);
}

// What the driver may have written into its SRB (everything but the
// pointers), back into the port driver's.
inline void take_srb(const uint8_t* g, SCSI_REQUEST_BLOCK& h)
{
    const USHORT length = h.Length;
    std::memcpy(&h, g, kSrbDataBuffer);
    const uint16_t guest_length = get16(g, 0);
    h.Length = guest_length == kSrbSize && length == sizeof(SCSI_REQUEST_BLOCK) ? length : guest_length;
    h.QueueSortKey = get32(g, kSrbQueueSortKey);
    std::memcpy(h.Cdb, g + kSrbCdb, sizeof h.Cdb);
}

inline void put_config(uint8_t* g, const PORT_CONFIGURATION_INFORMATION& h, uint32_t ranges)
{
    std::memcpy(g, &h, kConfigAccessRanges);
    put32(g, 0, h.Length == sizeof(PORT_CONFIGURATION_INFORMATION) ? kConfigSize : h.Length);
    put32(g, kConfigAccessRanges, ranges);
    put32(g, kConfigReserved, 0);
    std::memcpy(g + kConfigNumberOfBuses, reinterpret_cast<const uint8_t*>(&h) + kHostConfigTail,
                kConfigSize - kConfigNumberOfBuses);
}

inline void take_config(const uint8_t* g, PORT_CONFIGURATION_INFORMATION& h)
{
    const ULONG length = h.Length;
    auto* ranges = h.AccessRanges;
    PVOID reserved = h.Reserved;
    std::memcpy(&h, g, kConfigAccessRanges);
    h.Length = get32(g, 0) == kConfigSize && length == sizeof(PORT_CONFIGURATION_INFORMATION) ? length : get32(g, 0);
    h.AccessRanges = ranges;
    h.Reserved = reserved;
    std::memcpy(reinterpret_cast<uint8_t*>(&h) + kHostConfigTail, g + kConfigNumberOfBuses,
                kConfigSize - kConfigNumberOfBuses);
}

inline uint32_t range_count(const PORT_CONFIGURATION_INFORMATION& h)
{
    return h.AccessRanges ? (h.NumberOfAccessRanges < kMaxAccessRanges ? h.NumberOfAccessRanges : kMaxAccessRanges)
                          : 0;
}

inline void put_ranges(uint8_t* g, const PORT_CONFIGURATION_INFORMATION& h)
{
    if (const uint32_t n = range_count(h))
        std::memcpy(g, &(*h.AccessRanges)[0], n * kAccessRangeSize);
}

inline void take_ranges(const uint8_t* g, PORT_CONFIGURATION_INFORMATION& h, uint32_t count)
{
    if (h.AccessRanges && count)
        std::memcpy(&(*h.AccessRanges)[0], g, count * kAccessRangeSize);
}

// The registration record's guest routine addresses.
struct InitRoutines {
    uint32_t initialize, start_io, interrupt, find_adapter, reset_bus, dma_started, adapter_state;
};

// The driver's registration record in this host's layout, its routine slots
// and identity strings left for the caller to fill.
inline InitRoutines take_init_data(const uint8_t* g, HW_INITIALIZATION_DATA& h)
{
    std::memset(&h, 0, sizeof h);
    const uint32_t size = get32(g, 0);
    h.HwInitializationDataSize = size == kInitDataSize ? static_cast<ULONG>(sizeof(HW_INITIALIZATION_DATA)) : size;
    h.AdapterInterfaceType = static_cast<INTERFACE_TYPE>(get32(g, 4));
    h.DeviceExtensionSize = get32(g, kInitDeviceExtensionSize);
    h.SpecificLuExtensionSize = get32(g, kInitDeviceExtensionSize + 4);
    h.SrbExtensionSize = get32(g, kInitDeviceExtensionSize + 8);
    h.NumberOfAccessRanges = get32(g, kInitDeviceExtensionSize + 12);
    h.MapBuffers = g[kInitMapBuffers];
    h.NeedPhysicalAddresses = g[kInitMapBuffers + 1];
    h.TaggedQueuing = g[kInitMapBuffers + 2];
    h.AutoRequestSense = g[kInitMapBuffers + 3];
    h.MultipleRequestPerLu = g[kInitMapBuffers + 4];
    h.ReceiveEvent = g[kInitMapBuffers + 5];
    h.VendorIdLength = get16(g, kInitVendorIdLength);
    h.ReservedUshort = get16(g, kInitReservedUshort);
    h.DeviceIdLength = get16(g, kInitDeviceIdLength);
    return InitRoutines{get32(g, kInitHwInitialize), get32(g, kInitHwStartIo),   get32(g, kInitHwInterrupt),
                        get32(g, kInitHwFindAdapter), get32(g, kInitHwResetBus), get32(g, kInitHwDmaStarted),
                        get32(g, kInitHwAdapterState)};
}

}  // namespace sim::loader::i386
