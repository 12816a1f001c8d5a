#include "pc/physical_memory.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

#include <fmt/format.h>

namespace sim {

namespace {
constexpr std::align_val_t kPageAlign{PhysicalMemory::kPageSize};
}  // namespace

PhysicalMemory::~PhysicalMemory()
{
    for (uint8_t* s : storage_)
        ::operator delete[](s, kPageAlign);
}

uint32_t PhysicalMemory::take_page(uint32_t previous, Layout layout, bool first, Region region)
{
    constexpr uint32_t kLimitPage = k24BitLimit / kPageSize;
    const uint32_t low = region == Region::Above16MiB ? kLimitPage : kFirstPage;
    const uint32_t end = region == Region::Below16MiB ? kLimitPage : kFirstPage + kPageCount;
    const bool want_next = !first && (layout == Layout::Contiguous ||
                                      (layout == Layout::Random && rng_.chance(0.4)));
    if (want_next && previous + 1 < end && !pages_.contains(previous + 1))
        return previous + 1;
    if (layout == Layout::Contiguous && !first)
        throw std::runtime_error("no contiguous physical run left for the buffer");
    for (int tries = 0; tries < 100000; tries++) {
        auto page = static_cast<uint32_t>(rng_.range(low, end - 1));
        if (pages_.contains(page))
            continue;
        if (!first && layout == Layout::Scattered && page == previous + 1)
            continue;
        return page;
    }
    throw std::runtime_error("simulated physical memory is full");
}

PhysicalMemory::Buffer& PhysicalMemory::allocate(uint32_t length, uint32_t offset, Layout layout, Region region)
{
    if (offset >= kPageSize)
        throw std::invalid_argument("buffer offset must lie within the first page");
    const uint32_t page_count = std::max<uint32_t>(1, (offset + length + kPageSize - 1) / kPageSize);
    auto* base = static_cast<uint8_t*>(::operator new[](size_t{page_count} * kPageSize, kPageAlign));
    std::memset(base, 0, size_t{page_count} * kPageSize);
    storage_.push_back(base);

    auto buffer = std::make_unique<Buffer>(Buffer{next_id_++, base + offset, length, offset, {}});
    uint32_t previous = 0;
    for (uint32_t i = 0; i < page_count; i++) {
        previous = take_page(previous, layout, i == 0, region);
        buffer->pages.push_back(previous);
        pages_[previous] = PageOwner{buffer.get(), i};
    }
    by_address_[reinterpret_cast<uintptr_t>(base)] = buffer.get();
    buffers_.push_back(std::move(buffer));
    return *buffers_.back();
}

void PhysicalMemory::free(Buffer& buffer)
{
    if (on_free_)
        on_free_(buffer);
    for (uint32_t page : buffer.pages)
        pages_.erase(page);
    uint8_t* base = buffer.data - buffer.offset;
    by_address_.erase(reinterpret_cast<uintptr_t>(base));
    std::erase_if(buffers_, [&](const auto& b) { return b.get() == &buffer; });
    std::erase(storage_, base);
    ::operator delete[](base, kPageAlign);
}

const PhysicalMemory::Buffer* PhysicalMemory::find(const void* va) const
{
    const auto a = reinterpret_cast<uintptr_t>(va);
    auto it = by_address_.upper_bound(a);
    if (it == by_address_.begin())
        return nullptr;
    --it;
    const Buffer* b = it->second;
    const auto first = reinterpret_cast<uintptr_t>(b->data);
    return a >= first && a < first + b->length ? b : nullptr;
}

PhysicalMemory::Translation PhysicalMemory::translate(const void* va, const void* limit) const
{
    const Buffer* b = find(va);
    if (!b)
        return {};
    const auto base = reinterpret_cast<uintptr_t>(b->data) - b->offset;
    const uintptr_t at = reinterpret_cast<uintptr_t>(va) - base;
    const uintptr_t end = std::min<uintptr_t>(reinterpret_cast<uintptr_t>(limit) - base, b->offset + b->length);
    uint32_t page = static_cast<uint32_t>(at / kPageSize);
    Translation t{static_cast<uint32_t>(b->pages[page] * kPageSize + at % kPageSize), 0};
    uintptr_t run_end = (page + 1) * uintptr_t{kPageSize};
    while (run_end < end && page + 1 < b->pages.size() && b->pages[page + 1] == b->pages[page] + 1) {
        page++;
        run_end += kPageSize;
    }
    t.contiguous = static_cast<uint32_t>(std::min(run_end, end) - at);
    return t;
}

void PhysicalMemory::open_window(uint64_t request, const void* va, uint32_t length, Access access, uint32_t offset)
{
    const auto first = reinterpret_cast<uintptr_t>(va);
    windows_.push_back(Window{request, first, first + length, access, offset});
}

void PhysicalMemory::mark_bounced(uint64_t request, const void* va, uint32_t length)
{
    const auto first = reinterpret_cast<uintptr_t>(va);
    bounced_.push_back(Window{request, first, first + length, Access{}, 0});
}

void PhysicalMemory::close_window(uint64_t request)
{
    std::erase_if(windows_, [request](const Window& w) { return w.request == request; });
    if (!bounced_.empty())
        std::erase_if(bounced_, [request](const Window& w) { return w.request == request; });
}

std::optional<PhysicalMemory::WindowHit> PhysicalMemory::window_at(uint32_t physical) const
{
    const auto h = reinterpret_cast<uintptr_t>(host_address(physical));
    if (!h)
        return std::nullopt;
    for (const Window& w : windows_)
        if (h >= w.first && h < w.end)
            return WindowHit{w.request, w.offset + static_cast<uint32_t>(h - w.first)};
    return std::nullopt;
}

uint8_t* PhysicalMemory::host_address(uint32_t physical) const
{
    auto it = pages_.find(physical / kPageSize);
    if (it == pages_.end())
        return nullptr;
    const Buffer* b = it->second.buffer;
    return b->data - b->offset + size_t{it->second.index} * kPageSize + physical % kPageSize;
}

// Every byte of the transfer must lie in an open window of the right direction.
bool PhysicalMemory::check(uint32_t physical, size_t length, DataDirection direction, const char* what)
{
    uint64_t at = physical;
    const uint64_t end = uint64_t{physical} + length;
    while (at < end) {
        const uint64_t chunk_end = std::min<uint64_t>(end, (at / kPageSize + 1) * kPageSize);
        const uint8_t* host = at > 0xFFFFFFFFu ? nullptr : host_address(static_cast<uint32_t>(at));
        const auto h = reinterpret_cast<uintptr_t>(host);
        const auto ok = [&](const Window& w) {
            return w.allows(direction) && h >= w.first && h + (chunk_end - at) <= w.end;
        };
        if (!host || std::none_of(windows_.begin(), windows_.end(), ok)) {
            const auto holds = [&](const Window& w) { return h >= w.first && h < w.end; };
            const bool any = host && std::any_of(windows_.begin(), windows_.end(), holds);
            const bool bounced = host && std::any_of(bounced_.begin(), bounced_.end(), holds);
            errors_.report("memory",
                           fmt::format("DMA {} of {} bytes at physical {:#010x}: byte {:#010x} is {}", what,
                                       length, physical, at,
                                       !host       ? "in no request buffer"
                                       : any       ? "in a buffer its request does not open this way"
                                       : bounced   ? "in a page of a request buffer that the port driver bounces "
                                                     "below 16 MiB: an address it never gave out"
                                                   : "outside every outstanding request's buffer"));
            return false;
        }
        at = chunk_end;
    }
    return true;
}

bool PhysicalMemory::dma_write(uint32_t physical, const uint8_t* data, size_t length)
{
    if (!check(physical, length, DataDirection::In, "write"))
        return false;
    for (size_t done = 0; done < length;) {
        const uint32_t at = physical + static_cast<uint32_t>(done);
        const size_t chunk = std::min<size_t>(length - done, kPageSize - at % kPageSize);
        std::memcpy(host_address(at), data + done, chunk);
        done += chunk;
    }
    bytes_written_ += length;
    return true;
}

bool PhysicalMemory::dma_read(uint32_t physical, uint8_t* data, size_t length)
{
    if (!check(physical, length, DataDirection::Out, "read"))
        return false;
    for (size_t done = 0; done < length;) {
        const uint32_t at = physical + static_cast<uint32_t>(done);
        const size_t chunk = std::min<size_t>(length - done, kPageSize - at % kPageSize);
        std::memcpy(data + done, host_address(at), chunk);
        done += chunk;
    }
    bytes_read_ += length;
    return true;
}

}  // namespace sim
