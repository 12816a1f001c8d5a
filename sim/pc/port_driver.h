// The SCSI port driver model: what the miniport's routine slots are called
// by, and what its ScsiPort* services do. Strict: unbalanced mappings, port
// accesses outside any mapping, requests completed twice or never given,
// interrupts nobody claims, and a registration record out of order are all
// model errors.
#pragma once

#include <array>
#include <cstdint>
#include <set>
#include <string>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <unordered_map>
#include <string_view>
#include <vector>

#include "clock.h"
#include "miniport.h"
#include "model_error.h"
#include "pc/cpu.h"
#include "pc/dma_mapping.h"
#include "pc/event_log.h"
#include "pc/interrupts.h"
#include "pc/physical_memory.h"
#include "pc/request_ledger.h"
#include "pc/timeouts.h"
#include "port_space.h"

namespace sim {

class Machine;

// What a test or the bench asks the port driver to send to an adapter.
struct RequestSpec {
    uint8_t function = SRB_FUNCTION_EXECUTE_SCSI;
    uint8_t path = 0, target = 0, lun = 0;
    std::vector<uint8_t> cdb;
    DataDirection direction = DataDirection::None;
    // The SRB's direction flags when they are not the ones `direction` gives,
    // whatever the command really does: SRB_FLAGS_DATA_IN, SRB_FLAGS_DATA_OUT,
    // both (the direction left open: either may come) or neither (no data
    // transfer, even with a buffer). The DMA window follows these flags.
    std::optional<ULONG> direction_flags;
    bool disable_disconnect = false;      // SRB_FLAGS_DISABLE_DISCONNECT
    bool disable_synch_transfer = false;  // SRB_FLAGS_DISABLE_SYNCH_TRANSFER
    PhysicalMemory::Buffer* buffer = nullptr;  // data buffer, in PhysicalMemory
    uint32_t length = 0;                       // bytes of it to transfer; 0: the whole buffer
    uint8_t queue_action = 0;
    bool queue_action_enable = false;          // SRB_FLAGS_QUEUE_ACTION_ENABLE
    SCSI_REQUEST_BLOCK* next_srb = nullptr;    // for an abort: the SRB to abort
    // Sense wanted: a sense buffer is given and SRB_FLAGS_DISABLE_AUTOSENSE is
    // clear, so a CHECK CONDITION comes back with its sense data.
    bool sense_wanted = true;
    // A request whose sense the port driver fetched comes back with its LU's
    // queue frozen; the class driver releases it as it takes the request
    // back. True: the submitter releases it itself (PortDriver::release_queue).
    bool hold_frozen_queue = false;
    uint32_t timeout_seconds = 10;             // TimeOutValue

    // The SRB_FLAGS_DATA_IN / SRB_FLAGS_DATA_OUT bits the request goes with.
    ULONG data_flags() const;
};

struct Request {
    enum class State : uint8_t { Waiting, Outstanding, Completed };
    uint64_t id = 0;
    size_t adapter = 0;
    SCSI_REQUEST_BLOCK srb{};
    State state = State::Waiting;
    Nanoseconds submitted = 0, started = 0, completed = 0;
    bool bulk_completed = false;  // by ScsiPortCompleteRequest
    uint32_t busy_retries = 0;    // times the port driver sent it again after BUSY or QUEUE FULL
    bool hold_frozen_queue = false;
    std::array<uint8_t, 18> sense{};  // the SRB's sense buffer
    std::function<void(const Request&)> on_complete;

    // The port driver's own REQUEST SENSE for `sense_for`, with its buffer.
    Request* sense_for = nullptr;
    PhysicalMemory::Buffer* sense_buffer = nullptr;
    uint8_t* mapped_data = nullptr;  // the buffer as mapped, when the miniport is given another view
    uint32_t length = 0;             // DataTransferLength as submitted
};

class PortDriver {
public:
    static constexpr ULONG kStatusSuccess = 0;
    static constexpr ULONG kStatusNoSuchDevice = 0xC0000192;
    static constexpr uint32_t kChipWindowLength = 0x60;
    // The scatter/gather breaks a configuration starts with.
    static constexpr ULONG kDefaultPhysicalBreaks = 17;

    enum class Routine : uint8_t { FindAdapter, Initialize, StartIo, Interrupt, ResetBus, AdapterState, Timer };

    // The model is as strict as a real port driver by default; each of these
    // brings back an older, more lenient rule, for tests that are about
    // something else and for measuring what a rule costs.
    struct Lenient {
        // Any waiting request goes after NextRequest, whatever its LU has
        // outstanding: as if the miniport registered MultipleRequestPerLu.
        bool any_lu_request = false;
        // NextLuRequest counts as NextRequest only: a LU takes its next
        // request when all of its requests have ended.
        bool ignore_next_lu_request = false;
        // No new request is held back after a bus reset.
        bool no_reset_hold = false;
        // BUSY and QUEUE FULL go again after 500 us, until the request's
        // time-out has passed, instead of at the timer's next tick, 20 times.
        bool quick_busy_retry = false;
    };

