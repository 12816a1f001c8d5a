// Several devices on one bus, many commands at once: a request helper that
// keeps a model of what every block of every disk should hold, and a bus
// trace to read the order of selections, disconnects and reselections from.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "requests/bench.h"

namespace concurrencytest {

using requesttest::Bench;
using sim::BusEvent;

constexpr uint32_t kBlock = 512;

inline sim::DeviceConfig DiskAt(uint8_t id, sim::TargetOptions target = {}, sim::Nanoseconds track_seek = 0,
                                sim::Nanoseconds full_seek = 0, sim::Nanoseconds revolution = 0)
{
    sim::DeviceConfig d;
    d.id = id;
    d.options.target = target;
    d.options.block_count = 4096;
    d.options.track_seek = track_seek;
    d.options.full_seek = full_seek;
    d.options.revolution = revolution;
    d.options.unit_attention = false;  // the driver's concurrency is under test
    return d;
}

inline std::vector<uint8_t> Cdb10(uint8_t op, uint32_t lba, uint16_t blocks)
{
    return {op, 0, uint8_t(lba >> 24), uint8_t(lba >> 16), uint8_t(lba >> 8), uint8_t(lba), 0, uint8_t(blocks >> 8),
            uint8_t(blocks), 0};
}

// What byte `i` of block `lba` of `target` holds after its `generation`th
// write; generation 0 is a never written block, which reads as zeros.
inline uint8_t Pattern(uint8_t target, uint32_t lba, uint32_t generation, uint32_t i)
{
    if (generation == 0)
        return 0;
    uint32_t h = (target + 1) * 0x9E3779B1u ^ (lba + 7) * 0x85EBCA77u ^ generation * 0xC2B2AE3Du ^ (i + 1) * 0x27D4EB2Fu;
    h ^= h >> 15;
    return uint8_t(h ^ (h >> 8));
}

// The bus as the listener saw it.
class BusTrace {
public:
    explicit BusTrace(sim::ScsiBus& bus)
    {
        bus.set_listener([this](const BusEvent& e) {
            if (e.kind != BusEvent::Kind::DataIn && e.kind != BusEvent::Kind::DataOut && e.kind != BusEvent::Kind::Request)
                events_.push_back(e);
        });
    }
    const std::vector<BusEvent>& events() const { return events_; }
    size_t count(BusEvent::Kind kind, uint8_t target) const
    {
        size_t n = 0;
        for (const BusEvent& e : events_)
            n += e.kind == kind && e.target == target;
        return n;
    }
    // Whether `message` went out to `target` (message-out bytes travel one by one).
    bool SentMessage(uint8_t target, const std::vector<uint8_t>& message) const
    {
        std::vector<uint8_t> out;
        for (const BusEvent& e : events_)
            if (e.kind == BusEvent::Kind::MessageOut && e.target == target)
                out.push_back(e.byte);
        return std::search(out.begin(), out.end(), message.begin(), message.end()) != out.end();
    }
    // Whether some other target was selected while `target` was disconnected
    // (between its DISCONNECT message and its next reselection).
    bool OtherSelectedWhileDisconnected(uint8_t target) const
    {
        bool away = false;
        for (const BusEvent& e : events_) {
            if (e.kind == BusEvent::Kind::MessageIn && e.target == target && e.byte == 0x04)
                away = true;
            else if (e.kind == BusEvent::Kind::Reselection && e.target == target)
                away = false;
            else if (away && e.kind == BusEvent::Kind::Selection && e.target != target)
                return true;
        }
        return false;
    }

private:
    std::vector<BusEvent> events_;
};

// Reads and writes with every byte checked against a model of the media.
class Workload {
public:
    explicit Workload(Bench& bench) : bench_(bench) {}

    // A read or write of `blocks` blocks at `lba`, with the queue-tag message
    // `queue_action` when it is not 0; the data is checked when it completes.
    // Overlapping commands in flight are the caller's to avoid.
    sim::Request& Issue(uint8_t target, bool write, uint32_t lba, uint16_t blocks, uint8_t queue_action = 0,
                        std::function<void()> done = {})
    {
        sim::PhysicalMemory::Buffer& buffer = TakeBuffer(blocks * kBlock);
        sim::RequestSpec request_spec;
        request_spec.target = target;
        request_spec.queue_action = queue_action;
        request_spec.queue_action_enable = queue_action != 0;
        request_spec.cdb = Cdb10(write ? 0x2A : 0x28, lba, blocks);
        request_spec.buffer = &buffer;
        request_spec.length = blocks * kBlock;
        request_spec.direction = write ? sim::DataDirection::Out : sim::DataDirection::In;
        std::vector<uint32_t> expected(blocks);
        for (uint16_t b = 0; b < blocks; b++) {
            uint32_t& gen = generation_[{target, lba + b}];
            if (write)
                gen = ++next_generation_;
            expected[b] = gen;
            for (uint32_t i = 0; i < kBlock; i++)
                buffer.data[b * kBlock + i] = write ? Pattern(target, lba + b, gen, i) : 0xA5;
        }
        issued_++;
        return bench_.port().submit(0, request_spec, [this, target, write, lba, expected, &buffer, done](const sim::Request& r) {
            Check(r, target, write, lba, expected, buffer);
            free_.push_back(&buffer);
            if (done)
                done();
        });
    }

