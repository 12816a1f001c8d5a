// A booted machine with one adapter and nothing on its bus, for watching what
// the driver does with requests: the chip writes it makes, the records it
// keeps, and what the port driver gets back.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "frame/support.h"

namespace requesttest {

using frametest::Out8;
using sim::Direction;
using sim::PortAccess;
using sim::Width;

inline const std::vector<uint8_t> kRead10 = {0x28, 0, 0, 0, 0, 0, 0, 0, 8, 0};
inline const std::vector<uint8_t> kInquiry = {0x12, 0, 0, 0, 36, 0};
inline const std::vector<uint8_t> kRequestSense = {0x03, 0, 0, 0, 18, 0};
inline const std::vector<uint8_t> kTestUnitReady = {0x00, 0, 0, 0, 0, 0};

class Bench {
public:
    explicit Bench(sim::AdapterSettings settings = frametest::AllFeatures(), std::vector<sim::DeviceConfig> devices = {},
                   sim::MachineConfig base = {})
        : machine_(Configure(settings, std::move(devices), base))
    {
        machine_.boot();
        ext_ = inspect::Extension(machine_, 0);
        machine_.ports().record(true);
    }

    sim::Machine& machine() { return machine_; }
    sim::PortDriver& port() { return machine_.port_driver(); }
    AdapterExtension* ext() { return ext_; }
    LunRecord& lun(int target, int lun = 0) { return ext_->Lun[target][lun]; }

    sim::Request& Submit(sim::RequestSpec request_spec)
    {
        sim::Request& r = port().submit(0, request_spec);
        port().pump();
        return r;
    }
    sim::Request& Execute(int target, int lun, std::vector<uint8_t> cdb, sim::PhysicalMemory::Buffer* buffer = nullptr,
                          sim::DataDirection direction = sim::DataDirection::None)
    {
        sim::RequestSpec request_spec;
        request_spec.target = uint8_t(target);
        request_spec.lun = uint8_t(lun);
        request_spec.cdb = std::move(cdb);
        request_spec.buffer = buffer;
        request_spec.direction = buffer ? direction : sim::DataDirection::None;
        request_spec.sense_wanted = sense_wanted_;
        return Submit(request_spec);
    }
    sim::Request& Function(uint8_t function, int target = 0, int lun = 0, SCSI_REQUEST_BLOCK* next = nullptr)
    {
        sim::RequestSpec request_spec;
        request_spec.function = function;
        request_spec.target = uint8_t(target);
        request_spec.lun = uint8_t(lun);
        request_spec.next_srb = next;
        return Submit(request_spec);
    }

    // Requests from now on want no sense (SRB_FLAGS_DISABLE_AUTOSENSE): a
    // CHECK CONDITION comes back as the driver ended it, with no REQUEST
    // SENSE from the port driver after it.
    void NoSense() { sense_wanted_ = false; }

    // Writes to the chip's window since the last call.
    std::vector<PortAccess> ChipWrites()
    {
        std::vector<PortAccess> out;
        const auto& log = machine_.ports().recorded();
        for (; seen_ < log.size(); seen_++) {
            const PortAccess& a = log[seen_];
            if (a.port >= kIoBase && a.port < kIoBase + 0x60 && a.direction == Direction::Write)
                out.push_back(a);
        }
        return out;
    }

    int FreeBlocks() const
    {
        int n = 0;
        for (const CommandBlock* b = ext_->FreeBlocks; b; b = b->Next)
            n++;
        return n;
    }

    // Everything accepted ends: with nothing on the bus every selection times
    // out, so the ledger must come back clean, every block free and the ring empty.
    void ExpectCleanEnd()
    {
        port().run_until_idle(60 * sim::kSecond);
        EXPECT_EQ(port().outstanding(), 0u);
        EXPECT_EQ(FreeBlocks(), COMMAND_BLOCK_COUNT);
        EXPECT_EQ(ext_->ServiceCursor, nullptr);
        EXPECT_EQ(ext_->ActiveLun, nullptr);
        EXPECT_TRUE(machine_.errors().empty()) << machine_.errors().summary();
    }

    static constexpr uint16_t kIoBase = 0xE800;

private:
    static sim::MachineConfig Configure(const sim::AdapterSettings& settings, std::vector<sim::DeviceConfig> devices,
                                        sim::MachineConfig base)
    {
        // The base's first adapter, if it has one, brings its chip and bus timing.
        sim::AdapterConfig a = base.adapters.empty() ? frametest::AdapterAt(0, 3, kIoBase) : base.adapters[0];
        a.settings = settings;
        a.devices = std::move(devices);
        base.adapters = {a};
        return base;
    }

    sim::Machine machine_;
    AdapterExtension* ext_ = nullptr;
    size_t seen_ = 0;
    bool sense_wanted_ = true;
};

inline PortAccess Chip(uint8_t reg, uint32_t value) { return Out8(uint16_t(Bench::kIoBase + reg), value); }

// Make a LUN tagged as an INQUIRY answer would.
inline void MakeTagged(LunRecord& lun, uint8_t depth)
{
    lun.QueueDepth = depth;
    lun.FreeTags = 0xFFFFFFFF;
}

}  // namespace requesttest