    // After a bus reset (its own, or one the miniport reports) the port
    // driver gives the adapter no new request for this long.
    static constexpr Nanoseconds kResetHold = 4 * kSecond;
    // Times the port driver sends a request again after BUSY or QUEUE FULL.
    static constexpr uint32_t kBusyRetryLimit = 20;
    // Its own REQUEST SENSE: allocation length and time-out.
    static constexpr uint8_t kSenseLength = 18;
    static constexpr uint32_t kSenseTimeoutSeconds = 2;

    struct Options {
        std::optional<uint32_t> wanted_base;
        Nanoseconds interrupt_entry_cost = 2000;
        std::vector<uint32_t> unmappable;  // I/O addresses the port driver cannot map (resources taken)
        Lenient lenient{};
        // Mechanism #2's data ports (0xC000-0xCFFF) are configuration space
        // here, which a PCI scan reads without a mapping; without mechanism #2
        // they are other devices' ports like any others.
        bool mechanism2_ports = false;
        // HwStartIo, HwInitialize and HwResetBus run at the interrupt's
        // level, so HwInterrupt never runs inside them. Lenient: let the
        // interrupt in whenever HwResetBus turns the processor's flag on
        // between the polls of its reset wait.
        bool interrupts_inside_reset_wait = false;
        // The driver-parameter string configured for the miniport, passed to
        // HwFindAdapter as its ArgumentString; none: a null ArgumentString.
        std::optional<std::string> argument_string;
    };

    // One HwFindAdapter call as it returned.
    struct FindCall {
        ULONG result = 0;
        bool again = false;
        // The first bytes of the miniport's HwContext after the call, for
        // tests that look at the miniport's scan position.
        std::array<uint8_t, 4> context{};
        int adapter = -1;            // index of the adapter it reported
    };

    // An adapter the miniport reported and the port driver keeps.
    struct Adapter {
        std::byte* extension = nullptr;
        PORT_CONFIGURATION_INFORMATION config{};
        bool initialized = false;
        bool ready = true;  // may be given the next request
        uint64_t next_lu_requests = 0;  // NextLuRequest notifications received
        std::deque<Request*> waiting;
        uint64_t resets_detected = 0;
        uint64_t interrupts_claimed = 0;
        // LUNs (path << 16 | target << 8 | lun) whose queue is frozen: the
        // port driver fetched sense for a CHECK CONDITION, and the class
        // driver has not released the queue yet.
        std::set<uint32_t> frozen;
        // What the port driver knows of each LU it has given requests to.
        struct Lu {
            uint32_t outstanding = 0;  // given to the miniport, not completed
            uint32_t parked = 0;       // answered BUSY, waiting for the timer
            bool open = false;         // NextLuRequest since the last request given
        };
        std::unordered_map<uint32_t, Lu> lus;
        Nanoseconds hold_until = 0;  // no new request before then: a bus reset
        uint64_t sense_requests = 0;  // REQUEST SENSE the port driver issued itself
        // The interrupt was connected (in config.InterruptMode on
        // config.BusInterruptLevel) after HwFindAdapter reported the adapter.
        // One that could not be is never initialized nor given requests;
        // `not_connected` says why.
        bool connected = false;
        std::string not_connected;
        // The timer call the miniport asked for (RequestTimerCall): the
        // routine, the clock event that makes it due, and whether it is due.
        PHW_TIMER timer = nullptr;
        Clock::EventId timer_event = 0;
        bool timer_due = false;
        uint64_t timer_calls = 0;  // HwTimer calls made
    };

    enum class RunResult : uint8_t { Idle, Stalled, TimeLimit };

    PortDriver(Machine& machine, Clock& clock, ModelErrors& errors, PortSpace& ports, Cpu& cpu,
               InterruptController& interrupts, PhysicalMemory& memory, Options options);
    ~PortDriver();

