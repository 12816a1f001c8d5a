// Which Machine the driver's boundary calls reach. One Machine runs the
// driver at a time in a process: the driver's globals are one set.
#pragma once

namespace sim {

class Machine;

Machine* current_machine();

// Makes `machine` the one the boundary reaches while the scope lives.
class CurrentMachineScope {
public:
    explicit CurrentMachineScope(Machine* machine);
    ~CurrentMachineScope();
    CurrentMachineScope(const CurrentMachineScope&) = delete;
    CurrentMachineScope& operator=(const CurrentMachineScope&) = delete;

private:
    Machine* previous_;
};

// Makes `machine` current until another is made current or it is forgotten.
void make_current(Machine* machine);
void forget_current(Machine* machine);

}  // namespace sim
