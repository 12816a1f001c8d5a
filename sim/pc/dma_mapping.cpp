#include "pc/dma_mapping.h"

#include <algorithm>
#include <cstring>

namespace sim {

namespace {
constexpr uint32_t kPage = PhysicalMemory::kPageSize;

uint32_t lead_of(const uint8_t* va)
{
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(va) % kPage);
}
}  // namespace

std::pair<uint32_t, uint32_t> DmaMapping::piece(const Mapped& m, size_t index)
{
    const uint32_t lead = lead_of(m.va);
    const auto page_first = static_cast<uint32_t>(index * kPage);
    const uint32_t first = index == 0 ? 0 : page_first - lead;
    return {first, std::min<uint32_t>(m.length, page_first + kPage - lead)};
}

uint8_t* DmaMapping::bounce_byte(const Mapped& m, size_t index, uint32_t at) const
{
    return m.bounce->data + size_t(m.slot[index]) * kPage + (lead_of(m.va) + at) % kPage;
}

void DmaMapping::open(uint64_t request, uint8_t* va, uint32_t length, PhysicalMemory::Access access,
                      bool addresses32)
{
    if (addresses32 || length == 0 || !memory_.find(va)) {
        memory_.open_window(request, va, length, access);
        return;
    }
    Mapped m;
    m.va = va;
    m.length = length;
    m.access = access;
    const size_t pages = (lead_of(va) + size_t{length} + kPage - 1) / kPage;
    uint32_t high = 0;
    for (size_t i = 0; i < pages; i++) {
        const auto [first, end] = piece(m, i);
        const uint32_t physical = memory_.translate(va + first, va + end).physical;
        m.page.push_back(physical / kPage);
        m.slot.push_back(physical >= PhysicalMemory::k24BitLimit ? static_cast<int32_t>(high++) : -1);
    }
    if (high == 0) {
        memory_.open_window(request, va, length, access);
        return;
    }
    m.bounce = &memory_.allocate(high * kPage, 0, PhysicalMemory::Layout::Random,
                                 PhysicalMemory::Region::Below16MiB);
    pages_bounced_ += high;
    // Filled for either direction: a short read copies back what it did not
    // write, and that must be the caller's own bytes.
    for (size_t i = 0; i < pages; i++) {
        if (m.slot[i] < 0)
            continue;
        m.page[i] = m.bounce->pages[static_cast<size_t>(m.slot[i])];
        const auto [first, end] = piece(m, i);
        std::memcpy(bounce_byte(m, i, first), va + first, end - first);
    }
    // A window per run of the buffer's own pages, and one per run of bounce pages.
    for (size_t i = 0; i < pages;) {
        const bool bounced = m.slot[i] >= 0;
        size_t j = i + 1;
        while (j < pages && (m.slot[j] >= 0) == bounced)
            j++;
        const uint32_t first = piece(m, i).first, end = piece(m, j - 1).second;
        if (bounced) {
            memory_.open_window(request, bounce_byte(m, i, first), end - first, access, first);
            memory_.mark_bounced(request, va + first, end - first);
        } else {
            memory_.open_window(request, va + first, end - first, access, first);
        }
        i = j;
    }
    mapped_.emplace(request, std::move(m));
}

PhysicalMemory::Translation DmaMapping::translate(uint64_t request, const void* va, const void* limit) const
{
    const auto it = mapped_.find(request);
    const auto* at_va = static_cast<const uint8_t*>(va);
    if (it == mapped_.end() || at_va < it->second.va || at_va >= it->second.va + it->second.length)
        return memory_.translate(va, limit);
    const Mapped& m = it->second;
    const auto at = static_cast<uint32_t>(at_va - m.va);
    const auto end = static_cast<uint32_t>(
        std::clamp<intptr_t>(static_cast<const uint8_t*>(limit) - m.va, at, m.length));
    size_t i = (lead_of(m.va) + at) / kPage;
    PhysicalMemory::Translation t{m.page[i] * kPage + (lead_of(m.va) + at) % kPage, 0};
    uint32_t run_end = piece(m, i).second;
    while (run_end < end && i + 1 < m.page.size() && m.page[i + 1] == m.page[i] + 1)
        run_end = piece(m, ++i).second;
    t.contiguous = std::min(run_end, end) - at;
    return t;
}

void DmaMapping::close(uint64_t request)
{
    memory_.close_window(request);
    const auto it = mapped_.find(request);
    if (it == mapped_.end())
        return;
    Mapped& m = it->second;
    if (m.access.write) {
        for (size_t i = 0; i < m.slot.size(); i++) {
            if (m.slot[i] < 0)
                continue;
            const auto [first, end] = piece(m, i);
            std::memcpy(m.va + first, bounce_byte(m, i, first), end - first);
        }
    }
    memory_.free(*m.bounce);
    mapped_.erase(it);
}

}  // namespace sim
