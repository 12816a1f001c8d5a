// The system event log as the port driver keeps it for its miniports: one
// entry per ScsiPortLogError call. The port driver names the error codes
// miniport.h publishes and says what each means.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "clock.h"

namespace sim {

struct LogEntry {
    Nanoseconds time = 0;
    size_t adapter = 0;
    uint64_t request = 0;  // the request the entry names; 0 for none
    uint8_t path = 0, target = 0, lun = 0;
    uint32_t code = 0;
    uint32_t unique_id = 0;
};

struct LogCode {
    uint32_t code;
    std::string_view name;     // as published, SP_...
    std::string_view meaning;  // what the administrator reads
};

// Every error code a miniport may log, in code order.
std::span<const LogCode> log_codes();
// The code's entry, or null for a code that is not published.
const LogCode* find_log_code(uint32_t code);

}  // namespace sim
