// The inside of the emulated processor (emulated_driver.h): its address
// space, the port driver's stubs and the state of one booted machine's
// processor. Shared by emulated_driver.cpp (the driver and its loading),
// emulated_session.cpp (the processor, its memory and calls into the image),
// emulated_records.cpp (the records and buffers handed over) and
// emulated_services.cpp (the routine slots and the port driver's services).
#pragma once

#include <unicorn/unicorn.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "loader/emulated_driver.h"
#include "pc/machine.h"

namespace sim::loader::emulation {

constexpr uint32_t kPage = LoadedImage::kPageSize;

// The port driver's page of service stubs, and the return sentinel in it.
constexpr uint32_t kStubPage = 0xFFFE0000;
constexpr uint32_t kStubSize = 16;
constexpr uint32_t kSentinel = kStubPage + 0x800;
constexpr uint8_t kFirstServiceVector = 0x40;
constexpr uint8_t kSentinelVector = 0x3F;
// The kernel stack: its top, with the guard page below its bottom.
constexpr uint32_t kStackTop = 0xFFFD0000;
// The kernel's pool, for the records the port driver hands over; each
// allocation with an unmapped page after it.
constexpr uint32_t kPoolFirst = 0xE0000000, kPoolEnd = 0xF0000000;
// Request data buffers, each where the port driver maps it for the driver.
constexpr uint32_t kWindowFirst = 0xC0000000, kWindowEnd = 0xE0000000;
// Addresses that stand for something the driver is not given access to: an
// unmapped buffer, a request packet of the I/O manager's. Never mapped.
constexpr uint32_t kTokenFirst = 0xB0000000, kTokenEnd = 0xC0000000;
// What an interrupt puts on the stack it interrupts before the interrupt
// routine runs: the processor's EFLAGS, CS and EIP, and the kernel's trap frame.
constexpr uint32_t kInterruptFrame = 12 + 0x8C;
// Every byte of an unused stack holds this.
constexpr uint64_t kStackPaint = 0xCDCDCDCDCDCDCDCDull;

constexpr uint32_t kSlotCount = 1024;
constexpr ULONG kStatusUnsuccessful = 0xC0000001;
constexpr uint32_t kSenseArea = 256;

inline uint32_t round_up(uint64_t value, uint32_t to)
{
    return static_cast<uint32_t>((value + to - 1) / to * to);
}

// The port driver's services as the image imports them: the stub's vector
// is kFirstServiceVector + the index, and it pops `argument_bytes`.
enum Service : uint8_t {
    kInitialize, kGetDeviceBase, kFreeDeviceBase, kConvertUlong, kGetPhysicalAddress, kReadUchar, kReadUshort,
    kReadUlong, kWriteUchar, kWriteUlong, kNotification, kCompleteRequest, kStall, kLogError, kServiceCount
};
struct ServiceStub {
    const char* name;
    uint16_t argument_bytes;  // popped by the stub; 0 for cdecl
};
inline constexpr ServiceStub kServices[kServiceCount] = {
    {"ScsiPortInitialize", 16},     {"ScsiPortGetDeviceBase", 28},
    {"ScsiPortFreeDeviceBase", 8},  {"ScsiPortConvertUlongToPhysicalAddress", 4},
    {"ScsiPortGetPhysicalAddress", 16}, {"ScsiPortReadPortUchar", 4},
    {"ScsiPortReadPortUshort", 4},  {"ScsiPortReadPortUlong", 4},
    {"ScsiPortWritePortUchar", 8},  {"ScsiPortWritePortUlong", 8},
    {"ScsiPortNotification", 0},    {"ScsiPortCompleteRequest", 20},
    {"ScsiPortStallExecution", 4},  {"ScsiPortLogError", 28},
};

inline std::optional<uint32_t> resolve_service(std::string_view module, std::string_view name)
{
    const auto upper = [](char c) { return static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c); };
    if (!std::equal(module.begin(), module.end(), std::string_view("SCSIPORT.SYS").begin(),
                    std::string_view("SCSIPORT.SYS").end(), [&](char a, char b) { return upper(a) == b; }))
        return std::nullopt;
    for (uint32_t i = 0; i < kServiceCount; i++)
        if (name == kServices[i].name)
            return kStubPage + i * kStubSize;
    return std::nullopt;
}

// The routines the port driver calls, for the stack figures.
enum Routine : uint8_t {
    kDriverEntry, kFindAdapter, kHwInitialize, kStartIo, kInterrupt, kResetBus, kDmaStarted, kAdapterState, kTimer,
    kRoutineCount
};
inline constexpr const char* kRoutineNames[kRoutineCount] = {
    "DriverEntry", "HwFindAdapter", "HwInitialize",   "HwStartIo", "HwInterrupt",
    "HwResetBus",  "HwDmaStarted",  "HwAdapterState", "HwTimer"};

struct PageBlock {
    void operator()(uint8_t* p) const { ::operator delete[](p, std::align_val_t{kPage}); }
};
using HostPages = std::unique_ptr<uint8_t[], PageBlock>;

inline HostPages host_pages(uint32_t size)
{
    auto* p = static_cast<uint8_t*>(::operator new[](size, std::align_val_t{kPage}));
    std::memset(p, 0, size);
    return HostPages(p);
}

}  // namespace sim::loader::emulation

