// Faults across a whole machine: a hostile-device layer on every target of
// every adapter, plus what happens at moments of its own: another initiator
// resetting a bus, a target reselecting for nothing, and another device on
// an adapter's interrupt line raising it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <utility>

#include "bus/faults.h"
#include "pc/machine.h"

namespace sim {

class MachineFaults {
public:
    // Hooks every device on every adapter of a booted (or built) machine.
    MachineFaults(Machine& machine, Choices& choices);
    ~MachineFaults();
    MachineFaults(const MachineFaults&) = delete;
    MachineFaults& operator=(const MachineFaults&) = delete;

    // The device at SCSI ID `target` on adapter `config_index`'s bus.
    DeviceFaults& device(size_t config_index, uint8_t target);
    // Every device: at each command, with probability `rate`, one of `kinds`.
    void set_random(FaultSet kinds, double rate);
    void stop();

    const FaultCounts& counts() const { return counts_; }
    uint64_t injected() const;
    uint64_t foreign_interrupts_claimed() const { return foreign_claimed_; }

private:
    struct Line;
    void timed(size_t config_index, uint8_t target, FaultKind kind, Nanoseconds delay);
    void ghost(size_t config_index, uint8_t target);
    Line& line(size_t config_index);

    Machine& machine_;
    Choices& choices_;
    FaultCounts counts_{};
    std::map<std::pair<size_t, uint8_t>, std::unique_ptr<DeviceFaults>> devices_;
    std::map<size_t, std::unique_ptr<Line>> lines_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    uint64_t foreign_claimed_ = 0;
    bool quiet_ = false;  // stopped: faults still due do not happen
};

}  // namespace sim
