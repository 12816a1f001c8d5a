#include "bus/empty_lun.h"

#include <algorithm>

namespace sim {

using namespace scsi;

std::vector<uint8_t> fixed_sense_data(const Sense& sense, uint8_t allocation_length)
{
    std::vector<uint8_t> data(18, 0);
    data[0] = 0x70;  // current error, fixed format
    data[2] = static_cast<uint8_t>(sense.key);
    data[7] = 10;  // additional sense length
    data[12] = static_cast<uint8_t>(sense.asc);
    data.resize(allocation_length == 0 ? 4 : std::min<size_t>(allocation_length, data.size()));
    return data;
}

CommandReply EmptyLun::answer(std::span<const uint8_t> cdb, Sense& sense)
{
    CommandReply reply;
    switch (cdb[0]) {
    case op::kInquiry: {
        std::vector<uint8_t> data(36, 0);
        data[0] = 0x7F;  // no device at this LUN
        data[2] = 0x02;
        data[3] = 0x02;
        data[4] = 31;
        data.resize(std::min<size_t>(cdb[4], data.size()));
        reply.direction = DataDirection::In;
        reply.data = std::move(data);
        return reply;
    }
    case op::kRequestSense: {
        Sense reported = sense.key == SenseKey::NoSense ? Sense{SenseKey::IllegalRequest, Asc::LunNotSupported} : sense;
        sense = {};
        reply.direction = DataDirection::In;
        reply.data = fixed_sense_data(reported, cdb[4]);
        return reply;
    }
    default:
        sense = {SenseKey::IllegalRequest, Asc::LunNotSupported};
        reply.status = status::kCheckCondition;
        return reply;
    }
}

}  // namespace sim