namespace sim::loader {

using namespace emulation;

struct EmulatedDriver::Stats {
    std::array<StackUse, kRoutineCount> routines{};
    uint32_t deepest = 0;
    Stats()
    {
        for (size_t i = 0; i < kRoutineCount; i++)
            routines[i].routine = kRoutineNames[i];
    }
};

// One booted machine's processor.
struct EmulatedDriver::Session : Cpu::ExternalFlag {
    Session(Machine& machine, std::shared_ptr<const LoadedImage> image, const std::vector<uint32_t>& flag_sites,
            std::shared_ptr<Stats> stats, const Options& options);
    ~Session() override;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Cpu::ExternalFlag: EFLAGS.IF.
    bool read() const override;
    void write(bool enabled) override;

    // --- memory
    struct Region {
        uint32_t first = 0, size = 0;
        uint8_t* host = nullptr;
        const char* what = "";
    };
    bool map(uint32_t first, uint32_t size, uint8_t* host, uint32_t access, const char* what);
    void unmap(uint32_t first);
    // Fresh zeroed pool memory for the driver, `size` bytes ending on a page
    // boundary (so that running off its end faults); its guest address.
    uint32_t allocate(uint32_t size, const char* what, uint32_t access = UC_PROT_READ | UC_PROT_WRITE);
    const Region* region_at(uint32_t address) const;
    uint8_t* host(uint32_t address, uint32_t length) const;
    uint32_t read32(uint32_t address) const;
    void write32(uint32_t address, uint32_t value);
    std::string where(uint32_t address) const;

    // --- calls into the driver
    uint32_t call(Routine routine, uint32_t address, std::initializer_list<uint32_t> arguments);
    uint32_t low_water() const;
    void paint(uint32_t first, uint32_t end);
    void fail(std::string message);

    // --- records
    uint32_t guest_extension(const void* extension, bool fresh);
    void* host_extension(uint32_t guest) const;
    uint32_t hand_over(SCSI_REQUEST_BLOCK* srb);
    // The slot index of the SRB the driver holds at `guest`, or -1.
    int slot_at(uint32_t guest) const;
    SCSI_REQUEST_BLOCK* host_srb(uint32_t guest) const;
    void take_back(uint32_t guest);
    void release(uint32_t guest);
    void release_finished();
    uint32_t guest_data(const void* data);
    uint32_t window(const PhysicalMemory::Buffer& buffer);
    uint32_t token();
    void* host_data(uint32_t guest_srb, uint32_t guest_va) const;

    // --- the port driver's services, run from the stubs
    void service(Service s, uint32_t esp);
    void initialize_service(uint32_t esp);

    Machine& machine;
    std::shared_ptr<const LoadedImage> image_holder;
    const LoadedImage& image;
    std::shared_ptr<Stats> stats;
    Options options;
    uc_engine* uc = nullptr;
    std::vector<HostPages> blocks;
    std::map<uint32_t, Region> regions;
    uint32_t pool_next = kPoolFirst, window_next = kWindowFirst, token_next = kTokenFirst;
    uint32_t stack_bottom = 0;
    uint8_t* stack_host = nullptr;

    // Calls in progress, innermost last: the lowest stack address each has
    // used itself (interrupts it took not counted).
    struct Active {
        Routine routine;
        uint32_t entry_sp;
        uint32_t own_low;
    };
    std::vector<Active> active;
    bool dead = false;
    bool flag_before_write = false;

    // What DriverEntry and ScsiPortInitialize were given.
    void* host_argument[2] = {nullptr, nullptr};
    uint32_t guest_argument[2] = {0, 0};
    HW_INITIALIZATION_DATA registration{};
    std::array<uint32_t, kRoutineCount> routine_address{};
    std::vector<uint8_t> vendor_id, device_id;
    uint32_t guest_context = 0;
    std::array<uint8_t, 64> context_mirror{};

    std::unordered_map<const void*, uint32_t> extensions;
    std::unordered_map<uint32_t, const void*> extension_hosts;
    uint32_t config_page = 0;
    // The driver-parameter string HwFindAdapter gets, in the pool, and its size there.
    uint32_t argument_string = 0, argument_size = 0;
    // Per adapter extension, the driver's routine its last RequestTimerCall named.
    std::unordered_map<const void*, uint32_t> timer_routine;

    struct Slot {
        SCSI_REQUEST_BLOCK* srb = nullptr;
        uint32_t guest_data = 0;
        const uint8_t* host_data = nullptr;
        uint32_t sense_length = 0;
    };
    uint32_t slots_first = 0, slot_stride = 0;
    std::vector<Slot> slots;
    std::deque<uint32_t> free_slots;
    std::unordered_map<const SCSI_REQUEST_BLOCK*, uint32_t> slot_of;
    std::unordered_map<uint32_t, uint32_t> windows;  // buffer id -> guest address of its first page

    uc_hook hooks[5] = {};
    std::vector<uc_hook> flag_hooks;
};

namespace emulation {

// The host-side routine slot that runs DriverEntry, for the session being loaded.
ULONG DriverEntryThunk(PVOID argument1, PVOID argument2);
// The session whose DriverEntry or ScsiPortInitialize is running (null when none).
void set_loading(EmulatedDriver::Session* session);
// Forgets everything that leads to `session`, which is going away.
void forget(EmulatedDriver::Session* session);

}  // namespace emulation

}  // namespace sim::loader
