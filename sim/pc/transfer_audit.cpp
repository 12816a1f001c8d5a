#include "pc/transfer_audit.h"

#include <algorithm>

#include <fmt/format.h>

#include "pc/machine.h"

namespace sim {

std::optional<std::string> MachineAudit::hole(uint64_t id) const
{
    const auto it = holes_.find(id);
    return it == holes_.end() ? std::nullopt : std::optional<std::string>(it->second);
}

std::optional<std::string> MachineAudit::take_hole(uint64_t id)
{
    const auto it = holes_.find(id);
    if (it == holes_.end())
        return std::nullopt;
    std::string hole = std::move(it->second);
    holes_.erase(it);
    return hole;
}

std::optional<size_t> MachineAudit::port_index() const
{
    const auto& found = machine_.adapters();
    for (size_t i = 0; i < found.size(); i++)
        if (found[i].config_index == static_cast<int>(config_index_))
            return i;
    return std::nullopt;
}

void MachineAudit::moved(uint8_t target, const NexusPointer& at, std::optional<uint32_t> physical, uint32_t length,
                         DataDirection direction)
{
    const PortDriver& port = machine_.port_driver();
    const char* what = direction == DataDirection::In ? "data-in" : "data-out";
    // Named only for a report: every data phase comes through here.
    const auto who = [&] {
        return fmt::format("target {} LUN {}{}", target, at.lun, at.tag ? fmt::format(" tag {}", *at.tag) : std::string());
    };
    if (!physical) {
        // Padded or discarded: only past the command's own data, or past the buffer.
        if (at.pointer >= at.length)
            return;
        const std::optional<size_t> index = port_index();
        if (!index)
            return;
        // Whose bytes: the request this nexus last moved data for, or the
        // LUN's only outstanding request; with several and no data yet, nobody can tell.
        const Request* r = nullptr;
        if (const auto it = nexus_request_.find(nexus_key(target, at)); it != nexus_request_.end())
            r = port.find_outstanding(it->second);
        if (!r) {
            const auto requests = port.outstanding_for(*index, target, at.lun);
            if (requests.size() == 1)
                r = requests.front();
        }
        if (!r || r->srb.DataTransferLength <= at.pointer)
            return;
        holes_.try_emplace(r->id, fmt::format("the chip {} {} {} bytes of {} at its data pointer {} of {}, inside "
                                              "the request's {} bytes",
                                              direction == DataDirection::In ? "discarded" : "padded", length, what,
                                              who(), at.pointer, at.length, r->srb.DataTransferLength));
        return;
    }
    const auto hit = machine_.memory().window_at(*physical);
    if (!hit)
        return;  // the memory reports DMA outside every request's buffer itself
    const Request* r = port.find_outstanding(hit->request);
    if (!r)
        return;
    // The request's direction flags, not the command, say which way its
    // buffer may be moved: DMA the other way is wrong whatever the target wants.
    const ULONG allowed = direction == DataDirection::In ? SRB_FLAGS_DATA_IN : SRB_FLAGS_DATA_OUT;
    if (!(r->srb.SrbFlags & allowed)) {
        machine_.errors().report("transfer",
                                 fmt::format("{} bytes of {} of {} moved by DMA for request {}, whose SRB flags "
                                             "{:#x} do not allow {}",
                                             length, what, who(), r->id, r->srb.SrbFlags, what));
        return;
    }
    const std::optional<size_t> index = port_index();
    const bool right_request = r->srb.TargetId == target && r->srb.Lun == at.lun && (!index || r->adapter == *index);
    if (right_request && hit->offset == at.pointer) {
        nexus_request_[nexus_key(target, at)] = r->id;
        return;
    }
    machine_.errors().report(
        "transfer", fmt::format("{} bytes of {} at its data pointer {} {} offset {} of the buffer of request {} "
                                "(target {} LUN {})",
                                length, who(), at.pointer, direction == DataDirection::In ? "land at" : "come from",
                                hit->offset, r->id, r->srb.TargetId, r->srb.Lun));
}

}  // namespace sim
