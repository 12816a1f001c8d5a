// BUSY and QUEUE FULL: the port driver sends the request again itself.
#include "pc/port_driver.h"

#include "bus/scsi_vocabulary.h"
#include "pc/port_driver_internal.h"

namespace sim {

using namespace port_internal;

// The port driver's timer ticks once a second of system time; a BUSY request
// goes again at the next tick.
Nanoseconds PortDriver::busy_retry_delay() const
{
    if (options_.lenient.quick_busy_retry)
        return 500 * kMicrosecond;
    return kSecond - clock_.now() % kSecond;
}

// BUSY or QUEUE FULL from the target, or BUSY from the miniport (no room for
// the request): the LU takes nothing else until the same request has gone
// again, at the timer's next tick, up to 20 times; then it fails as it came.
bool PortDriver::retry_busy(Request& r)
{
    const uint8_t status = r.srb.SrbStatus & 0x3F;
    const bool busy = status == SRB_STATUS_BUSY ||
                      (status == SRB_STATUS_ERROR && (r.srb.ScsiStatus == scsi::status::kBusy ||
                                                      r.srb.ScsiStatus == scsi::status::kQueueFull));
    if (!busy || r.srb.Function != SRB_FUNCTION_EXECUTE_SCSI)
        return false;
    const Nanoseconds delay = busy_retry_delay();
    if (options_.lenient.quick_busy_retry) {
        const Nanoseconds deadline = r.submitted + Nanoseconds{r.srb.TimeOutValue} * kSecond;
        if (clock_.now() + delay > deadline)
            return false;
    } else if (r.busy_retries == kBusyRetryLimit) {
        return false;
    }
    r.busy_retries++;
    r.state = Request::State::Waiting;
    r.srb.SrbStatus = SRB_STATUS_PENDING;
    r.srb.ScsiStatus = 0;
    r.srb.DataTransferLength = r.length;
    parked_++;
    adapters_[r.adapter]->lus[lun_key(r.srb)].parked++;
    Request* request = &r;
    clock_.after(delay, [this, request] {
        parked_--;
        Adapter& a = *adapters_[request->adapter];
        const uint32_t key = lun_key(request->srb);
        Adapter::Lu& lu = a.lus[key];
        if (--lu.parked == 0 && lu.outstanding == 0)
            a.lus.erase(key);
        a.waiting.push_front(request);
    });
    return true;
}

}  // namespace sim
