// Reads and writes of 512-byte blocks sent straight to the driver, each
// checked when it completes against the simulator's own model of what every
// block of every disk holds (sim/workload's BlockModel).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "support/driver_fixture.h"
#include "workload/block_model.h"

namespace hbatest {

class VerifiedIo {
public:
    static constexpr uint32_t kBlock = 512;

    explicit VerifiedIo(DriverFixture& fixture) : fixture_(fixture) {}

    // A read or write of `blocks` blocks at `lba`, with the queue-tag message
    // `queue_action` when it is not 0; the data is checked when it completes.
    // Overlapping commands in flight are the caller's to avoid.
    sim::Request& Issue(uint8_t target, bool write, uint32_t lba, uint16_t blocks, uint8_t queue_action = 0,
                        std::function<void()> done = {});

    // Every block written, read straight from the device's store.
    void ExpectMediaMatches();

    uint64_t issued() const { return issued_; }
    uint64_t good() const { return good_; }
    uint64_t bad() const { return bad_; }
    const std::vector<uint64_t>& completion_order() const { return order_; }

private:
    sim::workload::BlockModel& Model(uint8_t target);
    sim::PhysicalMemory::Buffer& TakeBuffer(uint32_t length);
    void Check(const sim::Request& r, uint8_t target, bool write, uint32_t lba, uint16_t blocks,
               const sim::PhysicalMemory::Buffer& buffer);

    DriverFixture& fixture_;
    std::map<uint8_t, std::unique_ptr<sim::workload::BlockModel>> models_;
    std::vector<sim::PhysicalMemory::Buffer*> free_;
    std::vector<uint64_t> order_;
    uint64_t issued_ = 0, good_ = 0, bad_ = 0;
};

}  // namespace hbatest
