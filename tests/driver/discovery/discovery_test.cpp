// Adapter discovery, seen from outside: the configuration-port traffic the
// driver produced and what it reported to the port driver.
#include "support/driver_fixture.h"
#include "linked_driver.h"

namespace hbatest {
namespace {

TEST(PciAccess, Mechanism1WordReadIsAddressDataClose)
{
    sim::Machine m(Machine(true, false, {AdapterAt(1, 1, 0xE800)}));
    m.ports().record(true);
    m.boot(hba::linked_driver());
    // Selector 0x0108: the BAR 0 word read of the match.
    EXPECT_GE(FindRun(m.ports().recorded(),
                      {Out32(0xCF8, 0x80010810), In16(0xCFC, 0xE801), Out32(0xCF8, 0)}),
              0);
    EXPECT_TRUE(m.errors().empty()) << m.errors().summary();
}

TEST(PciAccess, Mechanism2ByteReadIsForwardEnableDataClose)
{
    sim::Machine m(Machine(false, true, {AdapterAt(1, 1, 0xE800, 10)}));
    m.ports().record(true);
    m.boot(hba::linked_driver());
    // Selector 0x0108: forward 0x01, CSE 0x20, data port 0xC13C for the interrupt line.
    EXPECT_GE(FindRun(m.ports().recorded(),
                      {Out8(0xCFA, 0x01), Out8(0xCF8, 0x20), In8(0xC13C, 10), Out8(0xCF8, 0)}),
              0);
    // Devices 16-31 are stepped over without a single port access.
    for (const PortAccess& a : m.ports().recorded())
        ASSERT_FALSE(a.port >= 0xD000 && a.port <= 0xDFFF) << sim::to_string(a);
    EXPECT_TRUE(m.errors().empty()) << m.errors().summary();
}

TEST(PciAccess, SelectConfigTargetComputesBothMechanismsAndRefusesHighDevices)
{
    ASSERT_TRUE(SelectConfigTarget(PCI_MECHANISM_1, 0x0108));
    EXPECT_EQ(DriverGlobals.Mech1Address, 0x80010800u);
    ASSERT_TRUE(SelectConfigTarget(PCI_MECHANISM_2, 0x0108));
    EXPECT_EQ(DriverGlobals.Mech2Forward, 0x01);
    EXPECT_EQ(DriverGlobals.Mech2PortHigh, 0xC1);
    EXPECT_EQ(DriverGlobals.Mech2Cse, 0x20);
    ASSERT_TRUE(SelectConfigTarget(PCI_MECHANISM_2, 0x0007));
    EXPECT_EQ(DriverGlobals.Mech2Cse, 0x2E);
    // Device 16, function 5: out of mechanism #2's reach; the target stays.
    EXPECT_FALSE(SelectConfigTarget(PCI_MECHANISM_2, 0x0085));
    EXPECT_EQ(DriverGlobals.Mech2Cse, 0x2E);
    EXPECT_EQ(DriverGlobals.Mech2PortHigh, 0xC0);
}

TEST(Discovery, WithoutMechanism2TheScanStartsUnderMechanism1)
{
    // Mechanism #2 is absent: its presence test fails, and mechanism #1
    // matches at selector 0x0018.
    sim::Machine only1(Machine(true, false, {AdapterAt(0, 3, 0xE800)}));
    only1.boot(hba::linked_driver());
    const auto& calls = only1.port_driver().find_calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].result, ULONG(SP_RETURN_FOUND));
    EXPECT_TRUE(calls[0].again);
    EXPECT_EQ(internals::Context(calls[0]).AdapterCount, 1);
    EXPECT_EQ(internals::Context(calls[0]).Mechanism, 1);
    EXPECT_EQ(internals::Context(calls[0]).DeviceSelector, 0x0020);
    EXPECT_EQ(calls[1].result, ULONG(SP_RETURN_NOT_FOUND));
    EXPECT_FALSE(calls[1].again);
    EXPECT_EQ(internals::Context(calls[1]).Mechanism, 0);
    EXPECT_EQ(FoundBases(only1), std::vector<uint32_t>{0xE800});
    EXPECT_TRUE(only1.errors().empty()) << only1.errors().summary();
}

