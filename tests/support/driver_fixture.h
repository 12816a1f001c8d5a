// A booted machine with one adapter, the linked-in driver and the devices a
// test puts on its bus: requests sent through the port driver, the chip
// accesses the driver made, the bus events, and what every test checks at
// its end.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "adapter.h"
#include "bus/block_device.h"
#include "pc/machine.h"
#include "support/cdb.h"
#include "support/driver_internals.h"
#include "support/machines.h"
#include "support/port_accesses.h"

namespace hbatest {

using sim::BusEvent;
using sim::DataDirection;
using Layout = sim::PhysicalMemory::Layout;

// A port driver that hands the driver whatever waits, at once: for tests of
// what the driver does with requests a real port driver holds back (several
// for one untagged LUN, or one within the 4 s after a bus reset).
inline sim::MachineConfig LenientPort(sim::MachineConfig base = {})
{
    base.port_lenient.any_lu_request = true;
    base.port_lenient.no_reset_hold = true;
    return base;
}

class DriverFixture {
public:
    static constexpr uint16_t kIoBase = 0xE800;

    // The base's first adapter, if it has one, brings its chip and bus timing.
    explicit DriverFixture(sim::AdapterSettings settings = AllFeatures(), std::vector<sim::DeviceConfig> devices = {},
                           sim::MachineConfig base = {});

    sim::Machine& machine() { return machine_; }
    sim::PortDriver& port() { return machine_.port_driver(); }
    sim::ScsiBus& bus() { return machine_.bus(0); }
    sim::BlockDevice& device(int id);
    AdapterExtension* ext() { return ext_; }
    LunRecord& lun(int target, int lun = 0) { return ext_->Lun[target][lun]; }
    int FreeBlocks() const { return internals::FreeBlockCount(*ext_); }

    // Requests, handed to the driver at once.
    sim::Request& Submit(sim::RequestSpec request_spec);
    sim::Request& Execute(int target, int lun, std::vector<uint8_t> cdb, sim::PhysicalMemory::Buffer* buffer = nullptr,
                          DataDirection direction = DataDirection::None);
    sim::Request& Function(uint8_t function, int target = 0, int lun = 0, SCSI_REQUEST_BLOCK* next = nullptr);
    // One request run to its end.
    sim::Request& Run(int target, int lun, std::vector<uint8_t> cdb, sim::PhysicalMemory::Buffer* buffer = nullptr,
                      DataDirection direction = DataDirection::In);
    // Requests from now on want no sense (SRB_FLAGS_DISABLE_AUTOSENSE): a
    // CHECK CONDITION comes back as the driver ended it, with no REQUEST
    // SENSE from the port driver after it.
    void NoSense() { sense_wanted_ = false; }

    sim::PhysicalMemory::Buffer& Buffer(uint32_t length, uint32_t offset = 0, Layout layout = Layout::Scattered)
    {
        return machine_.memory().allocate(length, offset, layout);
    }
    // Fills blocks [lba, lba + count) of a device with a pattern and returns it.
    std::vector<uint8_t> Fill(int id, uint32_t lba, uint32_t count, uint8_t seed);

    // Writes to the chip's window since the last call.
    std::vector<sim::PortAccess> ChipWrites();
    // Every chip access (reads too) from `from` on in the recorder.
    std::vector<sim::PortAccess> ChipAccesses(size_t from = 0);
    size_t Mark() { return machine_.ports().recorded().size(); }

    // Bus events from now on.
    const std::vector<BusEvent>& Watch();
    void OnEvent(std::function<void(const BusEvent&)> f);

    // Nothing is left: the port driver's ledger is clean and nothing waits,
    // no request completed twice, every block is free, the ring is empty, the
    // bus is free, the timing on it was what was agreed and no model
    // reported an error.
    void ExpectIdle();
    // Runs until nothing is left to happen (with nothing on the bus every
    // selection times out), then expects the machine idle.
    void ExpectCleanEnd();

private:
    static sim::MachineConfig Configure(const sim::AdapterSettings& settings, std::vector<sim::DeviceConfig> devices,
                                        sim::MachineConfig base);

    sim::Machine machine_;
    AdapterExtension* ext_ = nullptr;
    size_t seen_ = 0;
    bool sense_wanted_ = true;
    std::vector<BusEvent> events_;
    std::function<void(const BusEvent&)> on_event_;
};

// A write of `value` to chip register `reg` of the fixture's adapter.
inline sim::PortAccess Chip(uint8_t reg, uint32_t value) { return Out8(uint16_t(DriverFixture::kIoBase + reg), value); }

// Make a LUN tagged as an INQUIRY answer would.
inline void MakeTagged(LunRecord& lun, uint8_t depth)
{
    lun.QueueDepth = depth;
    lun.FreeTags = 0xFFFFFFFF;
}

// Switch tagged queuing on for a LUN the way the driver does it: an INQUIRY.
void Inquire(DriverFixture& fixture, uint8_t target, uint8_t lun = 0);

// Every adapter's driver holds nothing: every block free, the ring empty, the
// bus free, every LUN able to start.
void ExpectDriverIdle(const sim::Machine& machine);

inline std::vector<uint8_t> Bytes(const sim::PhysicalMemory::Buffer& b, size_t length = 0)
{
    return {b.data, b.data + (length ? length : b.length)};
}

}  // namespace hbatest
