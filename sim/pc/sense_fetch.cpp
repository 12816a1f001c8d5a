// REQUEST SENSE after a CHECK CONDITION, for a miniport that does not fetch
// sense itself.
#include "pc/port_driver.h"

#include <algorithm>
#include <cstring>

#include "bus/scsi_vocabulary.h"
#include "pc/port_driver_internal.h"

namespace sim {

using namespace port_internal;

// CHECK CONDITION with sense wanted, from a miniport that does not fetch sense
// itself: the LUN's queue is frozen, REQUEST SENSE goes as the port driver's
// own request ahead of everything else, and the original waits for it.
bool PortDriver::fetch_sense(Request& r)
{
    const SCSI_REQUEST_BLOCK& srb = r.srb;
    if (registration_.AutoRequestSense || srb.Function != SRB_FUNCTION_EXECUTE_SCSI ||
        (srb.SrbStatus & 0x3F) != SRB_STATUS_ERROR || srb.ScsiStatus != scsi::status::kCheckCondition ||
        (srb.SrbStatus & SRB_STATUS_AUTOSENSE_VALID) || (srb.SrbFlags & SRB_FLAGS_DISABLE_AUTOSENSE) ||
        !srb.SenseInfoBuffer || srb.SenseInfoBufferLength == 0)
        return false;
    Adapter& a = *adapters_[r.adapter];
    a.frozen.insert(lun_key(srb));
    a.sense_requests++;

    Request& s = ledger_.make();
    s.id = next_request_id_++;
    s.adapter = r.adapter;
    s.submitted = clock_.now();
    s.sense_for = &r;
    s.sense_buffer = &memory_.allocate(kSenseLength);
    SCSI_REQUEST_BLOCK& q = s.srb;
    q.Length = sizeof q;
    q.Function = SRB_FUNCTION_EXECUTE_SCSI;
    q.SrbStatus = SRB_STATUS_PENDING;
    q.PathId = srb.PathId;
    q.TargetId = srb.TargetId;
    q.Lun = srb.Lun;
    q.CdbLength = 6;
    q.Cdb[0] = scsi::op::kRequestSense;
    q.Cdb[4] = kSenseLength;
    // As the port driver sends it: past the frozen queue, no disconnection,
    // and synchronous transfer disabled only when the failed request had it so.
    q.SrbFlags = SRB_FLAGS_DATA_IN | SRB_FLAGS_BYPASS_FROZEN_QUEUE | SRB_FLAGS_DISABLE_DISCONNECT |
                 (srb.SrbFlags & SRB_FLAGS_DISABLE_SYNCH_TRANSFER);
    q.DataBuffer = s.sense_buffer->data;
    q.DataTransferLength = kSenseLength;
    q.TimeOutValue = kSenseTimeoutSeconds;
    q.OriginalRequest = &s;
    s.mapped_data = s.sense_buffer->data;
    s.length = q.DataTransferLength;

    r.state = Request::State::Waiting;
    parked_++;
    a.waiting.push_front(&s);
    return true;
}

void PortDriver::sense_fetched(Request& s)
{
    Request& r = *s.sense_for;
    s.state = Request::State::Completed;
    s.completed = clock_.now();
    const uint8_t status = s.srb.SrbStatus & 0x3F;
    if (status == SRB_STATUS_SUCCESS || status == SRB_STATUS_DATA_OVERRUN) {
        const uint32_t got = std::min<uint32_t>(s.srb.DataTransferLength, r.srb.SenseInfoBufferLength);
        std::memcpy(r.srb.SenseInfoBuffer, s.sense_buffer->data, got);
        r.srb.SenseInfoBufferLength = static_cast<UCHAR>(got);
        r.srb.SrbStatus |= SRB_STATUS_AUTOSENSE_VALID;
    }
    memory_.free(*s.sense_buffer);
    s.sense_buffer = nullptr;
    // The LU stays frozen until the class driver releases it.
    r.srb.SrbStatus |= SRB_STATUS_QUEUE_FROZEN;
    parked_--;
    ledger_.done(s, false);
    deliver(r);
}

}  // namespace sim