// Firmware places PCI I/O windows from 0xC000 on. On a PC without mechanism
// #2 those ports are devices' registers: a chip window at 0xC000 and a serial
// receiver whose byte a read takes. The scan looks for mechanism #2 through
// 0xCF8 and 0xCFA alone and touches nothing in 0xC000-0xCFFF but the chip
// window it was given, through its mapping, after finding it.
TEST(Discovery, OnAMechanism1OnlyPcNothingIn0xC000To0xCFFFIsProbed)
{
    sim::MachineConfig c = Machine(true, false, {AdapterAt(0, 3, 0xC000), AdapterAt(0, 9, 0xC400)});
    c.serial_ports = {0xC100, 0xCF00};
    sim::Machine m(c);
    m.ports().record(true);
    EXPECT_EQ(m.boot(hba::linked_driver()), 0u);
    EXPECT_EQ(FoundBases(m), (std::vector<uint32_t>{0xC000, 0xC400}));
    for (size_t i = 0; i < 2; i++) {
        EXPECT_EQ(m.serial_port(i).accesses(), 0u);
        EXPECT_TRUE(m.serial_port(i).byte_waiting());
    }
    // Everything in the range is a byte access inside a chip window, made
    // after the scan reported that window.
    const auto& log = m.ports().recorded();
    size_t first_chip_access = log.size();
    for (size_t i = 0; i < log.size(); i++) {
        const PortAccess& a = log[i];
        if (a.port < 0xC000 || a.port > 0xCFFF)
            continue;
        first_chip_access = std::min(first_chip_access, i);
        EXPECT_EQ(a.width, Width::Byte) << sim::to_string(a);
        EXPECT_TRUE(a.port < 0xC060 || (a.port >= 0xC400 && a.port < 0xC460)) << sim::to_string(a);
    }
    // The presence test: two byte writes and two byte reads, and no other
    // byte access to the configuration ports.
    size_t config_bytes = 0;
    for (size_t i = 0; i < first_chip_access; i++)
        if ((log[i].port == 0xCF8 || log[i].port == 0xCFA) && log[i].width == Width::Byte)
            config_bytes++;
    EXPECT_EQ(config_bytes, 4u);
    EXPECT_GE(FindRun(log, {Out8(0xCF8, 0), Out8(0xCFA, 0), In8(0xCF8, 0xFF), In8(0xCFA, 0xFF)}), 0);
    // The chips work: the port driver initialized both.
    EXPECT_TRUE(m.port_driver().adapter(0).initialized);
    EXPECT_TRUE(m.port_driver().adapter(1).initialized);
    EXPECT_TRUE(m.errors().empty()) << m.errors().summary();
}

// Where mechanism #2 answers, its presence test opens the scan and the scan
// itself is the one it always was: every selector #2 reaches, in order.
TEST(Discovery, WithMechanism2ThePresenceTestPrecedesTheUsualScan)
{
    sim::Machine m(Machine(false, true, {AdapterAt(0, 3, 0xE800)}));
    m.ports().record(true);
    m.boot(hba::linked_driver());
    const auto& log = m.ports().recorded();
    ASSERT_GE(log.size(), 8u);
    EXPECT_EQ(std::vector<PortAccess>(log.begin(), log.begin() + 8),
              (std::vector<PortAccess>{Out8(0xCF8, 0), Out8(0xCFA, 0), In8(0xCF8, 0), In8(0xCFA, 0),
                                       // selector 0: forward 0, CSE 0x20, identity of device 0, close
                                       Out8(0xCFA, 0), Out8(0xCF8, 0x20), In32(0xC000, 0xFFFFFFFF), Out8(0xCF8, 0)}));
    EXPECT_EQ(FoundBases(m), std::vector<uint32_t>{0xE800});
    EXPECT_TRUE(m.errors().empty()) << m.errors().summary();
}

