// A request's way through the port driver: submitted, held in its LU's
// queue, given to HwStartIo, and delivered once the miniport is done.
#include "pc/port_driver.h"

#include <algorithm>
#include <set>
#include <stdexcept>
#include <utility>

#include <fmt/format.h>

#include "pc/port_driver_internal.h"

namespace sim {

using namespace port_internal;

ULONG RequestSpec::data_flags() const
{
    if (direction_flags)
        return *direction_flags;
    return direction == DataDirection::In ? SRB_FLAGS_DATA_IN : direction == DataDirection::Out ? SRB_FLAGS_DATA_OUT : 0;
}

Request& PortDriver::submit(size_t index, const RequestSpec& request_spec, std::function<void(const Request&)> on_complete)
{
    if (index >= adapters_.size())
        throw std::out_of_range(fmt::format("no adapter {} to send a request to", index));
    if (request_spec.cdb.size() > 16)
        throw std::invalid_argument("a CDB holds at most 16 bytes");
    if (request_spec.direction_flags && (*request_spec.direction_flags & ~kDataFlags))
        throw std::invalid_argument(fmt::format("direction flags {:#x} hold more than SRB_FLAGS_DATA_IN and "
                                                "SRB_FLAGS_DATA_OUT",
                                                *request_spec.direction_flags));
    Request& r = ledger_.make();
    r.id = next_request_id_++;
    r.adapter = index;
    r.submitted = clock_.now();
    r.on_complete = std::move(on_complete);

    SCSI_REQUEST_BLOCK& srb = r.srb;
    srb.Length = sizeof srb;
    srb.Function = request_spec.function;
    srb.SrbStatus = SRB_STATUS_PENDING;
    srb.PathId = request_spec.path;
    srb.TargetId = request_spec.target;
    srb.Lun = request_spec.lun;
    srb.QueueAction = request_spec.queue_action;
    srb.CdbLength = static_cast<UCHAR>(request_spec.cdb.size());
    std::copy(request_spec.cdb.begin(), request_spec.cdb.end(), srb.Cdb);
    srb.SrbFlags = (request_spec.queue_action_enable ? SRB_FLAGS_QUEUE_ACTION_ENABLE : 0) |
                   (request_spec.disable_disconnect ? SRB_FLAGS_DISABLE_DISCONNECT : 0) |
                   (request_spec.disable_synch_transfer ? SRB_FLAGS_DISABLE_SYNCH_TRANSFER : 0) |
                   request_spec.data_flags();
    if (request_spec.buffer) {
        srb.DataBuffer = request_spec.buffer->data;
        srb.DataTransferLength = request_spec.length ? request_spec.length : request_spec.buffer->length;
        if (srb.DataTransferLength > request_spec.buffer->length)
            throw std::invalid_argument("request length beyond its buffer");
    }
    r.mapped_data = static_cast<uint8_t*>(srb.DataBuffer);
    r.length = srb.DataTransferLength;
    if (request_spec.sense_wanted) {
        srb.SenseInfoBuffer = r.sense.data();
        srb.SenseInfoBufferLength = static_cast<UCHAR>(r.sense.size());
    } else {
        srb.SrbFlags |= SRB_FLAGS_DISABLE_AUTOSENSE;
    }
    srb.TimeOutValue = request_spec.timeout_seconds;
    srb.NextSrb = request_spec.next_srb;
    srb.OriginalRequest = &r;
    r.hold_frozen_queue = request_spec.hold_frozen_queue;

    adapters_[index]->waiting.push_back(&r);
    return r;
}

// Whether `r` may go to the miniport now, as far as its LU goes. A frozen LU
// takes nothing but what bypasses its queue, and neither does one whose BUSY
// request waits for the timer. With one request per LU (the miniport did not
// register MultipleRequestPerLu) a LU with requests outstanding takes another
// only after NextLuRequest, and only a tagged one.
bool PortDriver::startable(const Adapter& a, const Request& r) const
{
    const SCSI_REQUEST_BLOCK& srb = r.srb;
    if (bypasses_lu_queue(srb))
        return true;
    const uint32_t key = lun_key(srb);
    if (!a.frozen.empty() && a.frozen.contains(key))
        return false;
    const auto lu = a.lus.find(key);
    if (lu == a.lus.end())
        return true;
    if (lu->second.parked)
        return false;
    if (lu->second.outstanding == 0 || registration_.MultipleRequestPerLu || options_.lenient.any_lu_request)
        return true;
    return lu->second.open && (srb.SrbFlags & SRB_FLAGS_QUEUE_ACTION_ENABLE);
}

// The first waiting request that may go now. Each LU's requests go in the
// order they came: one that must wait holds back the rest of its LU.
Request* PortDriver::next_startable(Adapter& a) const
{
    std::set<uint32_t> held;
    for (Request* w : a.waiting) {
        const uint32_t key = lun_key(w->srb);
        if (!bypasses_lu_queue(w->srb) && !held.empty() && held.contains(key))
            continue;
        if (startable(a, *w))
            return w;
        held.insert(key);
    }
    return nullptr;
}

void PortDriver::start_waiting(size_t index)
{
    Adapter& a = *adapters_[index];
    while (a.initialized && a.ready && !a.waiting.empty() && !in_routine() && clock_.now() >= a.hold_until) {
        Request* next = next_startable(a);
        if (!next)
            return;
        Request& r = *next;
        a.waiting.erase(std::find(a.waiting.begin(), a.waiting.end(), next));
        r.state = Request::State::Outstanding;
        outstanding_.emplace(r.id, &r);
        r.started = clock_.now();
        Adapter::Lu& lu = a.lus[lun_key(r.srb)];
        lu.outstanding++;
        lu.open = false;
        timeouts_.started(r.id, {index, r.srb.PathId, r.srb.TargetId, r.srb.Lun}, r.srb.TimeOutValue);
        // The buffer is open to DMA as far as the direction flags say: with
        // neither flag (no data transfer) not at all, with both either way.
        const ULONG flags = r.srb.SrbFlags;
        // A bus master's pages beyond its 24-bit reach are bounced below
        // 16 MiB here; a miniport that moves data itself needs no bouncing.
        if (r.srb.DataBuffer && (flags & kDataFlags))
            dma_.open(r.id, static_cast<uint8_t*>(r.srb.DataBuffer), r.srb.DataTransferLength,
                      PhysicalMemory::Access{(flags & SRB_FLAGS_DATA_IN) != 0, (flags & SRB_FLAGS_DATA_OUT) != 0},
                      !a.config.Master || a.config.Dma32BitAddresses);
        hand_out_buffer(r);
        // The next request goes only after the miniport asks for it.
        a.ready = false;
        call(Routine::StartIo, "HwStartIo",
             [&] { return registration_.HwStartIo(a.extension, &r.srb); });
        deliver_interrupts();
    }
}

Request* PortDriver::outstanding_request(const SCSI_REQUEST_BLOCK* srb)
{
    Request* r = ledger_.by_srb(srb);
    return r && r->state == Request::State::Outstanding ? r : nullptr;
}

// The miniport is done with a request: what the port driver does before the
// submitter sees it (BUSY sent again, sense fetched), then completion.
void PortDriver::finish(Request& r)
{
    outstanding_.erase(r.id);
    timeouts_.finished(r.id);
    Adapter& a = *adapters_[r.adapter];
    auto lu = a.lus.find(lun_key(r.srb));
    if (lu != a.lus.end() && lu->second.outstanding > 0 && --lu->second.outstanding == 0 && !lu->second.parked)
        a.lus.erase(lu);
    // Data in reaches a bounced buffer here, before anyone sees the request done.
    dma_.close(r.id);
    take_back_buffer(r);
    if (r.sense_for) {
        sense_fetched(r);
        return;
    }
    if (retry_busy(r) || fetch_sense(r))
        return;
    deliver(r);
}

void PortDriver::deliver(Request& r)
{
    r.state = Request::State::Completed;
    r.completed = clock_.now();
    if (r.on_complete)
        r.on_complete(r);
    // The class driver takes a request back with its LU's queue frozen and
    // releases the queue then.
    if ((r.srb.SrbStatus & SRB_STATUS_QUEUE_FROZEN) && !r.hold_frozen_queue)
        release_queue(r.adapter, r.srb.PathId, r.srb.TargetId, r.srb.Lun);
    ledger_.done(r, true);
}

void PortDriver::release_queue(size_t index, uint8_t path, uint8_t target, uint8_t lun)
{
    adapters_.at(index)->frozen.erase(uint32_t{path} << 16 | uint32_t{target} << 8 | lun);
}

size_t PortDriver::outstanding() const
{
    return outstanding_.size();
}

const Request* PortDriver::find_outstanding(uint64_t id) const
{
    const auto it = outstanding_.find(id);
    return it == outstanding_.end() ? nullptr : it->second;
}

std::vector<const Request*> PortDriver::outstanding_for(size_t adapter, uint8_t target, uint8_t lun) const
{
    std::vector<const Request*> out;
    for (const auto& [id, r] : outstanding_)
        if (r->adapter == adapter && r->srb.TargetId == target && r->srb.Lun == lun)
            out.push_back(r);
    return out;
}

size_t PortDriver::waiting() const
{
    size_t n = 0;
    for (const auto& a : adapters_)
        n += a->waiting.size();
    return n;
}

}  // namespace sim
