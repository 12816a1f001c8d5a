#include "pc/class_driver.h"

#include "bus/scsi_vocabulary.h"

namespace sim {

Resend class_driver_resends(const SCSI_REQUEST_BLOCK& srb, std::span<const uint8_t> sense)
{
    switch (srb.SrbStatus & 0x3F) {
    case SRB_STATUS_BUS_RESET:
        return Resend::BusReset;
    case SRB_STATUS_ERROR:
        break;
    default:
        return Resend::No;
    }
    switch (srb.ScsiStatus) {
    case scsi::status::kBusy:
    case scsi::status::kQueueFull:
        return Resend::Busy;
    case scsi::status::kCheckCondition:
        break;
    default:
        return Resend::No;
    }
    const bool sense_valid = (srb.SrbStatus & SRB_STATUS_AUTOSENSE_VALID) && srb.SenseInfoBufferLength > 2 &&
                             sense.size() > 2;
    if (!sense_valid)
        return Resend::CheckCondition;
    const auto key = static_cast<scsi::SenseKey>(sense[2] & 0x0F);
    return key == scsi::SenseKey::UnitAttention || key == scsi::SenseKey::NoSense ? Resend::CheckCondition
                                                                                   : Resend::No;
}

}  // namespace sim
