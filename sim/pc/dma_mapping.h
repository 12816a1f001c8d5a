// How the port driver gives an adapter's DMA engine a request's buffer, as
// the system's adapter object does for a bus master. An adapter whose
// configuration says Dma32BitAddresses reaches every page directly. One that
// leaves it FALSE has 24-bit addresses: each page of the buffer above 16 MiB
// goes through a bounce page below 16 MiB, filled from the buffer before the
// miniport gets the request and, for data in, copied back to the buffer only
// when the request completes. The miniport's virtual address stays the
// caller's buffer: what it reads there before completion is what was there
// before the transfer.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <utility>
#include <vector>

#include "pc/physical_memory.h"

namespace sim {

class DmaMapping {
public:
    // Bounce buffers still held when the machine goes are the memory's to free.
    explicit DmaMapping(PhysicalMemory& memory) : memory_(memory) {}
    DmaMapping(const DmaMapping&) = delete;
    DmaMapping& operator=(const DmaMapping&) = delete;

    // Opens request `request`'s buffer [va, va + length) to DMA in the ways
    // `access` allows, bouncing the pages above 16 MiB unless `addresses32`.
    void open(uint64_t request, uint8_t* va, uint32_t length, PhysicalMemory::Access access, bool addresses32);
    // The logical address the adapter uses for `va` and the bytes
    // contiguous for it from there up to `limit`.
    PhysicalMemory::Translation translate(uint64_t request, const void* va, const void* limit) const;
    // The request is done with its buffer: data in goes back from the bounce
    // pages (all of them: what the device did not write is what was copied in).
    void close(uint64_t request);

    bool bounced(uint64_t request) const { return mapped_.contains(request); }
    uint64_t pages_bounced() const { return pages_bounced_; }  // so far, every request counted

private:
    struct Mapped {
        uint8_t* va = nullptr;
        uint32_t length = 0;
        PhysicalMemory::Access access;
        PhysicalMemory::Buffer* bounce = nullptr;
        // Per page the range touches (the first from va's own page): the page
        // the adapter addresses, and the bounce slot (-1: the buffer's own page).
        std::vector<uint32_t> page;
        std::vector<int32_t> slot;
    };
    // The part of the range on its page `index`: offsets [first, end) in the range.
    static std::pair<uint32_t, uint32_t> piece(const Mapped& m, size_t index);
    uint8_t* bounce_byte(const Mapped& m, size_t index, uint32_t at) const;

    PhysicalMemory& memory_;
    std::unordered_map<uint64_t, Mapped> mapped_;  // only requests with bounced pages
    uint64_t pages_bounced_ = 0;
};

}  // namespace sim
