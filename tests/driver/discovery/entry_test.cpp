// The entry point: the registration the port driver is given before the
// adapter scan, and the adapter-state routine it may call around it.
#include "support/driver_fixture.h"
#include "linked_driver.h"

namespace hbatest {
namespace {

TEST(Entry, RegistersTheDriverAsAnIsaMiniport)
{
    sim::Machine m(Machine(true, false, {AdapterAt(0, 3, 0xE800)}));
    m.boot(hba::linked_driver());
    const HW_INITIALIZATION_DATA& r = m.port_driver().registration();
    EXPECT_EQ(r.HwInitializationDataSize, sizeof(HW_INITIALIZATION_DATA));
    EXPECT_EQ(r.AdapterInterfaceType, Isa);
    EXPECT_EQ(r.HwInitialize, &HwInitialize);
    EXPECT_EQ(r.HwStartIo, &HwStartIo);
    EXPECT_EQ(r.HwInterrupt, &HwInterrupt);
    EXPECT_EQ(r.HwFindAdapter, &HwFindAdapter);
    EXPECT_EQ(r.HwResetBus, &HwResetBus);
    EXPECT_EQ(r.HwDmaStarted, nullptr);
    EXPECT_EQ(r.HwAdapterState, &HwAdapterState);
    EXPECT_EQ(r.DeviceExtensionSize, sizeof(AdapterExtension));
    EXPECT_EQ(r.SpecificLuExtensionSize, sizeof(LunRecord));
    EXPECT_EQ(r.SrbExtensionSize, 0u);
    EXPECT_EQ(r.NumberOfAccessRanges, 1u);
    EXPECT_TRUE(r.MapBuffers);  // INQUIRY data is read in the interrupt routine
    EXPECT_TRUE(r.NeedPhysicalAddresses);
    EXPECT_TRUE(r.TaggedQueuing);
    EXPECT_FALSE(r.AutoRequestSense);
    EXPECT_FALSE(r.MultipleRequestPerLu);
    EXPECT_FALSE(r.ReceiveEvent);
    EXPECT_EQ(r.VendorIdLength, 0);
    EXPECT_EQ(r.VendorId, nullptr);
    EXPECT_EQ(r.DeviceIdLength, 0);
    EXPECT_EQ(r.DeviceId, nullptr);
    EXPECT_EQ(DriverGlobals.ConfigPortPhys, 0xCF8u);
}

TEST(Entry, AdapterStateAnswersTrueAndTouchesNothing)
{
    sim::Machine m(Machine(true, false, {AdapterAt(0, 3, 0xE800)}));
    m.boot(hba::linked_driver());
    m.ports().record(true);
    for (BOOLEAN save : {TRUE, FALSE})
        EXPECT_TRUE(HwAdapterState(internals::Extension(m, 0), nullptr, save));
    EXPECT_TRUE(m.ports().recorded().empty());
}

}  // namespace
}  // namespace hbatest
