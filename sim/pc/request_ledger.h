// The port driver's requests, from submission until their submitter has seen
// them complete, in constant space over a run of any length. A completed
// request's storage, and so its SRB's address, is taken for a new request
// only after kQuarantine later requests have completed: a miniport that
// completes an SRB again after that long is caught as long as the storage is
// not reused ("already completed"), and at worst as completing a request it
// was never given. With recording on (tests), nothing is reused and every
// completion is listed in order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <unordered_map>
#include <vector>

#include "miniport.h"

namespace sim {

struct Request;

class RequestLedger {
public:
    // Completed requests kept before their storage is used again.
    static constexpr size_t kQuarantine = 4096;

    RequestLedger();
    ~RequestLedger();
    RequestLedger(const RequestLedger&) = delete;
    RequestLedger& operator=(const RequestLedger&) = delete;

    // A fresh request, its SRB at an address no live request has.
    Request& make();
    // The request is complete and its checks are done; `listed` completions
    // (the submitters' own) are listed when recording.
    void done(Request& request, bool listed);
    // The request whose SRB is at `srb`, live or completed not long ago; null
    // for an address the port driver never gave out.
    Request* by_srb(const SCSI_REQUEST_BLOCK* srb) const;

    // Keep every request from now on and list the completions (tests that
    // look at requests after the fact).
    void set_recording(bool on) { recording_ = on; }
    bool recording() const { return recording_; }
    const std::vector<const Request*>& completed() const { return completed_; }

    size_t live() const { return live_; }             // submitted, not yet done
    size_t storage() const { return storage_.size(); }  // requests' storage held, live or not
    uint64_t completions() const { return completions_; }

private:
    std::vector<std::unique_ptr<Request>> storage_;
    std::deque<Request*> reusable_;  // oldest completion first
    std::unordered_map<const SCSI_REQUEST_BLOCK*, Request*> by_srb_;
    std::vector<const Request*> completed_;
    bool recording_ = false;
    size_t live_ = 0;
    uint64_t completions_ = 0;
};

}  // namespace sim
