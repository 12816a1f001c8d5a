// The driver linked into the host program, as a Miniport: loading it zeroes
// its globals, as a kernel's loader leaves a fresh image's, and hands out
// DriverEntry. Hosted code (C++20), built apart from the freestanding core.
#pragma once

#include "pc/loadable_miniport.h"

namespace hba {

class LinkedDriver : public sim::Miniport {
public:
    EntryPoint load() override;
};

// The one linked-in driver of the program.
LinkedDriver& linked_driver();

}  // namespace hba
