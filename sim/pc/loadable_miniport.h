// A miniport as the port driver receives it: an image that is loaded afresh
// (its globals as a kernel's loader leaves them: zero) and whose DriverEntry
// is then called. The machine knows it by that alone; the driver linked into
// the program and a kernel image run on the emulated i386 processor are two
// of them.
#pragma once

#include "miniport.h"

namespace sim {

class Miniport {
public:
    using EntryPoint = ULONG(MINIPORT_API*)(PVOID, PVOID);
    virtual ~Miniport() = default;
    // Loads the image afresh and returns its entry point.
    virtual EntryPoint load() = 0;
};

// A stand-in miniport given by its entry point, for testing the port driver.
class EntryMiniport : public Miniport {
public:
    explicit EntryMiniport(EntryPoint entry) : entry_(entry) {}
    EntryPoint load() override { return entry_; }

private:
    EntryPoint entry_;
};

}  // namespace sim
