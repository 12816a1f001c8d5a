// Interrupt service and dispatch.
#include "adapter.h"

// Placeholder until the bus-phase engine is built: claim nothing.
extern "C" BOOLEAN MINIPORT_API HwInterrupt(PVOID)
{
    return FALSE;
}
