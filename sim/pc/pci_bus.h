// PCI configuration space as the PC exposes it: configuration mechanism #1
// (address at 0xCF8, data at 0xCFC-0xCFF) and mechanism #2 (CSE byte at 0xCF8,
// forward byte at 0xCFA, data at 0xC000 + device * 256 + register), each
// present or absent per machine. An absent mechanism's ports float.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "pc/eeprom.h"
#include "port_space.h"

namespace sim {

// One function's 256-byte configuration space. Plain registers read back
// what was set up and ignore writes; devices override what they decode.
class PciFunction {
public:
    PciFunction(uint8_t bus, uint8_t device) : bus_(bus), device_(device) {}
    virtual ~PciFunction() = default;

    uint8_t bus() const { return bus_; }
    uint8_t device() const { return device_; }

    uint32_t read(uint8_t reg, Width width);
    void write(uint8_t reg, Width width, uint32_t value);

    void set_byte(uint8_t reg, uint8_t value) { space_[reg] = value; }
    void set_dword(uint8_t reg, uint32_t value);

protected:
    virtual uint8_t read_byte(uint8_t reg) { return space_[reg]; }
    virtual void write_byte(uint8_t, uint8_t) {}

private:
    uint8_t bus_, device_;
    std::array<uint8_t, 256> space_{};
};

// The adapter's function: identity, BAR 0, interrupt line, and the settings
// EEPROM's serial lines. Register 0x80 drives clock (0x80) and data in
// (0x40); a write to 0xC0 selects the EEPROM; two writes of 0 to 0x80 in a
// row deselect it. Register 0x00's low byte reads 0x22 while the EEPROM's data
// output is 1 and 0x20 while it is 0.
class AdapterFunction : public PciFunction {
public:
    static constexpr uint32_t kIdentity = 0x20201022;
    static constexpr uint8_t kDataOutHigh = 0x22;
    static constexpr uint8_t kDataOutLow = 0x20;

    AdapterFunction(uint8_t bus, uint8_t device, uint16_t io_base, uint8_t irq, Eeprom& eeprom);

protected:
    uint8_t read_byte(uint8_t reg) override;
    void write_byte(uint8_t reg, uint8_t value) override;

private:
    Eeprom& eeprom_;
    bool last_lines_zero_ = false;
};

class PciBus : public PortDevice {
public:
    static constexpr uint16_t kAddressPort = 0xCF8;
    static constexpr uint16_t kForwardPort = 0xCFA;
    static constexpr uint16_t kDataPort = 0xCFC;
    static constexpr uint16_t kMech2First = 0xC000;
    static constexpr uint32_t kMech2Count = 0x1000;

    PciBus(bool mechanism1, bool mechanism2) : mechanism1_(mechanism1), mechanism2_(mechanism2) {}

    // Claims 0xCF8-0xCFF, and 0xC000-0xCFFF where mechanism #2 is present.
    void attach(PortSpace& ports);
    PciFunction& add(std::unique_ptr<PciFunction> function);
    // Function 0 of bus/device, or null: only function 0 exists on this machine.
    PciFunction* find(uint8_t bus, uint8_t device, uint8_t function) const;

    // Configuration cycles as a mechanism issues them; a missing function reads all ones.
    uint32_t config_read(uint8_t bus, uint8_t device, uint8_t function, uint8_t reg, Width width) const;
    void config_write(uint8_t bus, uint8_t device, uint8_t function, uint8_t reg, Width width, uint32_t value);

    uint32_t read_port(uint16_t port, Width width) override;
    void write_port(uint16_t port, Width width, uint32_t value) override;

private:
    bool mech1_data(uint16_t port) const;
    bool mech2_data(uint16_t port) const;
    uint32_t mech1_read(uint16_t port, Width width) const;
    void mech1_write(uint16_t port, Width width, uint32_t value);
    uint32_t mech2_read(uint16_t port, Width width) const;
    void mech2_write(uint16_t port, Width width, uint32_t value);

    bool mechanism1_, mechanism2_;
    uint32_t mech1_address_ = 0;
    uint8_t mech2_cse_ = 0;
    uint8_t mech2_forward_ = 0;
    std::vector<std::unique_ptr<PciFunction>> functions_;
};

uint32_t all_ones(Width width);

}  // namespace sim
