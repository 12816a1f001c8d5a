#include "pc/event_log.h"

#include <algorithm>
#include <array>

namespace sim {
namespace {

constexpr std::array<LogCode, 7> kCodes{{
    {1, "SP_BUS_PARITY_ERROR", "SCSI bus parity error"},
    {2, "SP_UNEXPECTED_DISCONNECT", "unexpected disconnect by a target"},
    {3, "SP_INVALID_RESELECTION", "invalid reselection"},
    {4, "SP_BUS_TIME_OUT", "SCSI bus time-out"},
    {5, "SP_PROTOCOL_ERROR", "SCSI protocol error"},
    {6, "SP_INTERNAL_ADAPTER_ERROR", "internal adapter error"},
    {7, "SP_REQUEST_TIMEOUT", "request timed out"},
}};

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
