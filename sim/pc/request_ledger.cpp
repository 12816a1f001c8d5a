#include "pc/request_ledger.h"

#include "pc/port_driver.h"

namespace sim {

RequestLedger::RequestLedger() = default;
RequestLedger::~RequestLedger() = default;

Request& RequestLedger::make()
{
    live_++;
    if (reusable_.size() > kQuarantine) {
        Request* r = reusable_.front();
        reusable_.pop_front();
        *r = Request{};
        return *r;
    }
    storage_.push_back(std::make_unique<Request>());
    Request& r = *storage_.back();
    by_srb_.emplace(&r.srb, &r);
    return r;
}

void RequestLedger::done(Request& request, bool listed)
{
    live_--;
    completions_++;
    // What the submitter's callback holds goes now; the rest stays for the
    // checks of a late completion.
    request.on_complete = nullptr;
    if (!recording_) {
        reusable_.push_back(&request);
        return;
    }
    if (listed)
        completed_.push_back(&request);
}

Request* RequestLedger::by_srb(const SCSI_REQUEST_BLOCK* srb) const
{
    const auto it = by_srb_.find(srb);
    return it == by_srb_.end() ? nullptr : it->second;
}

}  // namespace sim
