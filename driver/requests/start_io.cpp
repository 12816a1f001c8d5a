// Request intake.
#include "adapter.h"

// Placeholder until request intake is built: refuse everything.
extern "C" BOOLEAN MINIPORT_API HwStartIo(PVOID HwDeviceExtension, PSCSI_REQUEST_BLOCK Srb)
{
    Srb->SrbStatus = SRB_STATUS_INVALID_REQUEST;
    ScsiPortNotification(RequestComplete, HwDeviceExtension, Srb);
    ScsiPortNotification(NextRequest, HwDeviceExtension);
    return TRUE;
}
