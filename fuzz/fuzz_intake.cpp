// Coverage-guided fuzzing of the driver's intake: the input bytes are a
// script of what a port driver hands HwStartIo and when, against a disk that
// queues tagged commands, an untagged one that disconnects to seek and IDs where
// nothing answers. Requests of every function, with odd flags, lengths,
// directions, CDBs (0 to 16 bytes, the opcodes the devices know and any
// other), queue actions and LUNs; aborts of requests in flight, bus and
// device resets, the port driver's own bus reset, and time in between in
// which the interrupts come. Whatever the script, every request must be
// completed exactly once, the driver must hold nothing at the end and no
// model may see a rule broken; otherwise the run aborts.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <span>
#include <vector>

#include "linked_driver.h"
#include "support/driver_internals.h"
#include "support/machines.h"

namespace {

class Script {
public:
    explicit Script(std::span<const uint8_t> bytes) : bytes_(bytes) {}
    bool done() const { return at_ >= bytes_.size(); }
    uint8_t next() { return at_ < bytes_.size() ? bytes_[at_++] : 0; }
    uint32_t below(uint32_t n) { return next() % n; }
    uint16_t word() { return static_cast<uint16_t>(next() | next() << 8); }

private:
    std::span<const uint8_t> bytes_;
    size_t at_ = 0;
};

constexpr uint8_t kOpcodes[] = {0x00, 0x03, 0x08, 0x0A, 0x12, 0x1A, 0x25, 0x28, 0x2A};

std::vector<uint8_t> any_cdb(Script& in)
{
    const size_t length = in.below(17);
    std::vector<uint8_t> cdb(length);
    if (length == 0)
        return cdb;
    const uint8_t pick = in.next();
    cdb[0] = pick < 9 * 16 ? kOpcodes[pick % 9] : in.next();
    // Small blocks and counts, so that most commands are ones a disk carries out.
    for (size_t i = 1; i < length; i++)
        cdb[i] = in.below(4) ? static_cast<uint8_t>(in.below(8)) : in.next();
    return cdb;
}

sim::RequestSpec any_request(Script& in, sim::Machine& machine)
{
    sim::RequestSpec r;
    const uint8_t function = in.next();
    // Mostly commands; else the functions a port driver sends, or any byte.
    constexpr uint8_t kFunctions[] = {SRB_FUNCTION_RESET_BUS, SRB_FUNCTION_RESET_DEVICE, SRB_FUNCTION_SHUTDOWN,
                                      SRB_FUNCTION_FLUSH, SRB_FUNCTION_IO_CONTROL};
    if (function >= 0xE0)
        r.function = function < 0xF8 ? kFunctions[function % 5] : in.next();
    const uint8_t address = in.next();
    r.target = address % 7;  // any ID but the adapter's own, 7
    r.lun = in.below(4) ? 0 : (address >> 3) & 7;
    r.cdb = any_cdb(in);
    const uint8_t flags = in.next();
    r.direction = static_cast<sim::DataDirection>((flags & 3) % 3);
    if (flags & 0x04)
        // Neither, in, out or both, whatever the command does.
        r.direction_flags = (flags & 0x08 ? SRB_FLAGS_DATA_IN : 0) | (flags & 0x10 ? SRB_FLAGS_DATA_OUT : 0);
    r.disable_disconnect = flags & 0x20;
    r.disable_synch_transfer = flags & 0x40;
    r.sense_wanted = !(flags & 0x80);
    const uint8_t queue = in.next();
    r.queue_action_enable = queue & 0x80;
    r.queue_action = queue & 0x40 ? in.next() : static_cast<uint8_t>(SRB_SIMPLE_TAG_REQUEST + (queue & 3));
    r.timeout_seconds = 1 + in.below(30);
    if (r.direction != sim::DataDirection::None || r.direction_flags) {
        const uint32_t length = 1 + in.word() % 8192;
        using Layout = sim::PhysicalMemory::Layout;
        const auto layout = static_cast<Layout>(in.below(3));
        r.buffer = &machine.memory().allocate(length, in.below(4096), layout);
        if (in.below(2))
            r.length = 1 + in.word() % length;
    }
    return r;
}

void fail(const char* what, const sim::Machine& machine, const std::vector<std::string>& problems = {})
{
    std::fprintf(stderr, "%s\n%s", what, machine.errors().summary().c_str());
    for (const std::string& p : problems)
        std::fprintf(stderr, "%s\n", p.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    sim::MachineConfig config;
    sim::AdapterConfig adapter = hbatest::AdapterAt(0, 3, 0xE800);
    sim::TargetOptions queueing, untagged;
    queueing.queue_limit = 4;
    untagged.tagged_queuing = false;
    adapter.devices = {hbatest::DiskAt(0, queueing), hbatest::SeekingDiskAt(2, untagged, 300 * sim::kMicrosecond)};
    config.adapters = {adapter};
    sim::Machine machine(config);
    if (machine.boot(hba::linked_driver()) != 0)
        fail("the driver did not load", machine);
    sim::PortDriver& port = machine.port_driver();

    Script in(std::span<const uint8_t>(data, size));
    std::vector<sim::Request*> sent;
    while (!in.done() && sent.size() < 64) {
        const uint8_t op = in.next();
        switch (op % 8) {
        case 0:
        case 1:
        case 2:
            sent.push_back(&port.submit(0, any_request(in, machine)));
            break;
        case 3: {  // an abort, of a request in flight or of none
            sim::RequestSpec abort;
            abort.function = SRB_FUNCTION_ABORT_COMMAND;
            std::vector<sim::Request*> flying;
            for (sim::Request* r : sent)
                if (r->state == sim::Request::State::Outstanding)
                    flying.push_back(r);
            const uint8_t which = in.next();
            if (!flying.empty() && which < 0xF0) {
                sim::Request& victim = *flying[which % flying.size()];
                abort.next_srb = &victim.srb;
                abort.target = victim.srb.TargetId;
                abort.lun = victim.srb.Lun;
                if (which & 0x80)  // the path of another LU
                    abort.target = (abort.target + 1) % 7;
            } else {
                abort.target = which % 7;
            }
            sent.push_back(&port.submit(0, abort));
            break;
        }
        case 4:
            port.reset_bus(0);
            break;
        case 5:
            port.pump();
            break;
        default:  // time passes: interrupts, reselections, time-outs
            port.run_for(static_cast<sim::Nanoseconds>(1 + in.word()) * (op & 0x80 ? sim::kMillisecond : sim::kMicrosecond));
            break;
        }
    }

    port.run_until_idle(600 * sim::kSecond);
    std::vector<std::string> problems;
    if (port.outstanding() || port.waiting())
        problems.push_back("requests left outstanding or waiting");
    std::set<uint64_t> ids;
    for (const sim::Request* r : port.completed())
        if (!ids.insert(r->id).second)
            problems.push_back("request " + std::to_string(r->id) + " completed twice");
    for (const sim::Request* r : sent)
        if (r->state != sim::Request::State::Completed)
            problems.push_back("request " + std::to_string(r->id) + " never completed");
    if (machine.bus(0).timing_mismatches())
        problems.push_back("transfers at a timing other than the one agreed");
    internals::DriverHoldsNothing(machine, problems);
    if (!problems.empty() || !machine.errors().empty())
        fail("the driver broke its intake's contract", machine, problems);
    return 0;
}