    // --- ScsiPort* services (the boundary calls these) -------------------
    ULONG initialize(PVOID argument1, PVOID argument2, PHW_INITIALIZATION_DATA data, PVOID context);
    PVOID get_device_base(PVOID extension, INTERFACE_TYPE bus_type, ULONG bus_number,
                          SCSI_PHYSICAL_ADDRESS address, ULONG length, BOOLEAN in_io_space);
    void free_device_base(PVOID extension, PVOID base);
    SCSI_PHYSICAL_ADDRESS get_physical_address(PVOID extension, PSCSI_REQUEST_BLOCK srb, PVOID va,
                                               ULONG* length);
    uint32_t read_port(const void* port, Width width);
    void write_port(const void* port, Width width, uint32_t value);
    void request_complete(PVOID extension, PSCSI_REQUEST_BLOCK srb);
    void next_request(PVOID extension);
    // The miniport can take another request for this LU (and for the adapter).
    void next_lu_request(PVOID extension, UCHAR path, UCHAR target, UCHAR lun);
    void reset_detected(PVOID extension);
    // Call `routine` once, `microseconds` from now; 0 cancels the call
    // pending, and a new request replaces it.
    void request_timer(PVOID extension, PHW_TIMER routine, ULONG microseconds);
    void unsupported_notification(int type);
    void complete_request(PVOID extension, UCHAR path, UCHAR target, UCHAR lun, UCHAR status);
    void stall(ULONG microseconds);
    void log_error(PVOID extension, PSCSI_REQUEST_BLOCK srb, UCHAR path, UCHAR target, UCHAR lun, ULONG code,
                   ULONG unique_id);
    // Most entries one call of a miniport routine may write: a routine that
    // writes more is logging from a loop, and would flood the system's log.
    static constexpr size_t kMaxLogEntriesPerCall = 8;
    // The log keeps its first entries in full and counts every entry by
    // code: a long run with faults writes one entry per recovery.
    static constexpr size_t kLogEntriesKept = 1000;
    const std::vector<LogEntry>& event_log() const { return event_log_; }  // the first kLogEntriesKept
    const std::map<uint32_t, uint64_t>& logged_by_code() const { return logged_by_code_; }
    uint64_t log_entries() const { return log_entries_; }  // every entry written
    uint64_t stalls() const { return stalls_; }  // ScsiPortStallExecution calls so far

    // --- start-up results ----------------------------------------------
    void set_entry_arguments(PVOID argument1, PVOID argument2);
    const std::vector<FindCall>& find_calls() const { return find_calls_; }
    // The registration record as ScsiPortInitialize received it (the last
    // valid one); all zero before.
    const HW_INITIALIZATION_DATA& registration() const;
    ULONG initialize_status() const { return initialize_status_; }
    size_t adapter_count() const { return adapters_.size(); }
    Adapter& adapter(size_t index) { return *adapters_.at(index); }
    const Adapter& adapter(size_t index) const { return *adapters_.at(index); }

    // --- requests --------------------------------------------------------
    // Queues a request for adapter `index`. Nothing reaches the driver until
    // pump(), run_for() or run_until_idle().
    Request& submit(size_t index, const RequestSpec& request_spec, std::function<void(const Request&)> on_complete = {});
    // Delivers due interrupts and starts waiting requests while the adapters accept them.
    void pump();
    // Runs the machine until no request is waiting or outstanding and no
    // interrupt is pending. A request left hanging with nothing pending, or
    // still outstanding at the time limit, is a model error.
    RunResult run_until_idle(Nanoseconds limit = 10 * kSecond);
    // Runs the machine for `duration` of virtual time, whatever is outstanding.
    void run_for(Nanoseconds duration);
    // Calls HwResetBus for adapter `index` as the port driver's own reset does.
    void reset_bus(size_t index, ULONG path = 0);
    // The class driver's SRB_FUNCTION_RELEASE_QUEUE: the LU's frozen queue moves again.
    void release_queue(size_t index, uint8_t path, uint8_t target, uint8_t lun);

    // A request is forgotten once it is complete and checked (RequestLedger).
    // Recording keeps every request and lists the ones completed to their
    // submitters (not the port driver's own REQUEST SENSE), for tests that
    // look at them afterwards; turn it on before submitting them.
    void record_completions(bool on = true) { ledger_.set_recording(on); }
    const std::vector<const Request*>& completed() const { return ledger_.completed(); }
    const RequestLedger& ledger() const { return ledger_; }

    // --- time-outs and shared interrupt lines ----------------------------
    // Requests past their TimeOutValue reset their adapter's bus (HwResetBus)
    // at the next pump outside a miniport routine.
    const RequestTimeouts& timeouts() const { return timeouts_; }
    // Another device's interrupt routine on `irq`, called after the adapters';
    // true when its device was interrupting. The device uses the line too: on
    // a line an adapter holds Latched (exclusive) it cannot connect, and the
    // call returns false without adding it.
    [[nodiscard]] bool add_shared_handler(uint8_t irq, std::function<bool()> handler);
    size_t outstanding() const;
    size_t waiting() const;
    // An outstanding request by its id, or null; every outstanding one for a LUN.
    const Request* find_outstanding(uint64_t id) const;
    std::vector<const Request*> outstanding_for(size_t adapter, uint8_t target, uint8_t lun) const;
    // True while `srb` is a request the miniport holds (given, not yet completed).
    bool holds(const SCSI_REQUEST_BLOCK* srb) const
    {
        const Request* r = ledger_.by_srb(srb);
        return r && r->state == Request::State::Outstanding;
    }

