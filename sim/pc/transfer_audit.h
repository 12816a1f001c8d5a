// Every data transfer checked against the request it belongs to: the bytes a
// target moves at its data pointer must land in (or come from) the buffer of
// the request outstanding for that target and LUN, at the offset equal to
// the pointer; bytes the chip pads or discards must lie past that request's
// data. The physical memory knows which buffer and offset an address is; the
// port driver knows the request's target and LUN. A mismatch is a model error.
#pragma once

#include <cstddef>

#include "adapter/chip.h"

namespace sim {

class Machine;

class MachineAudit : public TransferAudit {
public:
    MachineAudit(Machine& machine, size_t config_index) : machine_(machine), config_index_(config_index) {}
    void moved(uint8_t target, const NexusPointer& at, std::optional<uint32_t> physical, uint32_t length,
               DataDirection direction) override;

private:
    // The port driver's index of this adapter; nothing before the driver reported it.
    std::optional<size_t> port_index() const;

    Machine& machine_;
    size_t config_index_;
};

}  // namespace sim
