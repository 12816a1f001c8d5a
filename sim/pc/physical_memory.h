// The PC's physical memory as the adapter's DMA engine sees it. Request
// buffers are host memory the driver sees as one contiguous virtual range,
// backed by simulated 4 KiB physical pages chosen with the machine's Rng:
// scattered, with runs of contiguous pages sometimes. The engine may read or
// write only inside buffers of outstanding requests, in the request's
// direction; anything else is a model error and moves no data.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "clock.h"
#include "data_direction.h"
#include "dma_memory.h"
#include "model_error.h"

namespace sim {


class PhysicalMemory : public DmaMemory {
public:
    static constexpr uint32_t kPageSize = 4096;
    static constexpr uint32_t kFirstPage = 0x100;     // nothing below 1 MiB
    static constexpr uint32_t kPageCount = 0x4000;    // 64 MiB of RAM

    enum class Layout : uint8_t {
        Random,      // scattered pages, contiguous runs sometimes
        Contiguous,  // one physically contiguous run
        Scattered,   // no two neighbouring pages contiguous
    };
    // Where the pages may lie: anywhere, or on one side of 16 MiB, the most
    // an adapter with 24-bit DMA addresses reaches.
    static constexpr uint32_t k24BitLimit = 16u << 20;
    enum class Region : uint8_t { Anywhere, Below16MiB, Above16MiB };

    struct Buffer {
        uint32_t id;
        uint8_t* data;     // the driver's virtual view: data[0 .. length)
        uint32_t length;
        uint32_t offset;   // of data[0] within its first page
        std::vector<uint32_t> pages;  // physical page number of each virtual page
    };

    PhysicalMemory(ModelErrors& errors, Rng& rng) : errors_(errors), rng_(rng) {}
    ~PhysicalMemory() override;

    // A buffer of `length` bytes starting `offset` bytes into a page (0-4095),
    // zero filled.
    Buffer& allocate(uint32_t length, uint32_t offset = 0, Layout layout = Layout::Random,
                     Region region = Region::Anywhere);
    void free(Buffer& buffer);
    // Called with each buffer just before free() releases it (one listener;
    // an empty function removes it): whoever shows the buffer elsewhere, an
    // emulated processor's memory say, stops showing it.
    void on_free(std::function<void(const Buffer&)> listener) { on_free_ = std::move(listener); }

    // The buffer holding virtual address `va`, or null.
    const Buffer* find(const void* va) const;
    // Physical address of `va` and the bytes physically contiguous from there
    // up to `limit` (an address just past the range of interest).
    struct Translation {
        uint32_t physical = 0;
        uint32_t contiguous = 0;
    };
    Translation translate(const void* va, const void* limit) const;

    // DMA permission for one outstanding request over [va, va + length):
    // the engine may write it (data in), read it (data out), or both when the
    // request leaves its direction open.
    struct Access {
        bool write = false;  // device to memory
        bool read = false;   // memory to device
    };
    // A request may have several windows: `offset` is where `va` lies in the
    // request's buffer (a bounce page stands for a page of the buffer).
    void open_window(uint64_t request, const void* va, uint32_t length, Access access, uint32_t offset = 0);
    void open_window(uint64_t request, const void* va, uint32_t length, DataDirection direction)
    {
        open_window(request, va, length, Access{direction == DataDirection::In, direction == DataDirection::Out});
    }
    // Part of a request's buffer whose DMA goes through bounce pages: the
    // engine has no business there, and a transfer that lands there is
    // reported as one to an address the port driver never gave.
    void mark_bounced(uint64_t request, const void* va, uint32_t length);
    // Closes every window of the request, and forgets its bounced parts.
    void close_window(uint64_t request);
    // The open window holding physical address `physical`: its request and
    // the offset of that byte in the request's buffer.
    struct WindowHit {
        uint64_t request = 0;
        uint32_t offset = 0;
    };
    std::optional<WindowHit> window_at(uint32_t physical) const;

    bool dma_write(uint32_t physical, const uint8_t* data, size_t length) override;
    bool dma_read(uint32_t physical, uint8_t* data, size_t length) override;

    uint64_t bytes_written() const { return bytes_written_; }
    uint64_t bytes_read() const { return bytes_read_; }

private:
    struct Window {
        uint64_t request;
        uintptr_t first, end;
        Access access;
        uint32_t offset;  // of `first` in the request's buffer
        bool allows(DataDirection direction) const
        {
            return direction == DataDirection::In ? access.write : direction == DataDirection::Out && access.read;
        }
    };
    struct PageOwner {
        Buffer* buffer;
        uint32_t index;
    };
    uint32_t take_page(uint32_t previous, Layout layout, bool first, Region region);
    // The host address of `physical`, or null when no buffer holds it.
    uint8_t* host_address(uint32_t physical) const;
    bool check(uint32_t physical, size_t length, DataDirection direction, const char* what);

    ModelErrors& errors_;
    Rng& rng_;
    uint32_t next_id_ = 1;
    std::vector<std::unique_ptr<Buffer>> buffers_;
    std::vector<uint8_t*> storage_;
    std::map<uintptr_t, Buffer*> by_address_;  // first page's host address -> buffer
    std::unordered_map<uint32_t, PageOwner> pages_;
    std::vector<Window> windows_;
    std::vector<Window> bounced_;  // parts of buffers whose DMA goes through bounce pages
    uint64_t bytes_written_ = 0, bytes_read_ = 0;
    std::function<void(const Buffer&)> on_free_;
};

}  // namespace sim
