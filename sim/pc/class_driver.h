// What a disk or optical class driver does with a request of its own that
// came back failed: send it again, or report the failure to its caller.
// The start-up scan's READ CAPACITY and the workload's reads and writes are
// class-driver requests; the port driver's own INQUIRY is not.
#pragma once

#include <cstdint>
#include <span>

#include "miniport.h"

namespace sim {

// Why a class driver sends a request again.
enum class Resend : uint8_t {
    No,
    // CHECK CONDITION whose sense says UNIT ATTENTION (the device was reset
    // or powered on), says nothing (NO SENSE: a tagged command queued behind
    // the one that reported the unit attention cleared it before the REQUEST
    // SENSE came), or could not be fetched at all.
    CheckCondition,
    // BUSY or QUEUE FULL still, after the port driver's own retries.
    Busy,
    // Ended by a bus reset.
    BusReset,
};

// Times a class driver sends one request again, whatever the reasons,
// before it reports the failure.
constexpr unsigned kClassDriverRetries = 4;

// `sense` is the request's sense buffer (read only when the SRB says the
// port driver filled it).
Resend class_driver_resends(const SCSI_REQUEST_BLOCK& srb, std::span<const uint8_t> sense);

}  // namespace sim
