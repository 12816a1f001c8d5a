#include "pc/pci_bus.h"

#include <stdexcept>

#include <fmt/format.h>

namespace sim {

uint32_t all_ones(Width width)
{
    return width == Width::Byte ? 0xFFu : width == Width::Word ? 0xFFFFu : 0xFFFFFFFFu;
}

uint32_t PciFunction::read(uint8_t reg, Width width)
{
    uint32_t value = 0;
    for (unsigned i = 0; i < static_cast<unsigned>(width) && reg + i < 256; i++)
        value |= static_cast<uint32_t>(read_byte(static_cast<uint8_t>(reg + i))) << (8 * i);
    return value;
}

void PciFunction::write(uint8_t reg, Width width, uint32_t value)
{
    for (unsigned i = 0; i < static_cast<unsigned>(width) && reg + i < 256; i++)
        write_byte(static_cast<uint8_t>(reg + i), static_cast<uint8_t>(value >> (8 * i)));
}

void PciFunction::set_dword(uint8_t reg, uint32_t value)
{
    for (unsigned i = 0; i < 4; i++)
        space_[reg + i] = static_cast<uint8_t>(value >> (8 * i));
}

AdapterFunction::AdapterFunction(uint8_t bus, uint8_t device, uint16_t io_base, uint8_t irq, Eeprom& eeprom)
    : PciFunction(bus, device), eeprom_(eeprom)
{
    set_dword(0x00, kIdentity);
    set_dword(0x08, 0x01000000);  // class: mass storage, SCSI
    set_dword(0x10, io_base | 1u);
    set_byte(0x3C, irq);
    set_byte(0x3D, 1);  // INTA#
}

uint8_t AdapterFunction::read_byte(uint8_t reg)
{
    if (reg != 0x00)
        return PciFunction::read_byte(reg);
    return eeprom_.sample_output() ? kDataOutHigh : kDataOutLow;
}

void AdapterFunction::write_byte(uint8_t reg, uint8_t value)
{
    if (reg == 0xC0) {
        last_lines_zero_ = false;
        eeprom_.select();
        return;
    }
    if (reg != 0x80)
        return;
    const bool zero = value == 0;
    if (zero && last_lines_zero_ && eeprom_.selected()) {
        eeprom_.deselect();
        last_lines_zero_ = false;
        return;
    }
    last_lines_zero_ = zero;
    eeprom_.drive(value & 0x80, value & 0x40);
}

void PciBus::attach(PortSpace& ports)
{
    ports.claim(kAddressPort, 8, this);
    // Without mechanism #2 the range is ordinary I/O space, for other devices.
    if (mechanism2_)
        ports.claim(kMech2First, kMech2Count, this);
}

PciFunction& PciBus::add(std::unique_ptr<PciFunction> function)
{
    if (find(function->bus(), function->device(), 0))
        throw std::invalid_argument(
            fmt::format("two PCI functions at bus {} device {}", function->bus(), function->device()));
    functions_.push_back(std::move(function));
    return *functions_.back();
}

PciFunction* PciBus::find(uint8_t bus, uint8_t device, uint8_t function) const
{
    if (function != 0)
        return nullptr;
    for (const auto& f : functions_)
        if (f->bus() == bus && f->device() == device)
            return f.get();
    return nullptr;
}

uint32_t PciBus::config_read(uint8_t bus, uint8_t device, uint8_t function, uint8_t reg, Width width) const
{
    PciFunction* f = find(bus, device, function);
    return f ? f->read(reg, width) : all_ones(width);
}

void PciBus::config_write(uint8_t bus, uint8_t device, uint8_t function, uint8_t reg, Width width,
                          uint32_t value)
{
    if (PciFunction* f = find(bus, device, function))
        f->write(reg, width, value);
}

bool PciBus::mech1_data(uint16_t port) const
{
    return mechanism1_ && port >= kDataPort && port < kDataPort + 4 && (mech1_address_ & 0x80000000u);
}

bool PciBus::mech2_data(uint16_t port) const
{
    return mechanism2_ && port >= kMech2First && (mech2_cse_ & 0xF0);
}

uint32_t PciBus::read_port(uint16_t port, Width width)
{
    if (port == kAddressPort && width == Width::Dword && mechanism1_)
        return mech1_address_;
    if (port == kAddressPort && width == Width::Byte && mechanism2_)
        return mech2_cse_;
    if (port == kForwardPort && width == Width::Byte && mechanism2_)
        return mech2_forward_;
    if (mech1_data(port))
        return mech1_read(port, width);
    if (mech2_data(port))
        return mech2_read(port, width);
    return all_ones(width);
}

void PciBus::write_port(uint16_t port, Width width, uint32_t value)
{
    // Only a dword access at 0xCF8 is the mechanism #1 address; a byte there is
    // mechanism #2's CSE register.
    if (port == kAddressPort && width == Width::Dword && mechanism1_) {
        mech1_address_ = value;
        return;
    }
    if (port == kAddressPort && width == Width::Byte && mechanism2_) {
        mech2_cse_ = static_cast<uint8_t>(value);
        return;
    }
    if (port == kForwardPort && width == Width::Byte && mechanism2_) {
        mech2_forward_ = static_cast<uint8_t>(value);
        return;
    }
    if (mech1_data(port))
        mech1_write(port, width, value);
    else if (mech2_data(port))
        mech2_write(port, width, value);
}

// Mechanism #1 addresses a dword; a narrower access at 0xCFC + k reaches byte k of it.
uint32_t PciBus::mech1_read(uint16_t port, Width width) const
{
    const uint32_t a = mech1_address_;
    const uint8_t reg = static_cast<uint8_t>((a & 0xFC) + (port - kDataPort));
    return config_read(static_cast<uint8_t>(a >> 16), (a >> 11) & 0x1F, (a >> 8) & 7, reg, width);
}

void PciBus::mech1_write(uint16_t port, Width width, uint32_t value)
{
    const uint32_t a = mech1_address_;
    const uint8_t reg = static_cast<uint8_t>((a & 0xFC) + (port - kDataPort));
    config_write(static_cast<uint8_t>(a >> 16), (a >> 11) & 0x1F, (a >> 8) & 7, reg, width, value);
}

uint32_t PciBus::mech2_read(uint16_t port, Width width) const
{
    return config_read(mech2_forward_, (port >> 8) & 0xF, (mech2_cse_ >> 1) & 7, port & 0xFF, width);
}

void PciBus::mech2_write(uint16_t port, Width width, uint32_t value)
{
    config_write(mech2_forward_, (port >> 8) & 0xF, (mech2_cse_ >> 1) & 7, port & 0xFF, width, value);
}

}  // namespace sim
