// What a class driver sends again, from the SRB the port driver gave back.
#include <gtest/gtest.h>

#include <array>

#include "pc/class_driver.h"

namespace hbatest {
namespace {

using sim::Resend;

TEST(ClassDriver, SendsAgainWhatADeviceMayAnswerOnceAndNotAgain)
{
    constexpr uint8_t kCheckCondition = 0x02, kBusy = 0x08, kQueueFull = 0x28;
    constexpr uint8_t kAutosense = SRB_STATUS_AUTOSENSE_VALID;
    const struct {
        const char* what;
        uint8_t srb_status, scsi_status, sense_key;
        Resend expected;
    } cases[] = {
        {"success", SRB_STATUS_SUCCESS, 0, 0, Resend::No},
        {"unit attention", SRB_STATUS_ERROR | kAutosense, kCheckCondition, 0x6, Resend::CheckCondition},
        {"sense that says nothing", SRB_STATUS_ERROR | kAutosense, kCheckCondition, 0x0, Resend::CheckCondition},
        {"no sense fetched", SRB_STATUS_ERROR, kCheckCondition, 0, Resend::CheckCondition},
        {"medium error", SRB_STATUS_ERROR | kAutosense, kCheckCondition, 0x3, Resend::No},
        {"illegal request", SRB_STATUS_ERROR | kAutosense, kCheckCondition, 0x5, Resend::No},
        {"busy", SRB_STATUS_ERROR, kBusy, 0, Resend::Busy},
        {"queue full", SRB_STATUS_ERROR, kQueueFull, 0, Resend::Busy},
        {"bus reset", SRB_STATUS_BUS_RESET, 0, 0, Resend::BusReset},
        {"the target left without a status", SRB_STATUS_ERROR, 0, 0, Resend::No},
        {"selection time-out", SRB_STATUS_SELECTION_TIMEOUT, 0, 0, Resend::No},
        {"parity", SRB_STATUS_PARITY_ERROR, 0, 0, Resend::No},
        {"refused by the driver", SRB_STATUS_INVALID_REQUEST, 0, 0, Resend::No},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::array<uint8_t, 18> sense{0x70, 0, c.sense_key};
        SCSI_REQUEST_BLOCK srb{};
        srb.SrbStatus = c.srb_status;
        srb.ScsiStatus = c.scsi_status;
        srb.SenseInfoBufferLength = sense.size();
        EXPECT_EQ(sim::class_driver_resends(srb, sense), c.expected);
    }
}

}  // namespace
}  // namespace hbatest
