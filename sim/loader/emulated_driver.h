// The kernel image run on an emulated i386 processor inside the simulator:
// one 64-bit process on any host.
//
// The processor (Unicorn) runs in 32-bit protected mode with flat segments.
// Its address space is the driver's kernel address space and nothing more:
// the image's sections with their protections (code is never writable), a
// 12 KiB kernel stack with an unmapped guard page below it, the adapter
// extensions, the SRBs and the port configuration records the port driver
// hands over, and the data buffers of requests, each backed by the very
// bytes the adapter's DMA engine reads and writes. Any other access stops
// the run with a model error naming the address and the instruction.
//
// The image's imports are bound to stubs in a page of the port driver's own
// (each an INT the simulator takes, then the RET the service's calling rule
// needs); a stub runs the simulator's port-driver service with the arguments
// read from the emulated stack, translating the records between the i386
// layout and this host's. The port driver calls the driver's routines
// through host functions that run the processor from the routine to a
// return sentinel; a routine called while another runs (the interrupt
// routine from inside a stall) runs on the stack it interrupted, with the
// processor's registers saved around it. CLI, STI, PUSHFD/POPFD and IN/OUT
// are the processor's own: the interrupt flag is EFLAGS.IF, and port 0x61 is
// the PC's system control port.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "loader/loaded_image.h"
#include "pc/loadable_miniport.h"

namespace sim::loader {

// The deepest stack one routine used over a run, in bytes below the stack
// pointer it was called with, and how often it was called.
struct StackUse {
    const char* routine = "";
    uint32_t deepest = 0;
    uint64_t calls = 0;
};

class EmulatedDriver : public Miniport {
public:
    static constexpr uint32_t kDefaultBase = 0xF8A00000;  // where a kernel puts drivers, not the preferred base
    static constexpr uint32_t kStackSize = 12 * 1024;     // an i386 kernel thread's stack

    struct Options {
        std::optional<uint32_t> base;   // kDefaultBase when not given
        uint32_t stack_size = kStackSize;
    };

    // The image in `file`, checked and laid out; null with `error` (one
    // line) when it is no loadable driver image.
    static std::unique_ptr<EmulatedDriver> open(std::vector<uint8_t> file, const Options& options, std::string& error);
    // The same from a file; `error` names the file.
    static std::unique_ptr<EmulatedDriver> open_file(const std::string& path, const Options& options,
                                                     std::string& error);
    ~EmulatedDriver() override;
    EmulatedDriver(const EmulatedDriver&) = delete;
    EmulatedDriver& operator=(const EmulatedDriver&) = delete;

    // A fresh copy of the image on a fresh processor, for the machine being
    // booted (it keeps them while it lives).
    EntryPoint load() override;

    uint32_t base() const { return image_->base(); }
    const LoadedImage& image() const { return *image_; }
    // Each routine's deepest stack use so far, over every machine this
    // driver booted, in a fixed order (routines never called included).
    std::vector<StackUse> stack_use() const;
    // The deepest the stack ever went below its top, nesting included.
    uint32_t deepest_stack() const;

    struct Session;
    struct Stats;

private:
    EmulatedDriver(std::unique_ptr<LoadedImage> image, std::vector<uint32_t> flag_sites, const Options& options);

    std::shared_ptr<const LoadedImage> image_;
    std::vector<uint32_t> flag_sites_;  // addresses of STI/POPF/IRET and of the instruction after each
    Options options_;
    std::shared_ptr<Stats> stats_;
};

}  // namespace sim::loader
