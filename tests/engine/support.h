// Driver, chip and devices together: a booted machine with one adapter and
// the devices a test puts on its bus, plus what the tests check at their end.
#pragma once

#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "bus/block_device.h"
#include "requests/bench.h"

namespace enginetest {

using requesttest::Chip;
using sim::BusEvent;
using sim::DataDirection;
using Layout = sim::PhysicalMemory::Layout;

inline std::vector<uint8_t> Read10(uint32_t lba, uint16_t blocks)
{
    return {0x28, 0, uint8_t(lba >> 24), uint8_t(lba >> 16), uint8_t(lba >> 8), uint8_t(lba), 0, uint8_t(blocks >> 8),
            uint8_t(blocks), 0};
}
inline std::vector<uint8_t> Write10(uint32_t lba, uint16_t blocks)
{
    std::vector<uint8_t> cdb = Read10(lba, blocks);
    cdb[0] = 0x2A;
    return cdb;
}
inline std::vector<uint8_t> Inquiry(uint8_t lun, uint8_t length) { return {0x12, uint8_t(lun << 5), 0, 0, length, 0}; }

// The driver's own protocol is what these tests look at: their devices raise
// no unit attention (as if it had been reported before the test), except
// where a test asks for one.
inline sim::DeviceConfig DiskAt(uint8_t id, sim::TargetOptions target = {})
{
    sim::DeviceConfig d;
    d.id = id;
    d.options.target = target;
    d.options.unit_attention = false;
    return d;
}
inline sim::DeviceConfig OpticalAt(uint8_t id, bool tagged = false)
{
    sim::DeviceConfig d;
    d.id = id;
    d.kind = sim::DeviceConfig::Kind::Optical;
    d.options = sim::OpticalDrive::optical_defaults();
    d.options.target.tagged_queuing = tagged;
    d.options.unit_attention = false;
    return d;
}

// Settings with the same flags (and speed index) for every target.
inline sim::AdapterSettings Flags(uint8_t flags, uint8_t speed = 0, uint8_t shift = 2)
{
    sim::AdapterSettings s;
    for (auto& t : s.targets)
        t = {flags, speed};
    s.tag_depth_shift = shift;
    return s;
}

class Rig : public requesttest::Bench {
public:
    using Bench::Bench;

    sim::BlockDevice& device(int id) { return dynamic_cast<sim::BlockDevice&>(*machine().bus(0).target(uint8_t(id))); }
    sim::ScsiBus& bus() { return machine().bus(0); }

    // Fills blocks [lba, lba + count) of a device with a pattern and returns it.
    std::vector<uint8_t> Fill(int id, uint32_t lba, uint32_t count, uint8_t seed)
    {
        sim::BlockStore& store = device(id).store();
        std::vector<uint8_t> bytes(size_t(count) * store.block_size());
        for (size_t i = 0; i < bytes.size(); i++)
            bytes[i] = uint8_t(i * 7 + seed + (i >> 9));
        store.write(lba, bytes.data(), count);
        return bytes;
    }

    sim::PhysicalMemory::Buffer& Buffer(uint32_t length, uint32_t offset = 0, Layout layout = Layout::Scattered)
    {
        return machine().memory().allocate(length, offset, layout);
    }

    // One request run to its end.
    sim::Request& Run(int target, int lun, std::vector<uint8_t> cdb, sim::PhysicalMemory::Buffer* buffer = nullptr,
                      DataDirection direction = DataDirection::In)
    {
        sim::Request& r = Execute(target, lun, std::move(cdb), buffer, direction);
        port().run_until_idle();
        return r;
    }

    // Bus events from now on.
    const std::vector<BusEvent>& Watch()
    {
        bus().set_listener([this](const BusEvent& e) {
            events_.push_back(e);
            if (on_event_)
                on_event_(e);
        });
        return events_;
    }
    void OnEvent(std::function<void(const BusEvent&)> f)
    {
        on_event_ = std::move(f);
        Watch();
    }

    // Every chip access (reads too) from `from` on in the recorder.
    std::vector<sim::PortAccess> ChipAccesses(size_t from = 0)
    {
        std::vector<sim::PortAccess> out;
        const auto& log = machine().ports().recorded();
        for (size_t i = from; i < log.size(); i++)
            if (log[i].port >= kIoBase && log[i].port < kIoBase + 0x60)
                out.push_back(log[i]);
        return out;
    }
    size_t Mark() { return machine().ports().recorded().size(); }

    // The port driver's ledger is clean, every block is free, the ring is
    // empty, the bus is free and no model reported an error.
    void ExpectCleanEnd()
    {
        Bench::ExpectCleanEnd();
        EXPECT_EQ(port().waiting(), 0u);
        std::set<uint64_t> ids;
        for (const sim::Request* r : port().completed()) {
            EXPECT_TRUE(ids.insert(r->id).second) << "request " << r->id << " completed twice";
            EXPECT_EQ(r->state, sim::Request::State::Completed);
        }
    }

private:
    std::vector<BusEvent> events_;
    std::function<void(const BusEvent&)> on_event_;
};

// The driver holds nothing: every block free, the ring empty, the bus free.
inline void ExpectDriverIdle(const AdapterExtension& ext)
{
    int free = 0;
    for (const CommandBlock* b = ext.FreeBlocks; b; b = b->Next)
        free++;
    EXPECT_EQ(free, COMMAND_BLOCK_COUNT);
    EXPECT_EQ(ext.ServiceCursor, nullptr);
    EXPECT_EQ(ext.ActiveLun, nullptr);
}

inline std::vector<uint8_t> Bytes(const sim::PhysicalMemory::Buffer& b, size_t length = 0)
{
    return {b.data, b.data + (length ? length : b.length)};
}

}  // namespace enginetest
