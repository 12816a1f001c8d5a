#include "workload/workload.h"

#include <algorithm>
#include <optional>
#include <stdexcept>

#include <fmt/format.h>

#include "workload/latency_histogram.h"

namespace sim::workload {

namespace {

constexpr size_t kFailuresKept = 8;
constexpr unsigned kPlacementTries = 8;
constexpr uint64_t kMaxLba = uint64_t{1} << 32;  // READ(10)/WRITE(10) reach
constexpr uint32_t kMaxBlocksPerCommand = 0xFFFF;
constexpr uint8_t kIdentifyLun = 0x07;  // the LUN bits of an IDENTIFY
constexpr uint8_t kUnread = 0xDB;   // a read's buffer before the data comes
constexpr uint32_t kErrorsBeforeNoSynch = 4;       // and no tags
constexpr uint32_t kErrorsBeforeNoDisconnect = 8;

// Failures a disk class driver counts against the device: they point at the
// link to it (parity, a target that drops the bus, with or without a status
// byte, or goes astray in its phases, a command that never ends), not at the
// medium or a reset.
bool link_error(const SCSI_REQUEST_BLOCK& srb)
{
    const uint8_t status = srb.SrbStatus & 0x3F;
    return status == SRB_STATUS_PARITY_ERROR || status == SRB_STATUS_UNEXPECTED_BUS_FREE ||
           status == SRB_STATUS_PHASE_SEQUENCE_FAILURE || status == SRB_STATUS_TIMEOUT ||
           status == SRB_STATUS_COMMAND_TIMEOUT || (status == SRB_STATUS_ERROR && srb.ScsiStatus == 0);
}

uint8_t srb_status(uint8_t status)
{
    return status & 0x3F;  // without the autosense and queue-frozen flags
}

std::vector<uint8_t> cdb10(uint8_t opcode, uint64_t lba, uint32_t count)
{
    return {opcode,
            0,
            static_cast<uint8_t>(lba >> 24),
            static_cast<uint8_t>(lba >> 16),
            static_cast<uint8_t>(lba >> 8),
            static_cast<uint8_t>(lba),
            0,
            static_cast<uint8_t>(count >> 8),
            static_cast<uint8_t>(count),
            0};
}

// The nearest rank, in integers: the same figure on every build, within the
// histogram's precision (LatencyHistogram); the maximum is exact.
Latency summarize(const LatencyHistogram& h)
{
    return {h.percentile(50), h.percentile(99), h.max()};
}

void note_failure(DeviceResult& r, std::string text)
{
    if (r.failures.size() < kFailuresKept)
        r.failures.push_back(std::move(text));
}

}  // namespace

std::string srb_status_name(uint8_t status)
{
    switch (srb_status(status)) {
    case SRB_STATUS_PENDING: return "pending";
    case SRB_STATUS_SUCCESS: return "success";
    case SRB_STATUS_ABORTED: return "aborted";
    case SRB_STATUS_ABORT_FAILED: return "abort failed";
    case SRB_STATUS_ERROR: return "error";
    case SRB_STATUS_BUSY: return "busy";
    case SRB_STATUS_INVALID_REQUEST: return "invalid request";
    case SRB_STATUS_INVALID_PATH_ID: return "invalid path";
    case SRB_STATUS_NO_DEVICE: return "no device";
    case SRB_STATUS_TIMEOUT: return "timeout";
    case SRB_STATUS_SELECTION_TIMEOUT: return "selection timeout";
    case SRB_STATUS_COMMAND_TIMEOUT: return "command timeout";
    case SRB_STATUS_MESSAGE_REJECTED: return "message rejected";
    case SRB_STATUS_BUS_RESET: return "bus reset";
    case SRB_STATUS_PARITY_ERROR: return "parity error";
    case SRB_STATUS_REQUEST_SENSE_FAILED: return "request sense failed";
    case SRB_STATUS_NO_HBA: return "no adapter";
    case SRB_STATUS_DATA_OVERRUN: return "data overrun";
    case SRB_STATUS_UNEXPECTED_BUS_FREE: return "unexpected bus free";
    case SRB_STATUS_PHASE_SEQUENCE_FAILURE: return "phase sequence failure";
    case SRB_STATUS_BAD_SRB_BLOCK_LENGTH: return "bad SRB length";
    case SRB_STATUS_REQUEST_FLUSHED: return "request flushed";
    case SRB_STATUS_INVALID_LUN: return "invalid LUN";
    case SRB_STATUS_INVALID_TARGET_ID: return "invalid target";
    case SRB_STATUS_BAD_FUNCTION: return "bad function";
    case SRB_STATUS_ERROR_RECOVERY: return "error recovery";
    default: return fmt::format("status {:#04x}", srb_status(status));
    }
}

bool Results::clean() const
{
    return problems().empty();
}

std::vector<std::string> Results::problems() const
{
    std::vector<std::string> out;
    for (const DeviceResult& d : devices) {
        const std::string who = fmt::format("adapter {} ID {} LUN {}", d.device.adapter, d.device.target, d.device.lun);
        for (const auto& [status, count] : d.errors)
            out.push_back(fmt::format("{}: {} request{} failed with {}", who, count, count == 1 ? "" : "s",
                                      srb_status_name(status)));
        if (d.short_transfers)
            out.push_back(fmt::format("{}: {} request{} moved less data than asked for", who, d.short_transfers,
                                      d.short_transfers == 1 ? "" : "s"));
        if (d.bytes_miscompared)
            out.push_back(fmt::format("{}: {} bytes in {} blocks read back wrong", who, d.bytes_miscompared,
                                      d.blocks_miscompared));
        if (d.lost)
            out.push_back(fmt::format("{}: {} request{} never completed", who, d.lost, d.lost == 1 ? "" : "s"));
        if (d.unusual.wrong)
            out.push_back(fmt::format("{}: {} request{} the driver had to refuse ended otherwise", who,
                                      d.unusual.wrong, d.unusual.wrong == 1 ? "" : "s"));
        if (d.unusual.flags_ignored)
            out.push_back(fmt::format("{}: {} selection{} ignored the request's DISABLE_DISCONNECT or "
                                      "DISABLE_SYNCH_TRANSFER",
                                      who, d.unusual.flags_ignored, d.unusual.flags_ignored == 1 ? "" : "s"));
    }
    if (linked_on_bus)
        out.push_back(fmt::format("{} command{} with the link bit reached the bus", linked_on_bus,
                                  linked_on_bus == 1 ? "" : "s"));
    return out;
}

// ------------------------------------------------------------------ records

struct Runner::Slot {
    enum class State : uint8_t { Idle, InFlight };
    // What the request is: a plain read or write, one with legal flags of
    // its own, or one that must be refused.
    enum class Kind : uint8_t {
        Plain,
        OpenDirection,
        NoDisconnect,
        NoSynch,
        NoDisconnectNoSynch,
        ReadFlaggedOut,
        ReadUnflagged,
        WriteFlaggedIn,
        WriteUnflagged,
        Linked,
    };
    Device* device = nullptr;
    PhysicalMemory::Buffer* buffer = nullptr;
    State state = State::Idle;
    Kind kind = Kind::Plain;
    bool write = false;
    uint64_t lba = 0;
    uint32_t generation = 0;
    Nanoseconds first_submitted = 0;
    unsigned resent = 0;  // times sent again, as a class driver does
    const Request* request = nullptr;
};

struct Runner::Device {
    ScannedDevice info;
    uint32_t blocks_per_request = 1;
    uint64_t usable_blocks = 0;
    uint64_t cursor = 0;
    uint64_t issued = 0;
    std::unique_ptr<BlockModel> model;
    std::vector<std::unique_ptr<Slot>> slots;
    LatencyHistogram latencies;
    Nanoseconds last_completion = 0;
    DeviceResult result;
    // Requests of the class driver's own that failed on the link: a disk
    // class driver stops tagging and synchronous transfer after 4,
    // disconnection after 8.
    uint32_t error_count = 0;

