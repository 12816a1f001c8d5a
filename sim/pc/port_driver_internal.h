// What the port driver's source files share; nothing outside them includes it.
#pragma once

#include <cstdint>
#include <string_view>
#include <utility>

#include "pc/boundary.h"
#include "pc/port_driver.h"

namespace sim::port_internal {

inline constexpr const char* kWho = "port driver";
inline constexpr ULONG kDataFlags = SRB_FLAGS_DATA_IN | SRB_FLAGS_DATA_OUT;

inline uint32_t lun_key(const SCSI_REQUEST_BLOCK& srb)
{
    return uint32_t{srb.PathId} << 16 | uint32_t{srb.TargetId} << 8 | srb.Lun;
}

// Requests that go past the LU's queue: the port driver's own REQUEST SENSE,
// and the control requests (abort, reset) that act on the LU's requests.
inline bool bypasses_lu_queue(const SCSI_REQUEST_BLOCK& srb)
{
    return (srb.SrbFlags & SRB_FLAGS_BYPASS_FROZEN_QUEUE) || srb.Function != SRB_FUNCTION_EXECUTE_SCSI;
}

}  // namespace sim::port_internal

namespace sim {

template <class F> auto PortDriver::call(Routine routine, std::string_view name, F&& body)
{
    CurrentMachineScope scope(&machine_);
    // Entries are counted per call; an interrupt taken inside a routine is a call of its own.
    const size_t outer_entries = std::exchange(log_entries_this_call_, 0);
    const size_t depth = cpu_.depth();
    const bool enabled = cpu_.interrupts_enabled();
    routines_.push_back(routine);
    auto result = body();
    routines_.pop_back();
    log_entries_this_call_ = outer_entries;
    cpu_.check_returned(name, depth, enabled);
    return result;
}

}  // namespace sim
