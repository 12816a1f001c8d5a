// Every data transfer checked against the request it belongs to: the bytes a
// target moves at its data pointer must land in (or come from) the buffer of
// the request outstanding for that target and LUN, at the offset equal to
// the pointer, in a direction the request's SRB flags allow; a mismatch is a
// model error. The physical memory knows which buffer and offset an address
// is; the port driver knows the request's target, LUN and flags. Bytes the chip pads or discards inside a request's data are
// noted: a driver may drain a phase for a request it is going to fail, but a
// request with such a hole must not succeed (the workload checks that).
#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>

#include "adapter/controller_chip.h"

namespace sim {

class Machine;

class MachineAudit : public TransferAudit {
public:
    MachineAudit(Machine& machine, size_t config_index) : machine_(machine), config_index_(config_index) {}
    void moved(uint8_t target, const NexusPointer& at, std::optional<uint32_t> physical, uint32_t length,
               DataDirection direction) override;
    // What the chip padded or discarded inside request `id`'s data, if it did.
    std::optional<std::string> hole(uint64_t id) const;
    // The same, and forgets it: for the submitter, once per completion.
    std::optional<std::string> take_hole(uint64_t id);

private:
    // The port driver's index of this adapter; nothing before the driver reported it.
    std::optional<size_t> port_index() const;
    static uint32_t nexus_key(uint8_t target, const NexusPointer& at)
    {
        return (uint32_t{target} << 16) | (uint32_t{at.lun} << 9) | (at.tag ? 0x100u | *at.tag : 0u);
    }

    Machine& machine_;
    size_t config_index_;
    std::unordered_map<uint64_t, std::string> holes_;  // by request id: the first
    // The request each nexus (target, LUN, tag or untagged) last moved data
    // for: padded bytes are put down to it while it is outstanding.
    std::unordered_map<uint32_t, uint64_t> nexus_request_;
};

}  // namespace sim
