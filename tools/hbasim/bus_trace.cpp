#include "bus_trace.h"

#include <fmt/format.h>
#include <fmt/ranges.h>

namespace hbasim {

using sim::BusEvent;
namespace msg = sim::scsi::msg;

namespace {

std::string hex(const std::vector<uint8_t>& bytes)
{
    return fmt::format("{:02X}", fmt::join(bytes, " "));
}

uint32_t be(const std::vector<uint8_t>& b, size_t at, size_t n)
{
    uint32_t v = 0;
    for (size_t i = 0; i < n; i++)
        v = v << 8 | b[at + i];
    return v;
}

std::string one_byte_message(uint8_t m)
{
    switch (m) {
    case msg::kCommandComplete: return "COMMAND COMPLETE";
    case msg::kSaveDataPointer: return "SAVE DATA POINTER";
    case msg::kRestorePointers: return "RESTORE POINTERS";
    case msg::kDisconnect: return "DISCONNECT";
    case msg::kInitiatorDetectedError: return "INITIATOR DETECTED ERROR";
    case msg::kAbort: return "ABORT";
    case msg::kMessageReject: return "MESSAGE REJECT";
    case msg::kNoOperation: return "NO OPERATION";
    case msg::kMessageParityError: return "MESSAGE PARITY ERROR";
    case 0x0A: return "LINKED COMMAND COMPLETE";
    case 0x0B: return "LINKED COMMAND COMPLETE (WITH FLAG)";
    case msg::kBusDeviceReset: return "BUS DEVICE RESET";
    case msg::kAbortTag: return "ABORT TAG";
    case 0x0E: return "CLEAR QUEUE";
    case 0x0F: return "INITIATE RECOVERY";
    case 0x10: return "RELEASE RECOVERY";
    case 0x11: return "TERMINATE I/O PROCESS";
    default: return fmt::format("reserved message {:#04x}", m);
    }
}

}  // namespace

size_t message_length(const std::vector<uint8_t>& bytes)
{
    if (bytes.empty())
        return 0;
    const uint8_t first = bytes[0];
    if (first == msg::kExtended)
        return bytes.size() < 2 ? 0 : size_t{bytes[1] == 0 ? 256u : bytes[1]} + 2;
    if (first >= 0x20 && first <= 0x2F)
        return 2;  // queue tags and the other two-byte messages
    return 1;
}

std::string describe_message(const std::vector<uint8_t>& b)
{
    if (b.empty())
        return "";
    const uint8_t first = b[0];
    if (first & msg::kIdentify)
        return fmt::format("IDENTIFY LUN {}{}", first & 0x07,
                           first & msg::kIdentifyDisconnect ? ", disconnect allowed" : "");
    if (first == msg::kExtended) {
        if (b.size() >= 5 && b[1] == 3 && b[2] == msg::kExtendedSdtr)
            return b[4] ? fmt::format("SDTR period {} ns, offset {}", b[3] * 4u, b[4])
                        : "SDTR offset 0 (asynchronous)";
        if (b.size() >= 4 && b[1] == 2 && b[2] == 3)
            return fmt::format("WDTR {} bits", 8u << b[3]);
        return fmt::format("EXTENDED MESSAGE [{}]", hex(b));
    }
    if (first >= 0x20 && first <= 0x2F) {
        const std::string arg = b.size() > 1 ? fmt::format("{:#04x}", b[1]) : "?";
        switch (first) {
        case msg::kSimpleQueueTag: return "SIMPLE QUEUE TAG " + arg;
        case msg::kHeadOfQueueTag: return "HEAD OF QUEUE TAG " + arg;
        case msg::kOrderedQueueTag: return "ORDERED QUEUE TAG " + arg;
        case 0x23: return "IGNORE WIDE RESIDUE " + arg;
        default: return fmt::format("two-byte message [{}]", hex(b));
        }
    }
    return one_byte_message(first);
}

std::string describe_cdb(const std::vector<uint8_t>& c)
{
    if (c.empty())
        return "";
    std::string_view name = sim::scsi::command_name(c[0]);
    std::string out = name.empty() ? fmt::format("operation {:#04x}", c[0]) : std::string(name);
    const size_t n = c.size();
    switch (c[0]) {
    case sim::scsi::op::kRead6:
    case sim::scsi::op::kWrite6:
        if (n >= 6)
            out += fmt::format(" LBA {} blocks {}", be(c, 1, 3) & 0x1FFFFF, c[4] ? c[4] : 256);
        break;
    case sim::scsi::op::kRead10:
    case sim::scsi::op::kWrite10:
    case 0x2F:
        if (n >= 10)
            out += fmt::format(" LBA {} blocks {}", be(c, 2, 4), be(c, 7, 2));
        break;
    case sim::scsi::op::kInquiry:
    case sim::scsi::op::kRequestSense:
    case sim::scsi::op::kModeSense6:
        if (n >= 6)
            out += fmt::format(" allocation length {}", c[4]);
        break;
    default: break;
    }
    return fmt::format("{}  [{}]", out, hex(c));
}

std::string describe_status(uint8_t status)
{
    switch (status & 0x3E) {
    case 0x00: return "GOOD";
    case 0x02: return "CHECK CONDITION";
    case 0x04: return "CONDITION MET";
    case 0x08: return "BUSY";
    case 0x10: return "INTERMEDIATE";
    case 0x14: return "INTERMEDIATE-CONDITION MET";
    case 0x18: return "RESERVATION CONFLICT";
    case 0x22: return "COMMAND TERMINATED";
    case 0x28: return "QUEUE FULL";
    default: return fmt::format("status {:#04x}", status);
    }
}

void BusTrace::line(sim::Nanoseconds time, size_t adapter, std::string_view what, const std::string& detail)
{
    out_ << fmt::format("{:>10}.{:03} us  {}  {:<14} {}\n", time / 1000, time % 1000, adapter, what, detail);
}

void BusTrace::flush(size_t adapter, State& s)
{
    Pending& p = s.pending;
    if (p.bytes.empty())
        return;
    const bool command = p.kind == BusEvent::Kind::Command;
    std::string text = command ? describe_cdb(p.bytes) : describe_message(p.bytes);
    const bool whole = command ? p.bytes.size() >= sim::scsi::cdb_length(p.bytes[0])
                               : message_length(p.bytes) != 0 && p.bytes.size() >= message_length(p.bytes);
    if (!whole)
        text = fmt::format("incomplete {} [{}]", command ? "CDB" : "message", hex(p.bytes));
    const char* what = command ? "COMMAND" : p.kind == BusEvent::Kind::MessageOut ? "MESSAGE OUT" : "MESSAGE IN";
    line(p.time, adapter, what, p.atn && p.kind == BusEvent::Kind::MessageOut ? text + "  (ATN)" : text);
    p = Pending{};
    for (const BusEvent& n : s.notes)
        line(n.time, adapter, "NOTE", fmt::format("target {}: {}", n.target, sim::note_text(n)));
    s.notes.clear();
}

void BusTrace::on(size_t adapter, const BusEvent& e)
{
    State& s = states_[adapter % states_.size()];
    using K = BusEvent::Kind;
    const bool byte_event = e.kind == K::Command || e.kind == K::MessageOut || e.kind == K::MessageIn;
    if (byte_event) {
        if (s.pending.kind != e.kind)
            flush(adapter, s);
        if (s.pending.bytes.empty()) {
            s.pending.kind = e.kind;
            s.pending.time = e.time;
        }
        s.pending.bytes.push_back(e.byte);
        s.pending.atn |= e.atn;
        const bool whole = e.kind == K::Command ? s.pending.bytes.size() >= sim::scsi::cdb_length(s.pending.bytes[0])
                                                : message_length(s.pending.bytes) != 0 &&
                                                      s.pending.bytes.size() >= message_length(s.pending.bytes);
        if (whole)
            flush(adapter, s);
        return;
    }
    if (e.kind == K::Note && !s.pending.bytes.empty()) {
        s.notes.push_back(e);  // shown after the message or CDB it interrupts
        return;
    }
    if (e.kind == K::Request) {
        // The target asks for the next byte in the same phase: nothing new to show.
        if (static_cast<int>(e.phase) == s.last_phase)
            return;
        flush(adapter, s);
        s.last_phase = static_cast<int>(e.phase);
        line(e.time, adapter, "PHASE", fmt::format("{} (target {})", sim::scsi::phase_name(e.phase), e.target));
        return;
    }
    flush(adapter, s);
    switch (e.kind) {
    case K::Arbitration:
        line(e.time, adapter, "ARBITRATION", fmt::format("ID {} won, contenders {:#04x}", e.target, e.contenders));
        break;
    case K::Selection: line(e.time, adapter, "SELECTION", fmt::format("target {} {}", e.target, e.atn ? "with ATN" : "")); break;
    case K::SelectionTimeout: line(e.time, adapter, "SEL TIMEOUT", fmt::format("target {} did not answer", e.target)); break;
    case K::Reselection: line(e.time, adapter, "RESELECTION", fmt::format("by target {}", e.target)); break;
    case K::Status:
        line(e.time, adapter, "STATUS", fmt::format("{} ({:#04x})", describe_status(e.byte), e.byte));
        break;
    case K::DataOut:
    case K::DataIn:
        line(e.time, adapter, e.kind == K::DataIn ? "DATA IN" : "DATA OUT",
             fmt::format("{} bytes{}", e.count, e.parity_error ? ", parity error" : ""));
        break;
    case K::BusFree: line(e.time, adapter, "BUS FREE", ""); break;
    case K::Reset: line(e.time, adapter, "RESET", "RST asserted"); break;
    case K::Note: line(e.time, adapter, "NOTE", fmt::format("target {}: {}", e.target, sim::note_text(e))); break;
    case K::ReselectionTimeout: line(e.time, adapter, "NOTE", fmt::format("target {}: reselection timed out", e.target)); break;
    default: break;
    }
    if (e.kind == K::BusFree || e.kind == K::Reset || e.kind == K::SelectionTimeout || e.kind == K::Selection ||
        e.kind == K::Reselection)
        s.last_phase = -1;
}

}  // namespace hbasim
