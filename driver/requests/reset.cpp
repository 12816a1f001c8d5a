// Bus reset and request flush.
#include "adapter.h"

// Placeholder until the bus reset is built.
extern "C" BOOLEAN MINIPORT_API HwResetBus(PVOID, ULONG)
{
    return TRUE;
}
