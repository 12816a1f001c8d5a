// The workload runner: drives a booted machine's scanned devices through the
// port driver with a read/write mix, sequential or random, keeping a number
// of requests outstanding per device, and measures what happens in virtual
// time. Completion callbacks run inside the driver's routines, so they only
// record; every new request is submitted from the run loop.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bus/scsi_bus.h"
#include "pc/class_driver.h"
#include "pc/machine.h"
#include "workload/block_model.h"
#include "workload/device_scan.h"

namespace sim::workload {

enum class Pattern : uint8_t { Sequential, Random };

struct WorkloadConfig {
    Pattern pattern = Pattern::Random;
    unsigned read_percent = 70;   // read-only devices always read
    uint32_t block_size = 4096;   // bytes per request, rounded up to whole device blocks
    unsigned outstanding = 4;     // requests kept outstanding per device
    uint64_t requests = 1000;     // per device; 0: run for `duration`
    Nanoseconds duration = 0;     // used when requests is 0
    bool verify = true;  // every block read compared, and at the end every block written read off the medium
    uint64_t seed = 1;
    // Each request's time-out (TimeOutValue): the port driver sends a BUSY
    // answer again until it has passed, and resets the bus after it.
    uint32_t timeout_seconds = 10;
    // A request that ends in a unit attention (the device was reset), a
    // CHECK CONDITION whose sense says nothing, BUSY or QUEUE FULL that
    // outlasted the port driver's retries, or a bus reset, is sent again, as a
    // class driver does, up to this many times (class_driver.h); then its
    // failure counts.
    unsigned class_retries = kClassDriverRetries;
    // Once no more requests are to be issued, the outstanding ones get this
    // long to complete, counted again from each completion. Between two
    // completions a port driver may take a request's time-out and two
    // ticks, a 4 s reset hold and 20 one-second BUSY retries of the request
    // waiting behind it. Whatever is still outstanding when nothing has
    // completed for this long is lost.
    Nanoseconds drain_limit = 120 * kSecond;

