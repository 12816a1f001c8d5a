// What the adapter's bus-master DMA engine sees of the PC: physical memory.
// The memory checks every access: the engine may touch only the buffers of
// requests that are outstanding, and only in the request's direction.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sim {

class DmaMemory {
public:
    virtual ~DmaMemory() = default;
    // Device to memory (a data-in transfer). False, with a model error
    // reported by the memory, when any byte falls outside what is allowed.
    virtual bool dma_write(uint32_t physical, const uint8_t* data, size_t length) = 0;
    // Memory to device (a data-out transfer).
    virtual bool dma_read(uint32_t physical, uint8_t* data, size_t length) = 0;
};

}  // namespace sim
