// The one place outside the driver that looks inside it: the driver's
// records behind the opaque extension the port driver holds, the scan
// position in its discovery context, and the end-of-run check that the
// driver holds nothing (every command block free, no LUN owning the bus, the
// service ring empty, every LUN able to start). Used by tests and by the
// fuzzer; the simulator and the test bench know the driver only through the
// port-driver interface.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "adapter.h"
#include "chip.h"
#include "discovery.h"
#include "engine.h"
#include "frame.h"
#include "pci.h"
#include "requests.h"
#include "scsi.h"
#include "pc/machine.h"

namespace internals {

// The driver's extension of the port driver's adapter `index`.
inline AdapterExtension* Extension(const sim::Machine& machine, size_t index)
{
    return static_cast<AdapterExtension*>(machine.adapters().at(index).extension);
}
inline AdapterExtension* Extension(const sim::Machine::FoundAdapter& adapter)
{
    return static_cast<AdapterExtension*>(adapter.extension);
}

// The discovery context as one HwFindAdapter call left it.
inline DiscoveryContext Context(const sim::PortDriver::FindCall& call)
{
    static_assert(sizeof(DiscoveryContext) == sizeof(call.context));
    DiscoveryContext context;
    std::memcpy(&context, call.context.data(), sizeof context);
    return context;
}

// The command blocks on the free list (counted no further than the pool holds).
inline int FreeBlockCount(const AdapterExtension& e)
{
    int free_blocks = 0;
    for (const CommandBlock* b = e.FreeBlocks; b && free_blocks <= COMMAND_BLOCK_COUNT; b = b->Next)
        free_blocks++;
    return free_blocks;
}

// With the adapter idle, whatever its driver still holds, in words.
inline void AdapterHoldsNothing(const AdapterExtension& e, std::vector<std::string>& problems)
{
    const int free_blocks = FreeBlockCount(e);
    if (free_blocks != COMMAND_BLOCK_COUNT)
        problems.push_back(fmt::format("{} of {} command blocks free at the end", free_blocks, COMMAND_BLOCK_COUNT));
    if (e.ActiveLun || e.ServiceCursor)
        problems.push_back("a LUN still owns the bus or the service ring is not empty at the end");
    for (const auto& target : e.Lun)
        for (const LunRecord& lun : target)
            if (lun.QueueDepth < 1 || lun.IssuedCount || lun.QueuedCount || lun.QueueHead)
                problems.push_back(fmt::format("target {} LUN record left unable to start (depth {}, issued {}, "
                                               "queued {})",
                                               lun.TargetId, lun.QueueDepth, lun.IssuedCount, lun.QueuedCount));
}

// With the machine idle, whatever the driver still holds, in words.
inline void DriverHoldsNothing(const sim::Machine& machine, std::vector<std::string>& problems)
{
    for (const sim::Machine::FoundAdapter& a : machine.adapters())
        AdapterHoldsNothing(*Extension(a), problems);
}

}  // namespace internals