    // Every block the model knows, read straight from the device's store.
    void ExpectMediaMatches()
    {
        for (const auto& [key, gen] : generation_) {
            auto* device = dynamic_cast<sim::BlockDevice*>(bench_.machine().bus(0).target(key.first));
            ASSERT_NE(device, nullptr);
            std::vector<uint8_t> block = device->store().read(key.second, 1);
            for (uint32_t i = 0; i < kBlock; i++)
                if (block[i] != Pattern(key.first, key.second, gen, i)) {
                    ADD_FAILURE() << "target " << int(key.first) << " block " << key.second << " byte " << i;
                    return;
                }
        }
    }

    uint64_t issued() const { return issued_; }
    uint64_t good() const { return good_; }
    uint64_t bad() const { return bad_; }
    const std::vector<uint64_t>& completion_order() const { return order_; }

private:
    sim::PhysicalMemory::Buffer& TakeBuffer(uint32_t length)
    {
        for (size_t i = 0; i < free_.size(); i++)
            if (free_[i]->length == length) {
                sim::PhysicalMemory::Buffer* b = free_[i];
                free_.erase(free_.begin() + long(i));
                return *b;
            }
        uint32_t offset = uint32_t(bench_.machine().rng().range(0, 511)) * 8;
        return bench_.machine().memory().allocate(length, offset, sim::PhysicalMemory::Layout::Scattered);
    }

    void Check(const sim::Request& r, uint8_t target, bool write, uint32_t lba, const std::vector<uint32_t>& expected,
               const sim::PhysicalMemory::Buffer& buffer)
    {
        order_.push_back(r.id);
        if (r.srb.SrbStatus != SRB_STATUS_SUCCESS) {
            bad_++;
            if (bad_ <= 5)
                ADD_FAILURE() << "request " << r.id << " to target " << int(target) << " ended with SRB status "
                              << int(r.srb.SrbStatus) << ", SCSI status " << int(r.srb.ScsiStatus);
            return;
        }
        good_++;
        if (write)
            return;
        for (size_t b = 0; b < expected.size(); b++)
            for (uint32_t i = 0; i < kBlock; i++)
                if (buffer.data[b * kBlock + i] != Pattern(target, lba + uint32_t(b), expected[b], i)) {
                    bad_++;
                    if (bad_ <= 5)
                        ADD_FAILURE() << "read of target " << int(target) << " block " << lba + b << " byte " << i
                                      << " is wrong";
                    return;
                }
    }

    Bench& bench_;
    std::map<std::pair<uint8_t, uint32_t>, uint32_t> generation_;
    uint32_t next_generation_ = 0;
    std::vector<sim::PhysicalMemory::Buffer*> free_;
    std::vector<uint64_t> order_;
    uint64_t issued_ = 0, good_ = 0, bad_ = 0;
};

// Switch tagged queuing on for a LUN the way the driver does it: an INQUIRY.
inline void Inquire(Bench& bench, uint8_t target, uint8_t lun = 0)
{
    auto& buffer = bench.machine().memory().allocate(36, 0x10);
    sim::Request& r = bench.Execute(target, lun, requesttest::kInquiry, &buffer, sim::DataDirection::In);
    bench.port().run_until_idle();
    ASSERT_EQ(r.srb.SrbStatus, SRB_STATUS_SUCCESS);
}

inline void ExpectClean(Bench& bench)
{
    EXPECT_EQ(bench.port().outstanding(), 0u);
    EXPECT_EQ(bench.port().waiting(), 0u);
    EXPECT_EQ(bench.FreeBlocks(), COMMAND_BLOCK_COUNT);
    EXPECT_EQ(bench.ext()->ServiceCursor, nullptr);
    EXPECT_EQ(bench.ext()->ActiveLun, nullptr);
    EXPECT_EQ(bench.machine().bus(0).timing_mismatches(), 0u);
    EXPECT_TRUE(bench.machine().errors().empty()) << bench.machine().errors().summary();
}

}  // namespace concurrencytest
