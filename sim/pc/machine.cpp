#include "pc/machine.h"

#include <cstring>
#include <stdexcept>

#include <fmt/format.h>

#include "pc/boundary.h"

namespace sim {

AdapterSettings all_features_settings()
{
    AdapterSettings s;
    for (TargetSettings& t : s.targets)
        t = TargetSettings{kTargetParity | kTargetSync | kTargetDisconnect | kTargetTagged, 0};
    return s;
}

MachineConfig default_machine_config()
{
    MachineConfig c;
    AdapterConfig a;
    a.settings = all_features_settings();
    c.adapters.push_back(a);
    return c;
}

void Machine::validate(const MachineConfig& config)
{
    if (config.adapters.size() > kMaxMachineAdapters)
        throw std::invalid_argument(
            fmt::format("{} adapters: a machine holds at most {}", config.adapters.size(), kMaxMachineAdapters));
    struct Range {
        uint32_t first, count;
        std::string what;
    };
    std::vector<Range> taken = {{PciBus::kAddressPort, 8, "the PCI configuration ports"}};
    if (config.mechanism2)
        taken.push_back({PciBus::kMech2First, PciBus::kMech2Count, "mechanism #2's configuration ports"});
    auto take = [&taken](Range r) {
        for (const Range& t : taken)
            if (r.first < t.first + t.count && t.first < r.first + r.count)
                throw std::invalid_argument(fmt::format("{} at {:#x} overlaps {}", r.what, r.first, t.what));
        taken.push_back(std::move(r));
    };
    for (const AdapterConfig& a : config.adapters) {
        if (a.device > 31)
            throw std::invalid_argument(fmt::format("PCI device {} (0-31)", a.device));
        if (a.io_base & 0x3 || a.io_base + PortDriver::kChipWindowLength > 0x10000)
            throw std::invalid_argument(fmt::format("I/O base {:#x} cannot hold the chip's window", a.io_base));
        take({a.io_base, PortDriver::kChipWindowLength, "a chip window"});
    }
    for (uint16_t base : config.serial_ports) {
        if (base & 0x7 || base + SerialPort::kPortCount > 0x10000)
            throw std::invalid_argument(fmt::format("serial port base {:#x} (eight ports, aligned)", base));
        take({base, SerialPort::kPortCount, "a serial port"});
    }
}

Machine::Machine(MachineConfig config)
    : config_((validate(config), std::move(config))),
      rng_(config_.seed),
      errors_(clock_),
      ports_(clock_),
      cpu_(errors_),
      memory_(errors_, rng_),
      pci_(config_.mechanism1, config_.mechanism2),
      system_port_(clock_, config_.port61_present, config_.port61_read_cost)
{
    ports_.set_access_cost(config_.port_access_cost);
    pci_.attach(ports_);
    for (size_t i = 0; i < config_.adapters.size(); i++)
        build_adapter(i);
    for (uint16_t base : config_.serial_ports) {
        auto& port = *serial_ports_.emplace_back(std::make_unique<SerialPort>(base));
        port.receive(0x5A);
        ports_.claim(base, SerialPort::kPortCount, &port);
    }
    PortDriver::Options options;
    options.wanted_base = config_.wanted_base;
    options.interrupt_entry_cost = config_.interrupt_entry_cost;
    options.interrupts_inside_reset_wait = config_.interrupts_inside_reset_wait;
    options.unmappable = config_.unmappable;
    options.lenient = config_.port_lenient;
    options.mechanism2_ports = config_.mechanism2;
    options.argument_string = config_.argument_string;
    port_driver_ = std::make_unique<PortDriver>(*this, clock_, errors_, ports_, cpu_, interrupts_, memory_, options);
}

Machine::~Machine()
{
    forget_current(this);
    for (auto& chip : chips_)
        if (chip)
            ports_.release(chip.get());
    for (auto& port : serial_ports_)
        ports_.release(port.get());
}

void Machine::build_adapter(size_t index)
{
    const AdapterConfig& a = config_.adapters[index];
    EepromWords words = a.eeprom_words ? *a.eeprom_words : build_eeprom_words(a.settings);
    if (a.damaged_eeprom)
        words = damage_eeprom_words(words);
    eeproms_.push_back(std::make_unique<Eeprom>(errors_, words));
    pci_.add(std::make_unique<AdapterFunction>(a.bus, a.device, a.io_base, a.irq, *eeproms_.back()));
    chips_.push_back(create_chip(index, interrupts_.connect(a.irq)));
    if (chips_.back())
        ports_.claim(a.io_base, PortDriver::kChipWindowLength, chips_.back().get());
}

std::unique_ptr<Chip> Machine::create_chip(size_t index, InterruptLine& line)
{
    const AdapterConfig& a = config_.adapters[index];
    auto& bus = *buses_.emplace_back(std::make_unique<ScsiBus>(clock_, errors_, rng_, a.bus_timing));
    for (const DeviceConfig& d : a.devices) {
        if (d.kind == DeviceConfig::Kind::Optical)
            bus.attach(std::make_unique<OpticalDrive>(d.id, d.options));
        else
            bus.attach(std::make_unique<Disk>(d.id, d.options));
    }
    auto chip = std::make_unique<Chip>(clock_, errors_, memory_, line, bus, a.chip_timing);
    chip->set_io_base(a.io_base);
    chip->set_audit(audits_.emplace_back(std::make_unique<MachineAudit>(*this, index)).get());
    return chip;
}

uint32_t Machine::boot_with(EntryPoint entry)
{
    EntryMiniport miniport(entry);
    return boot(miniport);
}

uint32_t Machine::boot(Miniport& miniport)
{
    if (booted_) {
        errors_.report("machine", "the driver was loaded twice into one machine");
        return PortDriver::kStatusNoSuchDevice;
    }
    booted_ = true;
    make_current(this);
    const EntryPoint entry = miniport.load();
    // Stand-ins for the driver object and registry path; the driver only passes them on.
    static char driver_object, registry_path;
    port_driver_->set_entry_arguments(&driver_object, &registry_path);
    const uint32_t status = entry(&driver_object, &registry_path);
    collect_found_adapters();
    return status;
}

void Machine::collect_found_adapters()
{
    found_.clear();
    for (size_t i = 0; i < port_driver_->adapter_count(); i++) {
        const PortDriver::Adapter& a = port_driver_->adapter(i);
        const auto base = static_cast<uint64_t>((*a.config.AccessRanges)[0].RangeStart.QuadPart);
        int index = -1;
        for (size_t k = 0; k < config_.adapters.size(); k++)
            if (config_.adapters[k].io_base == base)
                index = static_cast<int>(k);
        found_.push_back(FoundAdapter{a.extension, a.config, index});
    }
}

}  // namespace sim
