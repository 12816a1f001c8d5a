// A stand-in miniport for testing the port-driver model on its own: each
// routine slot runs whatever the test put in the hooks.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "adapter.h"
#include "pc/machine.h"

namespace hbatest {

struct FakeMiniport {
    std::vector<std::string> calls;
    std::function<ULONG(PVOID, PPORT_CONFIGURATION_INFORMATION, BOOLEAN*)> find;
    std::function<BOOLEAN(PVOID, PSCSI_REQUEST_BLOCK)> start_io;
    std::function<BOOLEAN(PVOID)> initialize;
    std::function<BOOLEAN(PVOID)> interrupt;
    std::function<BOOLEAN(PVOID, ULONG)> reset_bus;
    std::function<void(PVOID)> timer;  // the routine RequestTimerCall names (FakeTimer)
    std::function<void(HW_INITIALIZATION_DATA&)> edit_registration;
    // The ArgumentString each HwFindAdapter call was given (none: null).
    std::vector<std::optional<std::string>> argument_strings;
    int adapters_to_find = 1;
    ULONG extension_size = 64;
    // How the default find reports each adapter's interrupt (IRQ 11); the
    // port's own default for an Isa interface would be Latched.
    KINTERRUPT_MODE interrupt_mode = LevelSensitive;
};

inline FakeMiniport* g_fake = nullptr;

extern "C" inline ULONG MINIPORT_API FakeFind(PVOID ext, PVOID, PVOID, PCHAR argument,
                                              PPORT_CONFIGURATION_INFORMATION ci, BOOLEAN* again)
{
    g_fake->calls.push_back("find");
    g_fake->argument_strings.push_back(argument ? std::optional<std::string>(argument) : std::nullopt);
    if (g_fake->find)
        return g_fake->find(ext, ci, again);
    if (g_fake->adapters_to_find == 0) {
        *again = FALSE;
        return SP_RETURN_NOT_FOUND;
    }
    g_fake->adapters_to_find--;
    ci->BusInterruptLevel = 11;
    ci->InterruptMode = g_fake->interrupt_mode;
    *again = TRUE;
    return SP_RETURN_FOUND;
}
extern "C" inline BOOLEAN MINIPORT_API FakeInitialize(PVOID ext)
{
    g_fake->calls.push_back("initialize");
    return g_fake->initialize ? g_fake->initialize(ext) : TRUE;
}
extern "C" inline BOOLEAN MINIPORT_API FakeStartIo(PVOID ext, PSCSI_REQUEST_BLOCK srb)
{
    g_fake->calls.push_back("startio");
    if (g_fake->start_io)
        return g_fake->start_io(ext, srb);
    ScsiPortNotification(NextRequest, ext);
    return TRUE;
}
extern "C" inline BOOLEAN MINIPORT_API FakeInterrupt(PVOID ext)
{
    g_fake->calls.push_back("interrupt");
    return g_fake->interrupt ? g_fake->interrupt(ext) : FALSE;
}
extern "C" inline VOID MINIPORT_API FakeTimer(PVOID ext)
{
    g_fake->calls.push_back("timer");
    if (g_fake->timer)
        g_fake->timer(ext);
}
extern "C" inline BOOLEAN MINIPORT_API FakeResetBus(PVOID ext, ULONG path)
{
    g_fake->calls.push_back("resetbus");
    return g_fake->reset_bus ? g_fake->reset_bus(ext, path) : TRUE;
}

extern "C" inline ULONG MINIPORT_API FakeEntry(PVOID a1, PVOID a2)
{
    HW_INITIALIZATION_DATA init{};
    init.HwInitializationDataSize = sizeof init;
    init.AdapterInterfaceType = Isa;
    init.HwInitialize = FakeInitialize;
    init.HwStartIo = FakeStartIo;
    init.HwInterrupt = FakeInterrupt;
    init.HwFindAdapter = FakeFind;
    init.HwResetBus = FakeResetBus;
    init.DeviceExtensionSize = g_fake->extension_size;
    init.NumberOfAccessRanges = 1;
    if (g_fake->edit_registration)
        g_fake->edit_registration(init);
    return ScsiPortInitialize(a1, a2, &init, nullptr);
}

// A machine with no adapters on PCI, booted with the fake miniport.
class FakeMachine : public ::testing::Test {
protected:
    FakeMachine() { g_fake = &fake; }
    ~FakeMachine() override { g_fake = nullptr; }
    sim::Machine& boot(sim::MachineConfig config = {})
    {
        machine = std::make_unique<sim::Machine>(config);
        machine->port_driver().record_completions();  // the tests look at their requests afterwards
        status = machine->boot_with(FakeEntry);
        return *machine;
    }
    bool error_mentions(const std::string& text) const
    {
        return machine->errors().summary().find(text) != std::string::npos;
    }

    FakeMiniport fake;
    std::unique_ptr<sim::Machine> machine;
    uint32_t status = 0;
};

}  // namespace hbatest
