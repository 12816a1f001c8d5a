// Command descriptor blocks the tests send.
#pragma once

#include <cstdint>
#include <vector>

namespace hbatest {

// READ(10) or WRITE(10), or any other 10-byte CDB of that shape.
inline std::vector<uint8_t> Cdb10(uint8_t op, uint32_t lba, uint16_t blocks)
{
    return {op, 0, uint8_t(lba >> 24), uint8_t(lba >> 16), uint8_t(lba >> 8), uint8_t(lba), 0, uint8_t(blocks >> 8),
            uint8_t(blocks), 0};
}
inline std::vector<uint8_t> Read10(uint32_t lba, uint16_t blocks) { return Cdb10(0x28, lba, blocks); }
inline std::vector<uint8_t> Write10(uint32_t lba, uint16_t blocks) { return Cdb10(0x2A, lba, blocks); }
inline std::vector<uint8_t> Inquiry(uint8_t lun, uint8_t length) { return {0x12, uint8_t(lun << 5), 0, 0, length, 0}; }

inline const std::vector<uint8_t> kRead10 = Read10(0, 8);
inline const std::vector<uint8_t> kInquiry = Inquiry(0, 36);
inline const std::vector<uint8_t> kRequestSense = {0x03, 0, 0, 0, 18, 0};
inline const std::vector<uint8_t> kTestUnitReady = {0x00, 0, 0, 0, 0, 0};

}  // namespace hbatest
