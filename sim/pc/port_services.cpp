// The ScsiPort* services the miniport calls about its requests, and the
// system's event log. Mappings, buffer addresses, the timer call and bus
// resets each have a file of their own.
#include "pc/port_driver.h"

#include <vector>

#include <fmt/format.h>

#include "pc/port_driver_internal.h"

namespace sim {

using namespace port_internal;

void PortDriver::stall(ULONG microseconds)
{
    ++stalls_;
    clock_.advance(Nanoseconds{microseconds} * kMicrosecond);
}

void PortDriver::log_error(PVOID extension, PSCSI_REQUEST_BLOCK srb, UCHAR path, UCHAR target, UCHAR lun,
                           ULONG code, ULONG unique_id)
{
    const int a = adapter_of(extension);
    if (a < 0) {
        errors_.report(kWho, "ScsiPortLogError from an extension that is no adapter");
        return;
    }
    if (!find_log_code(code)) {
        errors_.report(kWho, fmt::format("ScsiPortLogError with error code {:#x}, which is no published SP_ code", code));
        return;
    }
    LogEntry entry{clock_.now(), static_cast<size_t>(a), 0, path, target, lun, code, unique_id};
    if (srb) {
        const Request* r = outstanding_request(srb);
        if (!r) {
            errors_.report(kWho, "ScsiPortLogError names an SRB that is not outstanding");
            return;
        }
        entry.request = r->id;
    }
    if (++log_entries_this_call_ == kMaxLogEntriesPerCall + 1)
        errors_.report(kWho, fmt::format("more than {} event-log entries from one miniport routine call: the "
                                         "driver floods the log",
                                         kMaxLogEntriesPerCall));
    log_entries_++;
    logged_by_code_[code]++;
    if (event_log_.size() < kLogEntriesKept)
        event_log_.push_back(entry);
}

void PortDriver::request_complete(PVOID extension, PSCSI_REQUEST_BLOCK srb)
{
    Request* found = ledger_.by_srb(srb);
    if (!found) {
        errors_.report(kWho, "RequestComplete for an SRB the port driver never gave out");
        return;
    }
    Request& r = *found;
    if (r.state == Request::State::Completed) {
        errors_.report(kWho, fmt::format("RequestComplete for request {} (target {} LUN {}), already completed", r.id,
                                         r.srb.TargetId, r.srb.Lun));
        return;
    }
    if (r.state == Request::State::Waiting) {
        errors_.report(kWho, fmt::format("RequestComplete for request {}, not yet given to the miniport", r.id));
        return;
    }
    if (adapter_of(extension) != static_cast<int>(r.adapter))
        errors_.report(kWho, fmt::format("RequestComplete for request {} through another adapter's extension", r.id));
    if (srb->SrbStatus == SRB_STATUS_PENDING)
        errors_.report(kWho, fmt::format("request {} completed with SRB status pending", r.id));
    finish(r);
}

void PortDriver::next_request(PVOID extension)
{
    const int a = adapter_of(extension);
    if (a < 0) {
        errors_.report(kWho, "NextRequest from an extension that is no adapter");
        return;
    }
    adapters_[a]->ready = true;
}

void PortDriver::next_lu_request(PVOID extension, UCHAR path, UCHAR target, UCHAR lun)
{
    const int a = adapter_of(extension);
    if (a < 0) {
        errors_.report(kWho, "NextLuRequest from an extension that is no adapter");
        return;
    }
    if (target > 7 || lun > 7)
        errors_.report(kWho, fmt::format("NextLuRequest for path {} target {} LUN {}, which is no LU", path, target, lun));
    Adapter& adapter = *adapters_[a];
    adapter.next_lu_requests++;
    adapter.ready = true;
    if (options_.lenient.ignore_next_lu_request)
        return;
    const auto lu = adapter.lus.find(uint32_t{path} << 16 | uint32_t{target} << 8 | lun);
    if (lu != adapter.lus.end())
        lu->second.open = true;
}

void PortDriver::unsupported_notification(int type)
{
    errors_.report(kWho, fmt::format("ScsiPortNotification type {} is not one this miniport may use", type));
}

void PortDriver::complete_request(PVOID extension, UCHAR path, UCHAR target, UCHAR lun, UCHAR status)
{
    const int a = adapter_of(extension);
    if (a < 0) {
        errors_.report(kWho, "ScsiPortCompleteRequest from an extension that is no adapter");
        return;
    }
    // Every active request of the path, target and LU named, the one the
    // calling routine is processing included: an abort or reset request
    // handed to HwStartIo is completed here, and the miniport must not
    // complete it again.
    std::vector<Request*> matching;
    for (const auto& [id, r] : outstanding_) {
        const SCSI_REQUEST_BLOCK& s = r->srb;
        if (r->adapter == static_cast<size_t>(a) && s.PathId == path &&
            (target == 0xFF || s.TargetId == target) && (lun == 0xFF || s.Lun == lun))
            matching.push_back(r);
    }
    for (Request* r : matching) {
        r->srb.SrbStatus = status;
        r->bulk_completed = true;
        finish(*r);
    }
}

}  // namespace sim