    bool overlaps_in_flight(uint64_t lba, uint32_t count) const
    {
        for (const auto& s : slots)
            if (s->state != Slot::State::Idle && lba < s->lba + count && s->lba < lba + count)
                return true;
        return false;
    }
};

// Time the bus is not free, and the data bytes it carries, seen through its listener.
struct Runner::BusMeter {
    size_t adapter = 0;
    int config_index = -1;
    BusTiming timing;
    bool busy = false;
    Nanoseconds since = 0, busy_total = 0;
    uint64_t data_bytes = 0;
    uint64_t interrupts_before = 0;
    uint64_t linked_commands = 0;  // commands with the link bit seen on the bus
    // The selection under way: the IDENTIFY the initiator sent, whether SDTR
    // came right after it, and the command bytes so far.
    std::optional<uint8_t> identify;
    bool after_identify = false, sdtr = false;
    std::vector<uint8_t> cdb;
    // Each whole command sent after a selection: target, IDENTIFY, SDTR offered, CDB.
    std::function<void(uint8_t, uint8_t, bool, const std::vector<uint8_t>&)> on_command;

    void on(const BusEvent& e)
    {
        if (e.kind == BusEvent::Kind::MessageOut) {
            sdtr = sdtr || (after_identify && e.byte == scsi::msg::kExtended);
            after_identify = (e.byte & scsi::msg::kIdentify) != 0;
            if (after_identify)
                identify = e.byte;
        } else if (e.kind == BusEvent::Kind::Command) {
            // A whole CDB: its last byte is the control byte.
            cdb.push_back(e.byte);
            if (cdb.size() == scsi::cdb_length(cdb.front())) {
                linked_commands += (cdb.back() & scsi::control::kLink) != 0;
                if (identify && on_command)
                    on_command(e.target, *identify, sdtr, cdb);
                cdb.clear();
                identify.reset();
            }
        } else if (e.kind == BusEvent::Kind::Selection || e.kind == BusEvent::Kind::BusFree ||
                   e.kind == BusEvent::Kind::Reset) {
            cdb.clear();  // a command cut short, or the next selection
            identify.reset();
            after_identify = sdtr = false;
        }
        switch (e.kind) {
        case BusEvent::Kind::Arbitration:
            // Reported when it is decided: the bus was taken a delay earlier.
            begin(e.time >= timing.arbitration_delay ? e.time - timing.arbitration_delay : 0);
            break;
        case BusEvent::Kind::BusFree:
        case BusEvent::Kind::SelectionTimeout: end(e.time); break;
        case BusEvent::Kind::Reset:
            end(e.time);
            busy_total += timing.reset_hold;
            break;
        case BusEvent::Kind::DataIn:
        case BusEvent::Kind::DataOut: data_bytes += e.count; break;
        case BusEvent::Kind::ReselectionTimeout: end(e.time); break;
        default: break;
        }
    }
    void begin(Nanoseconds t)
    {
        if (busy)
            return;
        busy = true;
        since = t;
    }
    void end(Nanoseconds t)
    {
        if (!busy)
            return;
        busy = false;
        busy_total += t > since ? t - since : 0;
    }
    void restart(Nanoseconds t)
    {
        busy_total = 0;
        data_bytes = 0;
        if (busy)
            since = t;
    }
    Nanoseconds busy_until(Nanoseconds t) const { return busy_total + (busy && t > since ? t - since : 0); }
};

// ------------------------------------------------------------------ set-up

UnusualCounts& UnusualCounts::operator+=(const UnusualCounts& o)
{
    open_direction += o.open_direction;
    no_disconnect += o.no_disconnect;
    no_synch += o.no_synch;
    read_flagged_out += o.read_flagged_out;
    read_unflagged += o.read_unflagged;
    write_flagged_in += o.write_flagged_in;
    write_unflagged += o.write_unflagged;
    linked += o.linked;
    wrong += o.wrong;
    flags_ignored += o.flags_ignored;
    return *this;
}

Runner::Runner(Machine& machine, std::vector<ScannedDevice> devices, WorkloadConfig config)
    : machine_(machine), config_(config), rng_(config.seed), unusual_rng_(config.seed ^ 0x5EED0DDu)
{
    // At a rate of 1 the refused requests would leave no room for the ones counted.
    const WorkloadConfig::Unusual& u = config_.unusual;
    for (const double rate : {u.legal_flags, u.against_direction, u.linked})
        if (!(rate >= 0 && rate < 1))
            throw std::invalid_argument(fmt::format("a rate of unusual requests must lie in [0, 1), not {}", rate));
    uint32_t key = 1;
    for (ScannedDevice& info : devices) {
        auto d = std::make_unique<Device>();
        d->info = info;
        d->result.device = info;
        const uint32_t bs = std::max<uint32_t>(1, info.block_size);
        d->blocks_per_request =
            std::clamp<uint32_t>((config_.block_size + bs - 1) / bs, 1, kMaxBlocksPerCommand);
        d->usable_blocks = std::min(info.block_count, kMaxLba);
        if (d->usable_blocks < d->blocks_per_request)
            d->blocks_per_request = static_cast<uint32_t>(std::max<uint64_t>(1, d->usable_blocks));
        std::string image;
        const int ci = machine_.adapters().at(info.adapter).config_index;
        if (ci >= 0)
            for (const DeviceConfig& dc : machine_.config().adapters[static_cast<size_t>(ci)].devices)
                if (dc.id == info.target)
                    image = dc.options.image_path;
        d->model = std::make_unique<BlockModel>(key++, bs, image);
        for (unsigned i = 0; i < std::max(1u, config_.outstanding); i++) {
            auto s = std::make_unique<Slot>();
            s->device = d.get();
            s->buffer = &machine_.memory().allocate(d->blocks_per_request * bs);
            d->slots.push_back(std::move(s));
        }
        slot_count_ += d->slots.size();
        devices_.push_back(std::move(d));
    }
    for (size_t a = 0; a < machine_.adapters().size(); a++) {
        auto m = std::make_unique<BusMeter>();
        m->adapter = a;
        m->config_index = machine_.adapters()[a].config_index;
        if (m->config_index >= 0)
            m->timing = machine_.config().adapters[static_cast<size_t>(m->config_index)].bus_timing;
        meters_.push_back(std::move(m));
    }
}

Runner::~Runner()
{
    *alive_ = false;
    remove_listeners();
    for (auto& d : devices_)
        for (auto& s : d->slots)
            if (s->state == Slot::State::Idle)
                machine_.memory().free(*s->buffer);  // a lost request's buffer stays: the driver may still use it
}

void Runner::set_bus_observer(std::function<void(size_t, const BusEvent&)> observer)
{
    observer_ = std::move(observer);
}

void Runner::set_progress(std::function<void(double)> progress)
{
    progress_ = std::move(progress);
}

void Runner::install_listeners()
{
    for (auto& m : meters_) {
        if (m->config_index < 0)
            continue;
        BusMeter* meter = m.get();
        meter->on_command = [this, meter](uint8_t target, uint8_t identify, bool sdtr, const std::vector<uint8_t>& cdb) {
            check_selection(meter->adapter, target, identify, sdtr, cdb);
        };
        machine_.bus(static_cast<size_t>(m->config_index)).set_listener([this, meter](const BusEvent& e) {
            meter->on(e);
            if (observer_)
                observer_(meter->adapter, e);
        });
    }
}

void Runner::remove_listeners()
{
    for (auto& m : meters_)
        if (m->config_index >= 0)
            machine_.bus(static_cast<size_t>(m->config_index)).set_listener({});
}

// ------------------------------------------------------------------ issuing

bool Runner::may_issue(const Device& d) const
{
    if (config_.requests)
        return d.issued < config_.requests;
    return machine_.clock().now() < stop_issuing_;
}

// Whether any device may still issue; asked after every event until none may.
bool Runner::more_to_issue() const
{
    if (devices_.empty())
        return false;
    if (!config_.requests)
        return machine_.clock().now() < stop_issuing_;  // the same for every device
    return std::any_of(devices_.begin(), devices_.end(), [this](const auto& d) { return may_issue(*d); });
}

bool Runner::issue(Device& d, Slot& s)
{
    const WorkloadConfig::Unusual& u = config_.unusual;
    if (u.linked > 0 && unusual_rng_.chance(u.linked)) {
        s.kind = Slot::Kind::Linked;
        return issue_refused(d, s);
    }
    if (u.against_direction > 0 && unusual_rng_.chance(u.against_direction)) {
        s.kind = static_cast<Slot::Kind>(static_cast<int>(Slot::Kind::ReadFlaggedOut) + unusual_rng_.range(0, 3));
        return issue_refused(d, s);
    }
    const uint32_t n = d.blocks_per_request;
    const uint64_t places = std::max<uint64_t>(1, d.usable_blocks / n);
    uint64_t lba = 0;
    bool placed = false;
    for (unsigned tries = 0; tries < kPlacementTries && !placed; tries++) {
        if (config_.pattern == Pattern::Random) {
            lba = rng_.range(0, places - 1) * n;
        } else {
            lba = d.cursor;
            if (d.overlaps_in_flight(lba, n))
                return false;  // wrapped onto itself: wait for the earlier request
            d.cursor = lba + n + n > d.usable_blocks ? 0 : lba + n;
        }
        placed = !d.overlaps_in_flight(lba, n);
    }
    if (!placed)
        return false;
    const bool write = !d.info.read_only() && !rng_.chance(config_.read_percent / 100.0);
    s.kind = Slot::Kind::Plain;
    if (config_.unusual.legal_flags > 0 && unusual_rng_.chance(config_.unusual.legal_flags))
        s.kind = static_cast<Slot::Kind>(static_cast<int>(Slot::Kind::OpenDirection) + unusual_rng_.range(0, 3));
    s.write = write;
    s.lba = lba;
    s.first_submitted = machine_.clock().now();
    s.resent = 0;
    if (write) {
        s.generation = d.model->next_generation();
        if (config_.verify)
            for (uint32_t i = 0; i < n; i++)
                d.model->fill(lba + i, s.generation, s.buffer->data + size_t{i} * d.info.block_size);
    } else if (config_.verify) {
        // Whatever an earlier read left in the slot must not pass for data that never came.
        std::fill_n(s.buffer->data, s.buffer->length, kUnread);
    }
    d.issued++;
    in_flight_++;
    submit(s);
    return true;
}

// A selection for one of this workload's reads or writes, as the bus saw
// it: a request that disables disconnection must not have granted it in its
// IDENTIFY, one that disables synchronous negotiation must have had no SDTR
// after it. The CDB's LBA names the request: no two in flight share one.
void Runner::check_selection(size_t adapter, uint8_t target, uint8_t identify, bool sdtr,
                             const std::vector<uint8_t>& cdb)
{
    if (cdb.size() != 10 || (cdb[0] != 0x28 && cdb[0] != 0x2A))
        return;
    const uint64_t lba = uint64_t{cdb[2]} << 24 | uint64_t{cdb[3]} << 16 | uint64_t{cdb[4]} << 8 | cdb[5];
    for (auto& d : devices_) {
        if (d->info.adapter != adapter || d->info.target != target || d->info.lun != (identify & kIdentifyLun))
            continue;
        for (auto& s : d->slots) {
            if (s->state != Slot::State::InFlight || s->lba != lba)
                continue;
            const bool no_disconnect = s->kind == Slot::Kind::NoDisconnect || s->kind == Slot::Kind::NoDisconnectNoSynch;
            const bool no_synch = s->kind == Slot::Kind::NoSynch || s->kind == Slot::Kind::NoDisconnectNoSynch;
            std::string wrong;
            if (no_disconnect && (identify & scsi::msg::kIdentifyDisconnect))
                wrong = fmt::format("its IDENTIFY ({:#04x}) granted disconnection", identify);
            else if (no_synch && sdtr)
                wrong = "SDTR was offered with it";
            if (wrong.empty())
                return;
            d->result.unusual.flags_ignored++;
            note_failure(d->result, fmt::format("{} of LBA {} with {}: {}", s->write ? "write" : "read", lba,
                                                no_disconnect ? "SRB_FLAGS_DISABLE_DISCONNECT"
                                                              : "SRB_FLAGS_DISABLE_SYNCH_TRANSFER",
                                                wrong));
            return;
        }
    }
}

// A request the driver must refuse (its kind drawn in issue()): TEST UNIT
// READY with the link bit, or a read or write whose flags deny its data. It
// is issued besides the device's count of requests.
bool Runner::issue_refused(Device& d, Slot& s)
{
    const uint32_t n = d.blocks_per_request;
    // A device that is only read (read-only, or a workload of reads) gets no write of any kind.
    if ((d.info.read_only() || config_.read_percent >= 100) &&
        (s.kind == Slot::Kind::WriteFlaggedIn || s.kind == Slot::Kind::WriteUnflagged))
        s.kind = s.kind == Slot::Kind::WriteFlaggedIn ? Slot::Kind::ReadFlaggedOut : Slot::Kind::ReadUnflagged;
    s.write = s.kind == Slot::Kind::WriteFlaggedIn || s.kind == Slot::Kind::WriteUnflagged;
    if (s.kind == Slot::Kind::Linked) {
        s.lba = d.usable_blocks;  // past every block: it overlaps nothing
    } else {
        s.lba = unusual_rng_.range(0, std::max<uint64_t>(1, d.usable_blocks / n) - 1) * n;
        if (d.overlaps_in_flight(s.lba, n))
            return false;
    }
    if (s.write) {
        // A generation no block will ever be recorded with: should any of it
        // reach the medium, the block reads back as nobody's.
        const uint32_t generation = d.model->next_generation();
        for (uint32_t i = 0; i < n; i++)
            d.model->fill(s.lba + i, generation, s.buffer->data + size_t{i} * d.info.block_size);
    } else {
        std::fill_n(s.buffer->data, s.buffer->length, kUnread);
    }
    s.first_submitted = machine_.clock().now();
    s.resent = 0;
    in_flight_++;
    submit(s);
    return true;
}

void Runner::submit(Slot& s)
{
    Device& d = *s.device;
    RequestSpec request_spec;
    request_spec.path = d.info.path;
    request_spec.target = d.info.target;
    request_spec.lun = d.info.lun;
    request_spec.cdb = cdb10(s.write ? 0x2A : 0x28, s.lba, d.blocks_per_request);
    request_spec.direction = s.write ? DataDirection::Out : DataDirection::In;
    request_spec.buffer = s.buffer;
    request_spec.length = d.blocks_per_request * d.info.block_size;
    request_spec.timeout_seconds = config_.timeout_seconds;
    using Kind = Slot::Kind;
    switch (s.kind) {
    case Kind::Plain: break;
    case Kind::OpenDirection: request_spec.direction_flags = SRB_FLAGS_DATA_IN | SRB_FLAGS_DATA_OUT; break;
    case Kind::NoDisconnect: request_spec.disable_disconnect = true; break;
    case Kind::NoSynch: request_spec.disable_synch_transfer = true; break;
    case Kind::NoDisconnectNoSynch:
        request_spec.disable_disconnect = true;
        request_spec.disable_synch_transfer = true;
        break;
    case Kind::ReadFlaggedOut: request_spec.direction_flags = SRB_FLAGS_DATA_OUT; break;
    case Kind::WriteFlaggedIn: request_spec.direction_flags = SRB_FLAGS_DATA_IN; break;
    case Kind::ReadUnflagged:
    case Kind::WriteUnflagged: request_spec.direction_flags = 0; break;
    case Kind::Linked:
        request_spec.cdb = {scsi::op::kTestUnitReady, 0, 0, 0, 0, scsi::control::kLink};
        request_spec.direction = DataDirection::None;
        request_spec.buffer = nullptr;
        request_spec.length = 0;
        break;
    }
    // As a disk class driver sends them: a device that had errors loses
    // synchronous transfer and tags, then disconnection; a request sent again
    // goes with neither disconnection nor synchronous transfer, untagged.
    const bool resent = s.resent > 0;
    if (d.error_count >= kErrorsBeforeNoSynch || resent)
        request_spec.disable_synch_transfer = true;
    if (d.error_count >= kErrorsBeforeNoDisconnect || resent)
        request_spec.disable_disconnect = true;
    // Tagged when the device's INQUIRY data offers it. A request that may
    // not disconnect goes untagged: a queue tag is worth nothing to a target
    // that holds the bus.
    if (d.info.tagged && d.error_count < kErrorsBeforeNoSynch && !request_spec.disable_disconnect &&
        s.kind != Kind::Linked) {
        request_spec.queue_action_enable = true;
        request_spec.queue_action = SRB_SIMPLE_TAG_REQUEST;
    }
    s.state = Slot::State::InFlight;
    Slot* slot = &s;
    s.request = &machine_.port_driver().submit(d.info.adapter, request_spec, [this, slot, alive = alive_](const Request&) {
        if (*alive)
            done_.push_back(slot);  // inside a driver routine: the loop does the rest
    });
}

void Runner::fill_idle_slots()
{
    if (in_flight_ == slot_count_ || issuing_over_)
        return;  // every slot busy, or nothing more to issue
    for (auto& d : devices_)
        for (auto& s : d->slots)
            if (s->state == Slot::State::Idle && may_issue(*d) && !issue(*d, *s))
                break;
}

// ------------------------------------------------------------------ completion

void Runner::complete(Slot& s)
{
    Device& d = *s.device;
    DeviceResult& r = d.result;
    // Whatever the chip padded or discarded inside the request: taken once,
    // whatever its end (a success must have none).
    const int ci = machine_.adapters().at(d.info.adapter).config_index;
    const std::optional<std::string> hole =
        ci >= 0 ? machine_.audit(static_cast<size_t>(ci)).take_hole(s.request->id) : std::nullopt;
    if (s.kind >= Slot::Kind::ReadFlaggedOut) {
        complete_refused(s, hole);
        return;
    }
    const SCSI_REQUEST_BLOCK& srb = s.request->srb;
    const uint8_t status = srb_status(srb.SrbStatus);
    r.busy_retries += s.request->busy_retries;
    if (s.resent < config_.class_retries && resend(s))
        return;
    s.state = Slot::State::Idle;
    in_flight_--;
    r.requests++;
    (s.write ? r.writes : r.reads)++;
    switch (s.kind) {
    case Slot::Kind::OpenDirection: r.unusual.open_direction++; break;
    case Slot::Kind::NoDisconnect: r.unusual.no_disconnect++; break;
    case Slot::Kind::NoSynch: r.unusual.no_synch++; break;
    case Slot::Kind::NoDisconnectNoSynch:
        r.unusual.no_disconnect++;
        r.unusual.no_synch++;
        break;
    default: break;
    }
    d.latencies.add(s.request->completed - s.first_submitted);
    d.last_completion = s.request->completed;
    const uint32_t n = d.blocks_per_request;
    // A success must have moved all its data: nothing padded or discarded inside it.
    if (status == SRB_STATUS_SUCCESS && hole)
        machine_.errors().report("transfer", fmt::format("request {} succeeded although {}", s.request->id, *hole));
    if (status != SRB_STATUS_SUCCESS) {
        r.errors[status]++;
        if (status == SRB_STATUS_ERROR &&
            (srb.ScsiStatus == scsi::status::kBusy || srb.ScsiStatus == scsi::status::kQueueFull))
            r.busy_failed++;
        if (s.kind == Slot::Kind::Plain && link_error(srb))
            d.error_count++;
        note_failure(r, fmt::format("{} of LBA {} ({} blocks) failed: {} (SCSI status {:#04x})",
                                    s.write ? "write" : "read", s.lba, n, srb_status_name(status), srb.ScsiStatus));
        // It may have landed in part; not after a selection time-out, where
        // the device never had the command and its blocks are as they were,
        // unless an earlier sending of it reached the device (one sent again
        // after a CHECK CONDITION whose sense says nothing may have landed).
        if (s.write && (status != SRB_STATUS_SELECTION_TIMEOUT || s.resent > 0))
            d.model->written(s.lba, n, BlockModel::kUnknown);
        return;
    }
    const uint64_t asked = uint64_t{n} * d.info.block_size;
    const uint64_t moved = std::min<uint64_t>(srb.DataTransferLength, asked);
    r.bytes += moved;
    if (moved < asked) {
        r.short_transfers++;
        note_failure(r, fmt::format("{} of LBA {} ({} blocks) moved {} of {} bytes", s.write ? "write" : "read",
                                    s.lba, n, moved, asked));
    }
    if (s.write) {
        // A short write may have landed in part, in any of its blocks.
        d.model->written(s.lba, n, moved < asked ? BlockModel::kUnknown : s.generation);
        return;
    }
    if (!config_.verify)
        return;
    const auto arrived = static_cast<uint32_t>(moved / d.model->block_size());
    for (uint32_t i = 0; i < arrived; i++) {
        const BlockModel::Check c = d.model->check(s.lba + i, s.buffer->data + size_t{i} * d.info.block_size);
        if (!c.bytes_wrong)
            continue;
        r.bytes_miscompared += c.bytes_wrong;
        r.blocks_miscompared++;
        note_failure(r, fmt::format("read of LBA {}: {} bytes wrong: {}", s.lba + i, c.bytes_wrong, c.what));
    }
}

// A request that ended as a class driver does not take for an answer goes
// again: after a unit attention or a CHECK CONDITION whose sense says
// nothing, BUSY or QUEUE FULL that outlasted the port driver's retries, or a
// bus reset. A read's buffer is marked unread again, so that nothing the
// failed sending left there can pass for data of the next.
bool Runner::resend(Slot& s)
{
    const Resend why = class_driver_resends(s.request->srb, s.request->sense);
    if (why == Resend::No)
        return false;
    DeviceResult& r = s.device->result;
    r.resent++;
    switch (why) {
    case Resend::CheckCondition: r.unit_attentions++; break;
    case Resend::Busy: r.resent_busy++; break;
    case Resend::BusReset: r.resent_after_reset++; break;
    case Resend::No: break;
    }
    s.resent++;
    if (!s.write && config_.verify)
        std::fill_n(s.buffer->data, s.buffer->length, kUnread);
    submit(s);
    return true;
}

// A request the driver had to refuse: the linked one before the bus, with
// SRB_STATUS_INVALID_REQUEST; one against its direction failed (or, where a
// target may skip the data phase, succeeded with nothing moved), its buffer
// untouched. A write's blocks are as they were: the driver aborts it before
// the device can store the chip's pad bytes, and later reads check that
// (unless a faulty target may have stored what it never received).
void Runner::complete_refused(Slot& s, const std::optional<std::string>& hole)
{
    Device& d = *s.device;
    DeviceResult& r = d.result;
    const SCSI_REQUEST_BLOCK& srb = s.request->srb;
    const uint8_t status = srb_status(srb.SrbStatus);
    const uint32_t n = d.blocks_per_request;
    r.busy_retries += s.request->busy_retries;
    s.state = Slot::State::Idle;
    in_flight_--;
    d.last_completion = s.request->completed;
    std::string wrong;
    const char* what = "";
    using Kind = Slot::Kind;
    switch (s.kind) {
    case Kind::Linked:
        r.unusual.linked++;
        what = "TEST UNIT READY with the link bit";
        if (status != SRB_STATUS_INVALID_REQUEST)
            wrong = fmt::format("ended with {}, not invalid request", srb_status_name(status));
        break;
    case Kind::ReadFlaggedOut: r.unusual.read_flagged_out++; what = "read flagged DATA_OUT"; break;
    case Kind::ReadUnflagged: r.unusual.read_unflagged++; what = "read flagged for no data"; break;
    case Kind::WriteFlaggedIn: r.unusual.write_flagged_in++; what = "write flagged DATA_IN"; break;
    case Kind::WriteUnflagged: r.unusual.write_unflagged++; what = "write flagged for no data"; break;
    default: break;
    }
    if (s.kind != Kind::Linked) {
        if (status == SRB_STATUS_SUCCESS && (config_.unusual.data_phase_certain || srb.DataTransferLength != 0))
            wrong = fmt::format("succeeded, reporting {} bytes moved", srb.DataTransferLength);
        // A faulty target may store what it never received (a data phase cut
        // short, then GOOD): only then are the write's blocks unknown.
        if (s.write && !config_.unusual.data_phase_certain)
            d.model->written(s.lba, n, BlockModel::kUnknown);
        else if (!s.write && std::any_of(s.buffer->data, s.buffer->data + s.buffer->length, [](uint8_t b) { return b != kUnread; }))
            wrong = "data came into its buffer";
    }
    if (status == SRB_STATUS_SUCCESS && hole)
        machine_.errors().report("transfer", fmt::format("request {} succeeded although {}", s.request->id, *hole));
    if (wrong.empty())
        return;
    r.unusual.wrong++;
    if (s.kind == Kind::Linked)
        note_failure(r, fmt::format("{}: {}", what, wrong));
    else
        note_failure(r, fmt::format("{} of LBA {} ({} blocks): {}", what, s.lba, n, wrong));
}

void Runner::process_completions()
{
    // A completion handled here may submit again, whose completion lands in
    // done_ later. The scratch lists keep their capacity from call to call.
    scratch_.clear();
    scratch_.swap(done_);
    for (Slot* s : scratch_)
        complete(*s);
}

double Runner::progress() const
{
    if (config_.requests) {
        uint64_t want = 0, have = 0;
        for (const auto& d : devices_) {
            want += config_.requests;
            have += d->result.requests;
        }
        return want ? static_cast<double>(have) / static_cast<double>(want) : 1.0;
    }
    const Nanoseconds span = std::max<Nanoseconds>(1, config_.duration);
    return std::min(1.0, static_cast<double>(machine_.clock().now() - start_) / static_cast<double>(span));
}

// ------------------------------------------------------------------ the run

Results Runner::run()
{
    install_listeners();
    Clock& clock = machine_.clock();
    PortDriver& port = machine_.port_driver();
    start_ = clock.now();
    stop_issuing_ = start_ + config_.duration;
    accesses_before_ = machine_.ports().access_count();
    for (auto& m : meters_) {
        m->restart(start_);
        m->interrupts_before = port.adapter(m->adapter).interrupts_claimed;
    }
    Nanoseconds drain_deadline = UINT64_MAX;
    uint64_t steps = 0;
    for (;;) {
        const bool completed = !done_.empty();
        process_completions();
        if (completed && drain_deadline != UINT64_MAX)
            drain_deadline = clock.now() + config_.drain_limit;
        fill_idle_slots();
        port.pump();
        if (!done_.empty())
            continue;
        if (drain_deadline == UINT64_MAX) {
            if (!more_to_issue()) {  // nothing more to issue, ever: the rest only drains
                drain_deadline = clock.now() + config_.drain_limit;
                issuing_over_ = true;
            }
        }
        if (in_flight_ == 0 && drain_deadline != UINT64_MAX)
            break;
        if (clock.idle() || clock.next_event_time() > drain_deadline)
            break;  // what is still in flight can never complete, or took too long
        clock.run_next();
        if (progress_ && ++steps % 4096 == 0)
            progress_(progress());
    }
    if (progress_)
        progress_(progress());
    remove_listeners();
    return collect();
}

// What the workload wrote must be on the medium, block for block: a write
// that put pad bytes or another request's data there is found even when no
// read came back to it.
void Runner::check_media(Device& d)
{
    const int ci = machine_.adapters().at(d.info.adapter).config_index;
    if (ci < 0)
        return;
    auto* device = dynamic_cast<BlockDevice*>(machine_.bus(static_cast<size_t>(ci)).target(d.info.target));
    if (!device)
        return;
    std::vector<uint64_t> lbas = d.model->written_blocks();
    std::sort(lbas.begin(), lbas.end());
    for (const uint64_t lba : lbas) {
        const std::vector<uint8_t> block = device->store(d.info.lun).read(lba, 1);
        const BlockModel::Check c = d.model->check(lba, block.data());
        if (!c.bytes_wrong)
            continue;
        d.result.bytes_miscompared += c.bytes_wrong;
        d.result.blocks_miscompared++;
        note_failure(d.result, fmt::format("block {} on the medium: {}", lba, c.what));
    }
}

Results Runner::collect()
{
    Results out;
    const Nanoseconds now = machine_.clock().now();
    out.elapsed = now - start_;
    const double seconds = std::max(1e-9, static_cast<double>(out.elapsed) / kSecond);
    DeviceResult& total = out.total;
    LatencyHistogram all;
    for (auto& d : devices_) {
        if (config_.verify)
            check_media(*d);
        DeviceResult r = d->result;
        refresh_settings(machine_, r.device);  // as the run left them (QUEUE FULL lowers the depth)
        for (const auto& s : d->slots)
            r.lost += s->state != Slot::State::Idle;
        // A device's rates over the time it was busy: one that finished early is not diluted.
        const double active = d->last_completion > start_
                                  ? static_cast<double>(d->last_completion - start_) / kSecond
                                  : seconds;
        r.iops = static_cast<double>(r.requests) / active;
        r.mb_per_s = static_cast<double>(r.bytes) / active / 1e6;
        r.latency = summarize(d->latencies);
        all += d->latencies;
        total.requests += r.requests;
        total.reads += r.reads;
        total.writes += r.writes;
        total.bytes += r.bytes;
        total.busy_retries += r.busy_retries;
        total.busy_failed += r.busy_failed;
        total.unit_attentions += r.unit_attentions;
        total.resent += r.resent;
        total.resent_busy += r.resent_busy;
        total.resent_after_reset += r.resent_after_reset;
        total.short_transfers += r.short_transfers;
        total.bytes_miscompared += r.bytes_miscompared;
        total.blocks_miscompared += r.blocks_miscompared;
        total.lost += r.lost;
        total.unusual += r.unusual;
        for (const auto& [status, count] : r.errors)
            total.errors[status] += count;
        out.devices.push_back(std::move(r));
    }
    total.iops = static_cast<double>(total.requests) / seconds;
    total.mb_per_s = static_cast<double>(total.bytes) / seconds / 1e6;
    total.latency = summarize(all);
    for (const auto& m : meters_) {
        AdapterResult a;
        a.adapter = m->adapter;
        a.interrupts = machine_.port_driver().adapter(m->adapter).interrupts_claimed - m->interrupts_before;
        a.data_bytes = m->data_bytes;
        a.bus_busy = static_cast<double>(m->busy_until(now)) / static_cast<double>(std::max<Nanoseconds>(1, out.elapsed));
        for (const DeviceResult& r : out.devices) {
            if (r.device.adapter != m->adapter)
                continue;
            a.requests += r.requests;
            const double rate = r.device.period_ns ? 1e9 / r.device.period_ns
                                                   : static_cast<double>(m->timing.async_bytes_per_second);
            a.bus_limit = std::max(a.bus_limit, rate);
        }
        a.bus_share = a.bus_limit > 0 ? static_cast<double>(a.data_bytes) / seconds / a.bus_limit : 0;
        a.interrupts_per_request = a.requests ? static_cast<double>(a.interrupts) / static_cast<double>(a.requests) : 0;
        out.adapters.push_back(a);
    }
    for (const auto& m : meters_)
        out.linked_on_bus += m->linked_commands;
    out.port_accesses = machine_.ports().access_count() - accesses_before_;
    out.port_accesses_per_request =
        total.requests ? static_cast<double>(out.port_accesses) / static_cast<double>(total.requests) : 0;
    return out;
}

}  // namespace sim::workload
