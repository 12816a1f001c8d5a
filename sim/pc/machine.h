// The simulated PC: clock, RNG, port space, PCI with the adapters' functions
// and settings EEPROMs, system control port 0x61, physical memory, the CPU's
// interrupt flag and lines, and the port driver that runs the miniport.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "adapter/controller_chip.h"
#include "bus/block_device.h"
#include "bus/scsi_bus.h"
#include "clock.h"
#include "miniport.h"
#include "model_error.h"
#include "pc/cpu.h"
#include "pc/eeprom.h"
#include "pc/interrupts.h"
#include "pc/loadable_miniport.h"
#include "pc/pci_bus.h"
#include "pc/physical_memory.h"
#include "pc/port_driver.h"
#include "pc/serial_port.h"
#include "pc/system_port.h"
#include "pc/transfer_audit.h"
#include "port_space.h"

namespace sim {

// A device on an adapter's SCSI bus.
struct DeviceConfig {
    enum class Kind : uint8_t { Disk, Optical };
    uint8_t id = 0;
    Kind kind = Kind::Disk;
    BlockDeviceOptions options{};
};

struct AdapterConfig {
    uint8_t bus = 0, device = 3;
    uint16_t io_base = 0xE800;
    uint8_t irq = 11;
    AdapterSettings settings{};
    bool damaged_eeprom = false;                            // one bit flipped after the checksum
    std::optional<std::array<uint16_t, 64>> eeprom_words;   // raw contents instead of settings
    std::vector<DeviceConfig> devices;                      // on this adapter's SCSI bus
    ChipTiming chip_timing{};
    BusTiming bus_timing{};
};

struct MachineConfig {
    bool mechanism1 = true;
    bool mechanism2 = false;
    bool port61_present = true;
    std::vector<AdapterConfig> adapters;
    std::optional<uint32_t> wanted_base;  // the port driver hands in an access range
    uint64_t seed = 1;
    Nanoseconds port_access_cost = 500, port61_read_cost = 1000, interrupt_entry_cost = 2000;
    // Lenient: the adapter's interrupt comes in inside HwResetBus wherever its
    // reset wait turns the processor's flag on (by default it is held until
    // HwResetBus returns, as at the interrupt's level).
    bool interrupts_inside_reset_wait = false;
    // The port driver's other rules that a test may relax (all strict by default).
    PortDriver::Lenient port_lenient{};
    std::vector<uint32_t> unmappable;  // I/O addresses the port driver refuses to map
    // Serial receivers at these I/O bases (eight ports each), each holding a
    // received byte that a read of its data port takes.
    std::vector<uint16_t> serial_ports;
    // The driver-parameter string the port driver passes HwFindAdapter, when
    // one is configured for the driver.
    std::optional<std::string> argument_string;
};

constexpr size_t kMaxMachineAdapters = 6;

// One adapter at bus 0 device 3, mechanism #1 only, every target with parity,
// sync, disconnect and tagged queuing at speed index 0, initiator ID 7.
MachineConfig default_machine_config();
AdapterSettings all_features_settings();

class Machine {
public:
    using EntryPoint = Miniport::EntryPoint;

    // Throws std::invalid_argument for a configuration no PC could have.
    explicit Machine(MachineConfig config);
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // Loads the miniport, calls its DriverEntry and returns the status.
    uint32_t boot(Miniport& miniport);
    // A stand-in miniport given by its entry point, for testing the port driver itself.
    uint32_t boot_with(EntryPoint entry);

    Clock& clock() { return clock_; }
    const Clock& clock() const { return clock_; }
    const PortSpace& ports() const { return ports_; }
    const ModelErrors& errors() const { return errors_; }
    const PortDriver& port_driver() const { return *port_driver_; }
    const PhysicalMemory& memory() const { return memory_; }
    Rng& rng() { return rng_; }
    PortSpace& ports() { return ports_; }
    ModelErrors& errors() { return errors_; }
    PortDriver& port_driver() { return *port_driver_; }
    PhysicalMemory& memory() { return memory_; }
    Cpu& cpu() { return cpu_; }
    InterruptController& interrupts() { return interrupts_; }
    PciBus& pci() { return pci_; }
    SystemControlPort& system_port() { return system_port_; }
    Eeprom& eeprom(size_t config_index) { return *eeproms_.at(config_index); }
    // The chip of adapter `config_index`, and its SCSI bus.
    Chip& chip(size_t config_index) { return *chips_.at(config_index); }
    ScsiBus& bus(size_t config_index) { return *buses_.at(config_index); }
    // The transfer audit of adapter `config_index`'s chip.
    const MachineAudit& audit(size_t config_index) const { return *audits_.at(config_index); }
    MachineAudit& audit(size_t config_index) { return *audits_.at(config_index); }
    const ScsiBus& bus(size_t config_index) const { return *buses_.at(config_index); }
    SerialPort& serial_port(size_t index) { return *serial_ports_.at(index); }

    struct FoundAdapter {
        void* extension;                        // the driver's extension for it (opaque)
        PORT_CONFIGURATION_INFORMATION config;  // as HwFindAdapter left it
        int config_index;                       // which MachineConfig::adapters entry (by I/O base), -1 if none
    };
    const std::vector<FoundAdapter>& adapters() const { return found_; }
    // The MachineConfig::adapters entry of the port driver's adapter `index`, -1 if none.
    int config_index_of(size_t index) const { return index < found_.size() ? found_[index].config_index : -1; }
    const MachineConfig& config() const { return config_; }
    // Keeps `thing` as long as the machine lives, and lets it go before any
    // part of the machine goes: what a loaded miniport leaves on the machine
    // (an emulated processor, say) may still reach the machine as it ends.
    void keep(std::shared_ptr<void> thing) { kept_.push_back(std::move(thing)); }

private:
    static void validate(const MachineConfig& config);
    void build_adapter(size_t index);
    // The controller chip of adapter `index`: a PortDevice answering its
    // 0x60-port window, raising `line`, doing DMA through memory(). The chip
    // joins the machine here; until then the window is unclaimed (writes are
    // taken, reads float).
    std::unique_ptr<Chip> create_chip(size_t index, InterruptLine& line);
    void collect_found_adapters();

    MachineConfig config_;
    Clock clock_;
    Rng rng_;
    ModelErrors errors_;
    PortSpace ports_;
    Cpu cpu_;
    InterruptController interrupts_;
    PhysicalMemory memory_;
    PciBus pci_;
    SystemControlPort system_port_;
    std::vector<std::unique_ptr<Eeprom>> eeproms_;
    std::vector<std::unique_ptr<ScsiBus>> buses_;  // outlive their chips
    std::vector<std::unique_ptr<MachineAudit>> audits_;  // outlive their chips
    std::vector<std::unique_ptr<Chip>> chips_;
    std::vector<std::unique_ptr<SerialPort>> serial_ports_;
    std::unique_ptr<PortDriver> port_driver_;
    std::vector<FoundAdapter> found_;
    bool booted_ = false;
    std::vector<std::shared_ptr<void>> kept_;  // last: gone first
};

}  // namespace sim