    // --- interrupts -------------------------------------------------------
    // Calls HwInterrupt for every raised line whose adapters may be interrupted now.
    void deliver_interrupts();
    bool in_routine() const { return !routines_.empty(); }

    // --- mappings ---------------------------------------------------------
    struct Mapping {
        const void* extension;
        uint32_t first;
        uint32_t length;
    };
    const std::vector<Mapping>& mappings() const { return mappings_; }

    // --- DMA addresses --------------------------------------------------
    const DmaMapping& dma() const { return dma_; }

private:
    // Calls a miniport routine; defined in port_driver_internal.h for every file that calls one.
    template <class F> auto call(Routine routine, std::string_view name, F&& body);
    // Start-up and running.
    bool validate(const HW_INITIALIZATION_DATA* data);
    void find_and_initialize(PVOID context);
    PORT_CONFIGURATION_INFORMATION fresh_config(ACCESS_RANGE* ranges) const;
    std::byte* new_extension();
    void free_extension(std::byte* extension);
    int adapter_of(const void* extension) const;
    bool work_pending() const;
    // I/O port mappings.
    void check_config_ports_released();
    void drop_mappings_of(const void* extension);
    void map(const Mapping& mapping);
    void cover(const Mapping& mapping, int by);
    template <class Pred> void unmap_if(Pred pred);
    bool port_mapped(uint32_t port) const;
    // A request's way from submission to delivery.
    Request* outstanding_request(const SCSI_REQUEST_BLOCK* srb);
    bool startable(const Adapter& adapter, const Request& request) const;
    Request* next_startable(Adapter& adapter) const;
    void start_waiting(size_t index);
    void finish(Request& request);
    void deliver(Request& request);
    // BUSY retry, and sense fetched after CHECK CONDITION.
    bool retry_busy(Request& request);
    Nanoseconds busy_retry_delay() const;
    bool fetch_sense(Request& request);
    void sense_fetched(Request& sense);
    // The data buffer as the miniport sees it.
    void hand_out_buffer(Request& request);
    void take_back_buffer(Request& request);
    // The miniport's timer call; bus resets and time-outs.
    bool run_due_timers();
    void hold_after_reset(Adapter& adapter);
    void service_timeouts();
    // Interrupts.
    bool interrupt_deliverable() const;
    bool service_interrupt_line(uint8_t irq);
    bool connect_interrupt(Adapter& adapter);
    bool line_held_latched(uint8_t irq) const;
    void on_interrupts_enabled();

    Machine& machine_;
    Clock& clock_;
    ModelErrors& errors_;
    PortSpace& ports_;
    Cpu& cpu_;
    InterruptController& interrupts_;
    PhysicalMemory& memory_;
    Options options_;

    HW_INITIALIZATION_DATA registration_{};
    bool registered_ = false;
    PVOID argument1_ = nullptr, argument2_ = nullptr;
    std::vector<FindCall> find_calls_;
    ULONG initialize_status_ = kStatusNoSuchDevice;
    std::vector<std::unique_ptr<Adapter>> adapters_;
    std::vector<std::unique_ptr<ACCESS_RANGE[]>> range_storage_;
    std::vector<Mapping> mappings_;
    // Per I/O port, how many mappings held cover it: the check on every access is one look.
    std::vector<uint16_t> port_cover_ = std::vector<uint16_t>(0x10000);
    std::vector<Routine> routines_;
    bool delivering_ = false;
    const void* candidate_extension_ = nullptr;  // during HwFindAdapter

    uint64_t next_request_id_ = 1;
    RequestLedger ledger_;
    std::map<uint64_t, Request*> outstanding_;
    uint64_t stalls_ = 0;
    std::vector<LogEntry> event_log_;
    std::map<uint32_t, uint64_t> logged_by_code_;
    uint64_t log_entries_ = 0;
    size_t log_entries_this_call_ = 0;  // by id: bulk completion goes in submission order
    size_t parked_ = 0;    // requests waiting for a BUSY retry or for their sense
    // Views of unmapped buffers (MapBuffers FALSE) handed to the miniport:
    // inaccessible address ranges standing for the buffer, each (first, end,
    // the buffer's real first byte).
    struct UnmappedView {
        uintptr_t first, end;
        uint8_t* real;
        void* region;
        size_t region_length;
    };
    std::vector<UnmappedView> unmapped_;
    std::vector<std::byte*> extension_storage_;
    RequestTimeouts timeouts_{clock_};
    std::vector<std::pair<uint8_t, std::function<bool()>>> shared_handlers_;
    DmaMapping dma_{memory_};
    size_t timers_due_ = 0;  // adapters whose timer call is due
};

}  // namespace sim
