#include "pc/event_log.h"

#include <algorithm>
#include <array>

#include "miniport.h"

namespace sim {
namespace {

// The codes miniport.h publishes, each with its name as written there.
#define PUBLISHED(code, meaning) LogCode{code, #code, meaning}
constexpr std::array<LogCode, 7> kCodes{{
    PUBLISHED(SP_BUS_PARITY_ERROR, "SCSI bus parity error"),
    PUBLISHED(SP_UNEXPECTED_DISCONNECT, "unexpected disconnect by a target"),
    PUBLISHED(SP_INVALID_RESELECTION, "invalid reselection"),
    PUBLISHED(SP_BUS_TIME_OUT, "SCSI bus time-out"),
    PUBLISHED(SP_PROTOCOL_ERROR, "SCSI protocol error"),
    PUBLISHED(SP_INTERNAL_ADAPTER_ERROR, "internal adapter error"),
    PUBLISHED(SP_REQUEST_TIMEOUT, "request timed out"),
}};
#undef PUBLISHED

}  // namespace

std::span<const LogCode> log_codes()
{
    return kCodes;
}

const LogCode* find_log_code(uint32_t code)
{
    const auto it = std::find_if(kCodes.begin(), kCodes.end(), [code](const LogCode& c) { return c.code == code; });
    return it == kCodes.end() ? nullptr : &*it;
}

}  // namespace sim