    // Requests other than plain reads and writes that a class driver or the
    // port driver may send, each drawn at its rate per request issued (from
    // a generator of their own: the plain requests stay the same).
    struct Unusual {
        // A read or write whose SRB leaves the direction open (both direction
        // flags), or asks for no disconnection, or no synchronous negotiation:
        // it must succeed with the right data like any other.
        double legal_flags = 0.04;
        // A read or write whose direction flags deny its data: a READ flagged
        // DATA_OUT or with none, a WRITE flagged DATA_IN or with none. It must
        // fail, and no byte may move against its flags (extra requests,
        // counted apart from `requests`).
        double against_direction = 0.02;
        // TEST UNIT READY with the link bit in its control byte: refused with
        // SRB_STATUS_INVALID_REQUEST before it reaches the bus (extra, as above).
        double linked = 0.01;
        // Every target runs the data phase of every command it accepts: a
        // request against its direction can only fail. False where a target
        // may end a command without its data (faults), where one that moved
        // nothing may succeed.
        bool data_phase_certain = true;
    } unusual{};
};

// The unusual requests completed, by class (WorkloadConfig::Unusual).
struct UnusualCounts {
    uint64_t open_direction = 0;   // legal: both direction flags
    uint64_t no_disconnect = 0;    // legal: SRB_FLAGS_DISABLE_DISCONNECT
    uint64_t no_synch = 0;         // legal: SRB_FLAGS_DISABLE_SYNCH_TRANSFER
    uint64_t read_flagged_out = 0, read_unflagged = 0;   // against their direction
    uint64_t write_flagged_in = 0, write_unflagged = 0;  // against their direction
    uint64_t linked = 0;           // link bit set
    // Requests against their direction, or linked, that did not end as they
    // must (counted in their class as well).
    uint64_t wrong = 0;
    // Selections, seen on the bus, of a request with DISABLE_DISCONNECT whose
    // IDENTIFY granted disconnection, or with DISABLE_SYNCH_TRANSFER and SDTR.
    uint64_t flags_ignored = 0;
    uint64_t against() const { return read_flagged_out + read_unflagged + write_flagged_in + write_unflagged; }
    UnusualCounts& operator+=(const UnusualCounts& o);
};

struct Latency {
    Nanoseconds p50 = 0, p99 = 0, max = 0;
};

struct DeviceResult {
    ScannedDevice device;  // its transfer settings and tag depth as the run left them
    uint64_t requests = 0;  // completed, successfully or not
    uint64_t reads = 0, writes = 0;
    uint64_t bytes = 0;     // moved by successful requests
    // MB = 10^6 bytes; virtual time, from the start to the device's last completion
    // (for the total: to the end of the run).
    double iops = 0, mb_per_s = 0;
    Latency latency;
    std::map<uint8_t, uint64_t> errors;  // failed requests by SRB status
    uint64_t busy_retries = 0;     // by the port driver
    // Failed BUSY or QUEUE FULL: the device still answered so when the port
    // driver had sent the request again as often as it does (a driver that
    // kept refusing it, SRB_STATUS_BUSY, is not counted here).
    uint64_t busy_failed = 0;
    // Sendings again, as a class driver does them (WorkloadConfig::class_retries):
    uint64_t resent = 0;              // in all
    uint64_t unit_attentions = 0;     // after a CHECK CONDITION: unit attention, or sense that says nothing
    uint64_t resent_busy = 0;         // after BUSY or QUEUE FULL that outlasted the port driver
    uint64_t resent_after_reset = 0;  // after a bus reset
    // Successful, but the SRB reports less data moved than asked for (a
    // device that ended its data phase early): counted apart from the
    // successes; a read is checked over the whole blocks that arrived.
    uint64_t short_transfers = 0;
    uint64_t bytes_miscompared = 0, blocks_miscompared = 0;
    uint64_t lost = 0;  // submitted and never completed
    UnusualCounts unusual;
    std::vector<std::string> failures;  // the first few, in words
};

struct AdapterResult {
    size_t adapter = 0;
    uint64_t requests = 0;
    uint64_t interrupts = 0;
    uint64_t data_bytes = 0;          // data-phase bytes on the bus
    double bus_busy = 0;              // share of the run the bus was not free
    double bus_limit = 0;             // bytes/s at the fastest agreed rate on this bus
    double bus_share = 0;             // data bytes per second / bus_limit
    double interrupts_per_request = 0;
};

struct Results {
    Nanoseconds elapsed = 0;
    std::vector<DeviceResult> devices;
    DeviceResult total;
    std::vector<AdapterResult> adapters;
    // Commands with the link bit that reached a bus: none may.
    uint64_t linked_on_bus = 0;
    uint64_t port_accesses = 0;
    double port_accesses_per_request = 0;
    // True when every request completed successfully and every byte read matched.
    bool clean() const;
    // What went wrong, one line each; empty when clean.
    std::vector<std::string> problems() const;
};

std::string srb_status_name(uint8_t status);

class Runner {
public:
    Runner(Machine& machine, std::vector<ScannedDevice> devices, WorkloadConfig config);
    ~Runner();
    Runner(const Runner&) = delete;
    Runner& operator=(const Runner&) = delete;

    // Sees every bus event of every adapter (the runner owns the buses' listeners).
    void set_bus_observer(std::function<void(size_t adapter, const BusEvent&)> observer);
    // Called now and then from the run loop with the share done (0-1).
    void set_progress(std::function<void(double)> progress);

    Results run();

private:
    struct Slot;
    struct Device;
    struct BusMeter;

    void install_listeners();
    void remove_listeners();
    bool may_issue(const Device& d) const;
    bool more_to_issue() const;
    bool issue(Device& d, Slot& s);
    bool issue_refused(Device& d, Slot& s);
    void check_selection(size_t adapter, uint8_t target, uint8_t identify, bool sdtr, const std::vector<uint8_t>& cdb);
    void complete_refused(Slot& s, const std::optional<std::string>& hole);
    void submit(Slot& s);
    void complete(Slot& s);
    bool resend(Slot& s);
    void fill_idle_slots();
    void process_completions();
    double progress() const;
    void check_media(Device& d);
    Results collect();

    Machine& machine_;
    WorkloadConfig config_;
    Rng rng_;
    Rng unusual_rng_;
    std::vector<std::unique_ptr<Device>> devices_;
    std::vector<std::unique_ptr<BusMeter>> meters_;
    std::vector<Slot*> done_;    // completed inside a driver routine, handled by the loop
    std::vector<Slot*> scratch_;
    bool issuing_over_ = false;
    std::function<void(size_t, const BusEvent&)> observer_;
    std::function<void(double)> progress_;
    Nanoseconds start_ = 0, stop_issuing_ = 0;
    uint64_t accesses_before_ = 0;
    size_t in_flight_ = 0;  // slots in flight or waiting to retry
    size_t slot_count_ = 0;
    // Callbacks left with the port driver and the clock check this: a request
    // lost by the driver may still complete after the runner is gone.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace sim::workload