TEST(Discovery, AnAdapterSeenUnderBothMechanismsEndsTheSearch)
{
    sim::Machine m(Machine(true, true, {AdapterAt(0, 3, 0xE800), AdapterAt(0, 20, 0xE400)}));
    m.boot(hba::linked_driver());
    // Found under #2 first; met again under #1, where the search ends before
    // the adapter at device 20 (beyond #2's reach) is looked at. The ending
    // call returns at once and leaves the scan position as it was.
    EXPECT_EQ(FoundBases(m), std::vector<uint32_t>{0xE800});
    const auto& calls = m.port_driver().find_calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].result, ULONG(SP_RETURN_NOT_FOUND));
    EXPECT_FALSE(calls[1].again);
    EXPECT_EQ(internals::Context(calls[1]).Mechanism, 2);
    EXPECT_EQ(internals::Context(calls[1]).DeviceSelector, 0x0020);
    EXPECT_TRUE(m.errors().empty()) << m.errors().summary();
}

TEST(Discovery, ReportsOnlyTheWantedBaseAndStops)
{
    sim::MachineConfig c = Machine(true, false, {AdapterAt(0, 3, 0xE800), AdapterAt(0, 5, 0xE400)});
    c.wanted_base = 0xE400;
    sim::Machine m(c);
    m.boot(hba::linked_driver());
    EXPECT_EQ(FoundBases(m), std::vector<uint32_t>{0xE400});
    ASSERT_EQ(m.port_driver().find_calls().size(), 1u);
    EXPECT_FALSE(m.port_driver().find_calls()[0].again);
}

TEST(Discovery, ReportsAtMostFourAdaptersInScanOrder)
{
    sim::Machine m(Machine(true, false,
                           {AdapterAt(2, 1, 0xB000), AdapterAt(0, 9, 0x9000), AdapterAt(0, 4, 0xD000),
                            AdapterAt(1, 0, 0xA000), AdapterAt(0, 2, 0xE000), AdapterAt(3, 3, 0xF000)}));
    m.boot(hba::linked_driver());
    EXPECT_EQ(FoundBases(m), (std::vector<uint32_t>{0xE000, 0xD000, 0x9000, 0xA000}));
    const auto& calls = m.port_driver().find_calls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_FALSE(calls[3].again);
    EXPECT_EQ(internals::Context(calls[3]).AdapterCount, 4);
    EXPECT_TRUE(m.errors().empty()) << m.errors().summary();
}

TEST(Discovery, SkipsAdaptersWithBadSettingsOrNoInterruptLine)
{
    std::vector<sim::AdapterConfig> adapters = {AdapterAt(0, 1, 0xA000), AdapterAt(0, 2, 0xB000, 0),
                                                AdapterAt(0, 3, 0x9000, 0xFF), AdapterAt(0, 4, 0xD000),
                                                AdapterAt(0, 5, 0xE000), AdapterAt(0, 6, 0xF000)};
    adapters[0].damaged_eeprom = true;
    adapters[4].settings.initiator_id = 9;  // no ID on an 8-bit bus
    sim::Machine m(Machine(true, false, adapters));
    EXPECT_EQ(m.boot(hba::linked_driver()), 0u);
    EXPECT_EQ(FoundBases(m), (std::vector<uint32_t>{0xD000, 0xF000}));
    EXPECT_TRUE(m.errors().empty()) << m.errors().summary();
}

TEST(Discovery, AMatchAtTheLastSelectorIsReportedAndEndsTheMechanism)
{
    sim::Machine m(Machine(true, false, {AdapterAt(255, 31, 0xE800)}));
    m.boot(hba::linked_driver());
    EXPECT_EQ(FoundBases(m), std::vector<uint32_t>{0xE800});
    const auto& calls = m.port_driver().find_calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(internals::Context(calls[0]).Mechanism, 0);
    EXPECT_EQ(internals::Context(calls[0]).DeviceSelector, 0);
    EXPECT_EQ(calls[1].result, ULONG(SP_RETURN_NOT_FOUND));
}

