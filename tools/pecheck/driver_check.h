// The rules a kernel-mode driver image of this project must keep: PE32 for
// i386, native subsystem, an entry point in code, base relocations, a valid
// header checksum, and imports from SCSIPORT.SYS only, each one a service the
// driver's boundary header declares.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace pecheck {

// The port-driver services a boundary header declares (every ScsiPort*
// routine name followed by its argument list).
std::vector<std::string> ServicesDeclaredIn(std::string_view header);

// Every rule the image breaks, in words; empty when it keeps them all.
std::vector<std::string> CheckDriverImage(std::span<const uint8_t> image,
                                          const std::vector<std::string>& services);

// Writes the correct header checksum into the image. False, with `error`
// set, when the bytes are not a PE file.
bool SetChecksum(std::vector<uint8_t>& image, std::string& error);

}  // namespace pecheck
