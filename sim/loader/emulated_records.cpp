// What the port driver hands the image, in the image's address space: the
// adapter extensions, the SRBs with their sense data, and the data buffers.
#include "loader/emulated_session.h"

#include <fmt/format.h>

#include "loader/i386_records.h"

namespace sim::loader {

uint32_t EmulatedDriver::Session::guest_extension(const void* extension, bool fresh)
{
    auto it = extensions.find(extension);
    const uint32_t size = registration.DeviceExtensionSize;
    if (it == extensions.end()) {
        const uint32_t guest = allocate(size, "an adapter extension");
        extensions[extension] = guest;
        extension_hosts[guest] = extension;
        return guest;
    }
    // The port driver gives each HwFindAdapter call an extension of zeros.
    if (fresh)
        if (uint8_t* p = host(it->second, size))
            std::memset(p, 0, size);
    return it->second;
}

void* EmulatedDriver::Session::host_extension(uint32_t guest) const
{
    auto it = extension_hosts.find(guest);
    // Anything else goes to the port driver as it is, for it to refuse.
    return it == extension_hosts.end() ? reinterpret_cast<void*>(static_cast<uintptr_t>(guest))
                                       : const_cast<void*>(it->second);
}

uint32_t EmulatedDriver::Session::token()
{
    // Tokens are only ever compared, never mapped: reusing old ones is harmless.
    if (kTokenEnd - token_next < kPage)
        token_next = kTokenFirst;
    const uint32_t t = token_next;
    token_next += 16;
    return t;
}

uint32_t EmulatedDriver::Session::window(const PhysicalMemory::Buffer& buffer)
{
    auto it = windows.find(buffer.id);
    if (it != windows.end())
        return it->second;
    const uint32_t length = static_cast<uint32_t>(buffer.pages.size()) * kPage;
    if (kWindowEnd - window_next < length + kPage) {
        fail("no address space left to map request buffers in");
        return 0;
    }
    const uint32_t first = window_next;
    window_next += length + kPage;
    // The buffer's own bytes: what the DMA engine moves is what the driver sees.
    if (!map(first, length, buffer.data - buffer.offset, UC_PROT_READ | UC_PROT_WRITE, "a request's data buffer"))
        return 0;
    windows[buffer.id] = first;
    return first;
}

uint32_t EmulatedDriver::Session::guest_data(const void* data)
{
    if (!data)
        return 0;
    const PhysicalMemory::Buffer* b = machine.memory().find(data);
    if (!b)
        return token();  // not mapped for the driver: an address it may not touch
    const uint32_t first = window(*b);
    if (!first)
        return 0;
    return first + static_cast<uint32_t>(static_cast<const uint8_t*>(data) - (b->data - b->offset));
}

uint32_t EmulatedDriver::Session::hand_over(SCSI_REQUEST_BLOCK* srb)
{
    if (!srb)
        return 0;
    if (slots.empty()) {
        slot_stride = round_up(i386::kSrbSize + kSenseArea + round_up(registration.SrbExtensionSize, 16), 16);
        slots_first = allocate(slot_stride * kSlotCount, "the SRBs");
        slots.resize(kSlotCount);
        for (uint32_t i = 0; i < kSlotCount; i++)
            free_slots.push_back(i);
    }
    uint32_t index;
    auto known = slot_of.find(srb);
    if (known != slot_of.end()) {
        index = known->second;
    } else {
        if (free_slots.empty()) {
            fail("more than 1024 SRBs handed to the driver at once");
            return 0;
        }
        index = free_slots.front();
        free_slots.pop_front();
        slot_of[srb] = index;
    }
    Slot& slot = slots[index];
    const uint32_t guest = slots_first + index * slot_stride;
    uint8_t* g = host(guest, slot_stride);
    std::memset(g, 0, slot_stride);
    slot.srb = srb;
    slot.host_data = static_cast<const uint8_t*>(srb->DataBuffer);
    slot.guest_data = guest_data(srb->DataBuffer);
    slot.sense_length = srb->SenseInfoBuffer ? std::min<uint32_t>(srb->SenseInfoBufferLength, kSenseArea) : 0;
    const uint32_t sense = srb->SenseInfoBuffer ? guest + i386::kSrbSize : 0;
    if (slot.sense_length)
        std::memcpy(g + i386::kSrbSize, srb->SenseInfoBuffer, slot.sense_length);
    const uint32_t extension = registration.SrbExtensionSize ? guest + i386::kSrbSize + kSenseArea : 0;
    // The SRB to abort goes over too, if the driver has it.
    uint32_t next = 0;
    if (srb->NextSrb) {
        auto n = slot_of.find(srb->NextSrb);
        next = n != slot_of.end() ? slots_first + n->second * slot_stride : token();
    }
    i386::put_srb(g, *srb, slot.guest_data, sense, next, srb->OriginalRequest ? token() : 0, extension);
    return guest;
}

int EmulatedDriver::Session::slot_at(uint32_t guest) const
{
    const uint32_t offset = guest - slots_first;
    if (slots.empty() || offset % slot_stride != 0 || offset / slot_stride >= kSlotCount ||
        !slots[offset / slot_stride].srb)
        return -1;
    return static_cast<int>(offset / slot_stride);
}

SCSI_REQUEST_BLOCK* EmulatedDriver::Session::host_srb(uint32_t guest) const
{
    if (guest == 0)
        return nullptr;
    const int index = slot_at(guest);
    // Not an SRB the driver holds: the port driver refuses it as it is.
    return index >= 0 ? slots[static_cast<size_t>(index)].srb
                      : reinterpret_cast<SCSI_REQUEST_BLOCK*>(static_cast<uintptr_t>(guest));
}

// What the driver wrote into the SRB, back into the port driver's.
void EmulatedDriver::Session::take_back(uint32_t guest)
{
    const int index = slot_at(guest);
    if (index < 0)
        return;
    const Slot& slot = slots[static_cast<size_t>(index)];
    const uint8_t* g = host(guest, slot_stride);
    i386::take_srb(g, *slot.srb);
    if (slot.sense_length && slot.srb->SenseInfoBuffer)
        std::memcpy(slot.srb->SenseInfoBuffer, g + i386::kSrbSize, slot.sense_length);
}

void EmulatedDriver::Session::release(uint32_t guest)
{
    const int index = slot_at(guest);
    if (index < 0)
        return;
    Slot& slot = slots[static_cast<size_t>(index)];
    slot_of.erase(slot.srb);
    slot = Slot{};
    free_slots.push_back(static_cast<uint32_t>(index));
}

// After a bulk completion: the SRBs the port driver no longer counts as the
// driver's are gone from its address space too.
void EmulatedDriver::Session::release_finished()
{
    for (uint32_t i = 0; i < slots.size(); i++)
        if (slots[i].srb && !machine.port_driver().holds(slots[i].srb))
            release(slots_first + i * slot_stride);
}

void* EmulatedDriver::Session::host_data(uint32_t guest_srb, uint32_t guest_va) const
{
    // Relative to the SRB's buffer, as the port driver measures it.
    const int index = slot_at(guest_srb);
    if (index >= 0 && slots[static_cast<size_t>(index)].host_data) {
        const Slot& slot = slots[static_cast<size_t>(index)];
        return const_cast<uint8_t*>(slot.host_data) +
               static_cast<int64_t>(static_cast<int32_t>(guest_va - slot.guest_data));
    }
    return reinterpret_cast<void*>(static_cast<uintptr_t>(guest_va));
}

}  // namespace sim::loader
