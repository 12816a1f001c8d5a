// The data buffer as the miniport sees it: an unreadable view when it asked
// for no mapped buffers, and the physical addresses the adapter uses.
#include "pc/port_driver.h"

#include <algorithm>
#include <stdexcept>

#include <sys/mman.h>

#include <fmt/format.h>

#include "pc/port_driver_internal.h"

namespace sim {

using namespace port_internal;

// MapBuffers FALSE: the miniport gets an address for the buffer that it may
// hand to ScsiPortGetPhysicalAddress but not read or write through.
void PortDriver::hand_out_buffer(Request& r)
{
    if (registration_.MapBuffers || !r.srb.DataBuffer)
        return;
    auto* real = static_cast<uint8_t*>(r.srb.DataBuffer);
    const size_t page = PhysicalMemory::kPageSize;
    const size_t offset = reinterpret_cast<uintptr_t>(real) % page;
    const size_t length = (offset + r.srb.DataTransferLength + page - 1) / page * page;
    void* region = ::mmap(nullptr, std::max(length, page), PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (region == MAP_FAILED)
        throw std::runtime_error("no address space left for an unmapped buffer");
    auto* view = static_cast<uint8_t*>(region) + offset;
    unmapped_.push_back(UnmappedView{reinterpret_cast<uintptr_t>(view),
                                     reinterpret_cast<uintptr_t>(view) + r.srb.DataTransferLength, real, region,
                                     std::max(length, page)});
    r.srb.DataBuffer = view;
}

void PortDriver::take_back_buffer(Request& r)
{
    const auto view = reinterpret_cast<uintptr_t>(r.srb.DataBuffer);
    auto it = std::find_if(unmapped_.begin(), unmapped_.end(), [view](const UnmappedView& u) { return u.first == view; });
    if (it == unmapped_.end())
        return;
    r.srb.DataBuffer = it->real;
    ::munmap(it->region, it->region_length);
    unmapped_.erase(it);
}

SCSI_PHYSICAL_ADDRESS PortDriver::get_physical_address(PVOID, PSCSI_REQUEST_BLOCK srb, PVOID va, ULONG* length)
{
    SCSI_PHYSICAL_ADDRESS none;
    none.QuadPart = 0;
    if (length)
        *length = 0;
    const Request* request = srb ? outstanding_request(srb) : nullptr;
    if (!request) {
        errors_.report(kWho, "ScsiPortGetPhysicalAddress for an SRB that is not outstanding");
        return none;
    }
    const auto* first = static_cast<const uint8_t*>(srb->DataBuffer);
    const auto* end = first + srb->DataTransferLength;
    const auto* at = static_cast<const uint8_t*>(va);
    if (!first || at < first || at >= end) {
        errors_.report(kWho, fmt::format("ScsiPortGetPhysicalAddress for an address {} bytes {} the SRB's buffer",
                                         at < first ? first - at : at - end, at < first ? "before" : "past the end of"));
        return none;
    }
    // An unmapped buffer's view stands for the buffer itself.
    for (const UnmappedView& u : unmapped_) {
        if (reinterpret_cast<uintptr_t>(first) == u.first) {
            at = u.real + (at - first);
            end = u.real + (end - first);
            break;
        }
    }
    // The address the adapter uses: a bounce page's for a page it cannot reach.
    const PhysicalMemory::Translation t = dma_.translate(request->id, at, end);
    if (t.contiguous == 0) {
        errors_.report(kWho, "ScsiPortGetPhysicalAddress for a buffer that is not in physical memory");
        return none;
    }
    if (length)
        *length = t.contiguous;
    SCSI_PHYSICAL_ADDRESS p;
    p.QuadPart = t.physical;
    return p;
}

}  // namespace sim
