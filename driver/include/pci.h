// PCI configuration access and the adapter's PCI function: its identity and
// the registers the driver reads or drives there.
#ifndef DRIVER_INCLUDE_PCI_H
#define DRIVER_INCLUDE_PCI_H

// The configuration mechanisms' ports start here.
#define PCI_CONFIG_PORT_PHYS 0xCF8
#define PCI_CONFIG_PORT_LENGTH 8
#define PCI_MECHANISM_1 1
#define PCI_MECHANISM_2 2

// The adapter's chip: device 0x2020, vendor 0x1022.
#define ADAPTER_PCI_ID 0x20201022

// Configuration registers of the adapter's function.
#define PCI_REG_ID 0x00
#define PCI_REG_BAR0 0x10
#define PCI_REG_INTERRUPT_LINE 0x3C
#define PCI_REG_EEPROM_LINES 0x80
#define PCI_REG_EEPROM_SELECT 0xC0

#endif  // DRIVER_INCLUDE_PCI_H