TEST(Discovery, DescribesTheAdapterToThePortDriver)
{
    sim::AdapterConfig a = AdapterAt(0, 3, 0xE800, 11);
    a.settings.initiator_id = 6;
    sim::Machine m(Machine(true, false, {a}));
    m.boot(hba::linked_driver());
    ASSERT_EQ(m.adapters().size(), 1u);
    const auto& found = m.adapters()[0];
    const PORT_CONFIGURATION_INFORMATION& ci = found.config;
    EXPECT_EQ(ci.InitiatorBusId[0], 6);
    EXPECT_EQ(ci.BusInterruptLevel, 11u);
    EXPECT_EQ(ci.NumberOfBuses, 1);
    EXPECT_EQ((*ci.AccessRanges)[0].RangeStart.QuadPart, 0xE800);
    EXPECT_EQ((*ci.AccessRanges)[0].RangeLength, 0x60u);
    EXPECT_FALSE((*ci.AccessRanges)[0].RangeInMemory);
    EXPECT_TRUE(ci.ScatterGather);
    EXPECT_TRUE(ci.TaggedQueuing);
    EXPECT_TRUE(ci.Master);
    EXPECT_TRUE(ci.Dma32BitAddresses);
    EXPECT_EQ(ci.NumberOfPhysicalBreaks, 16u);
    EXPECT_EQ(ci.MaximumTransferLength, 0x10000u);
    const AdapterExtension* ext = internals::Extension(found);
    EXPECT_EQ(ext->IoBase, 0xE800u);  // an I/O mapping is the port number itself
    EXPECT_EQ(ext->InterruptLevel, 11);
    EXPECT_EQ(ext->InitiatorId, 6);
    EXPECT_EQ(ext->ReselectMask, 0xBF);
}

TEST(Discovery, AWindowThePortDriverCannotMapIsSkippedAndNoConfigPortsEndsTheSearch)
{
    // The first adapter's chip window is taken: it is passed over, the next one is used.
    sim::MachineConfig chip = Machine(true, false, {AdapterAt(0, 3, 0xE800), AdapterAt(0, 4, 0xE400)});
    chip.unmappable = {0xE800};
    sim::Machine m(chip);
    EXPECT_EQ(m.boot(hba::linked_driver()), 0u);
    EXPECT_EQ(FoundBases(m), std::vector<uint32_t>{0xE400});
    EXPECT_TRUE(m.errors().empty()) << m.errors().summary();

    // Without the configuration ports nothing can be scanned: no adapter, and no retry.
    sim::MachineConfig ports = Machine(true, false, {AdapterAt(0, 3, 0xE800)});
    ports.unmappable = {0xCF8};
    sim::Machine none(ports);
    EXPECT_NE(none.boot(hba::linked_driver()), 0u);
    ASSERT_EQ(none.port_driver().find_calls().size(), 1u);
    EXPECT_EQ(none.port_driver().find_calls()[0].result, ULONG(SP_RETURN_NOT_FOUND));
    EXPECT_FALSE(none.port_driver().find_calls()[0].again);
    EXPECT_TRUE(none.errors().empty()) << none.errors().summary();
}

TEST(Discovery, NoAdapterLeavesTheTableUntouchedAndEntryReturnsThePortDriversStatus)
{
    sim::Machine m(Machine(true, true, {}));
    uint32_t status = m.boot(hba::linked_driver());
    EXPECT_NE(status, 0u);
    EXPECT_EQ(status, m.port_driver().initialize_status());
    for (ULONG base : DriverGlobals.AdapterIoBase)
        EXPECT_EQ(base, 0xFFFFFFFFu);
    EXPECT_TRUE(m.adapters().empty());
    EXPECT_TRUE(m.errors().empty()) << m.errors().summary();
}
}  // namespace
}  // namespace hbatest
