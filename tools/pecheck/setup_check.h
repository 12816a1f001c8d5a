// The driver disk's setup files: txtsetup.oem (text-mode setup, and the
// later setups that match the adapter's PCI IDs) and oemsetup.inf (the SCSI
// adapters control panel of an installed system). Both are parsed and
// checked against each other and the disk: every section a line names
// exists, every file named is on the disk, and the service is a boot-start
// SCSI miniport (kernel driver, start 0, error control normal, group
// "SCSI miniport").
#pragma once

#include <map>
#include <string>
#include <vector>

namespace pecheck {

// The files in the disk's root directory: name as written -> contents.
using DiskFiles = std::map<std::string, std::string>;

// Every problem found, in words; empty when the disk is sound.
std::vector<std::string> CheckSetupFiles(const DiskFiles& disk);

}  // namespace pecheck
