// A fixed run for callgrind: boots one disk (tagged or not), then does
// `count` 4 KiB reads one at a time. Run under
//   valgrind --tool=callgrind --toggle-collect=HwStartIo --toggle-collect=HwInterrupt ...
// the collected cost is what the driver's request routines execute (with the
// simulator behind each port access, which bench/run takes out by source file).
//
//   driver_cost untagged|tagged COUNT
#include <cstdio>
#include <cstdlib>
#include <string>

#include "rig.h"

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: driver_cost untagged|tagged COUNT\n");
        return 2;
    }
    const bool tagged = std::string(argv[1]) == "tagged";
    const auto count = std::strtoull(argv[2], nullptr, 10);
    bench::Rig rig(1, tagged);
    const auto r = rig.run(bench::reads(4096, true, 1, count, false));
    std::printf("requests %llu interrupts %.3f port_accesses %.3f clean %d\n",
                static_cast<unsigned long long>(r.total.requests), r.adapters.at(0).interrupts_per_request,
                r.port_accesses_per_request, r.clean() && rig.machine().errors().empty());
    return r.clean() ? 0 : 1;
}
