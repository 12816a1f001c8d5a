#include "support/driver_fixture.h"
#include "linked_driver.h"

#include <set>

namespace hbatest {

DriverFixture::DriverFixture(sim::AdapterSettings settings, std::vector<sim::DeviceConfig> devices,
                             sim::MachineConfig base)
    : machine_(Configure(settings, std::move(devices), base))
{
    // Tests hold their requests and look at them after the fact.
    machine_.port_driver().record_completions();
    machine_.boot(hba::linked_driver());
    ext_ = internals::Extension(machine_, 0);
    machine_.ports().record(true);
}

sim::MachineConfig DriverFixture::Configure(const sim::AdapterSettings& settings, std::vector<sim::DeviceConfig> devices,
                                            sim::MachineConfig base)
{
    sim::AdapterConfig a = base.adapters.empty() ? AdapterAt(0, 3, kIoBase) : base.adapters[0];
    a.settings = settings;
    a.devices = std::move(devices);
    base.adapters = {a};
    return base;
}

sim::BlockDevice& DriverFixture::device(int id)
{
    return dynamic_cast<sim::BlockDevice&>(*bus().target(uint8_t(id)));
}

sim::Request& DriverFixture::Submit(sim::RequestSpec request_spec)
{
    sim::Request& r = port().submit(0, request_spec);
    port().pump();
    return r;
}

sim::Request& DriverFixture::Execute(int target, int lun, std::vector<uint8_t> cdb, sim::PhysicalMemory::Buffer* buffer,
                                     DataDirection direction)
{
    sim::RequestSpec request_spec;
    request_spec.target = uint8_t(target);
    request_spec.lun = uint8_t(lun);
    request_spec.cdb = std::move(cdb);
    request_spec.buffer = buffer;
    request_spec.direction = buffer ? direction : DataDirection::None;
    request_spec.sense_wanted = sense_wanted_;
    // Tagged, as a class driver sends its requests to a device that takes
    // tagged commands: the port driver then gives the LU more than one.
    if (ext_->Lun[target][lun].QueueDepth > 1) {
        request_spec.queue_action_enable = true;
        request_spec.queue_action = SRB_SIMPLE_TAG_REQUEST;
    }
    return Submit(request_spec);
}

sim::Request& DriverFixture::Function(uint8_t function, int target, int lun, SCSI_REQUEST_BLOCK* next)
{
    sim::RequestSpec request_spec;
    request_spec.function = function;
    request_spec.target = uint8_t(target);
    request_spec.lun = uint8_t(lun);
    request_spec.next_srb = next;
    return Submit(request_spec);
}

sim::Request& DriverFixture::Run(int target, int lun, std::vector<uint8_t> cdb, sim::PhysicalMemory::Buffer* buffer,
                                 DataDirection direction)
{
    sim::Request& r = Execute(target, lun, std::move(cdb), buffer, direction);
    port().run_until_idle();
    return r;
}

std::vector<uint8_t> DriverFixture::Fill(int id, uint32_t lba, uint32_t count, uint8_t seed)
{
    sim::BlockStore& store = device(id).store();
    std::vector<uint8_t> bytes(size_t(count) * store.block_size());
    for (size_t i = 0; i < bytes.size(); i++)
        bytes[i] = uint8_t(i * 7 + seed + (i >> 9));
    store.write(lba, bytes.data(), count);
    return bytes;
}

std::vector<sim::PortAccess> DriverFixture::ChipWrites()
{
    std::vector<sim::PortAccess> out;
    const auto& log = machine_.ports().recorded();
    for (; seen_ < log.size(); seen_++) {
        const sim::PortAccess& a = log[seen_];
        if (a.port >= kIoBase && a.port < kIoBase + 0x60 && a.direction == sim::Direction::Write)
            out.push_back(a);
    }
    return out;
}

std::vector<sim::PortAccess> DriverFixture::ChipAccesses(size_t from)
{
    std::vector<sim::PortAccess> out;
    const auto& log = machine_.ports().recorded();
    for (size_t i = from; i < log.size(); i++)
        if (log[i].port >= kIoBase && log[i].port < kIoBase + 0x60)
            out.push_back(log[i]);
    return out;
}

const std::vector<BusEvent>& DriverFixture::Watch()
{
    bus().set_listener([this](const BusEvent& e) {
        events_.push_back(e);
        if (on_event_)
            on_event_(e);
    });
    return events_;
}

void DriverFixture::OnEvent(std::function<void(const BusEvent&)> f)
{
    on_event_ = std::move(f);
    Watch();
}

void DriverFixture::ExpectIdle()
{
    EXPECT_EQ(port().outstanding(), 0u);
    EXPECT_EQ(port().waiting(), 0u);
    std::set<uint64_t> ids;
    for (const sim::Request* r : port().completed()) {
        EXPECT_TRUE(ids.insert(r->id).second) << "request " << r->id << " completed twice";
        EXPECT_EQ(r->state, sim::Request::State::Completed);
    }
    EXPECT_EQ(FreeBlocks(), COMMAND_BLOCK_COUNT);
    EXPECT_EQ(ext_->ServiceCursor, nullptr);
    EXPECT_EQ(ext_->ActiveLun, nullptr);
    EXPECT_EQ(bus().timing_mismatches(), 0u);
    EXPECT_TRUE(machine_.errors().empty()) << machine_.errors().summary();
}

void DriverFixture::ExpectCleanEnd()
{
    port().run_until_idle(60 * sim::kSecond);
    ExpectIdle();
}

void Inquire(DriverFixture& fixture, uint8_t target, uint8_t lun)
{
    auto& buffer = fixture.machine().memory().allocate(36, 0x10);
    sim::Request& r = fixture.Execute(target, lun, kInquiry, &buffer, DataDirection::In);
    fixture.port().run_until_idle();
    ASSERT_EQ(r.srb.SrbStatus, SRB_STATUS_SUCCESS);
}

void ExpectDriverIdle(const sim::Machine& machine)
{
    std::vector<std::string> problems;
    internals::DriverHoldsNothing(machine, problems);
    for (const std::string& p : problems)
        ADD_FAILURE() << p;
}

}  // namespace hbatest
