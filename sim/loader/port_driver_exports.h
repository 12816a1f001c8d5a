// The SCSIPORT.SYS exports an image is bound to on this host: the
// simulator's own implementations of the port-driver services (the extern "C"
// ScsiPort* functions whoever links this library defines), reached through
// small adapters that keep the kernel's calling rules (i386 hosts only).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace sim::loader {

// The address an image's import `module!name` is bound to, or nothing for a
// module or routine this port driver does not export.
std::optional<uint32_t> resolve_port_driver_export(std::string_view module, std::string_view name);

}  // namespace sim::loader
