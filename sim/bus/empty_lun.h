// What a target answers for a LUN it does not have: INQUIRY with peripheral
// byte 0x7F, REQUEST SENSE with the sense of the last refusal, and CHECK
// CONDITION (ILLEGAL REQUEST, LOGICAL UNIT NOT SUPPORTED) for all else.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "bus/scsi_vocabulary.h"
#include "bus/target.h"

namespace sim {

// Fixed-format sense data (18 bytes), cut to the allocation length; an
// allocation length of 0 means 4 bytes.
std::vector<uint8_t> fixed_sense_data(const Sense& sense, uint8_t allocation_length);

class EmptyLun {
public:
    static CommandReply answer(std::span<const uint8_t> cdb, Sense& sense);
};

}  // namespace sim
