#include "loader/emulated_driver.h"

#include <unicorn/unicorn.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <new>
#include <unordered_map>

#include <fmt/format.h>

#include "loader/instruction_set.h"
#include "loader/i386_records.h"
#include "pc/boundary.h"
#include "pc/machine.h"

namespace sim::loader {

// ---------------------------------------------------------------- the address space

namespace {

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

uint32_t round_up(uint64_t value, uint32_t to)
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
constexpr ServiceStub kServices[kServiceCount] = {
    {"ScsiPortInitialize", 16},     {"ScsiPortGetDeviceBase", 28},
    {"ScsiPortFreeDeviceBase", 8},  {"ScsiPortConvertUlongToPhysicalAddress", 4},
    {"ScsiPortGetPhysicalAddress", 16}, {"ScsiPortReadPortUchar", 4},
    {"ScsiPortReadPortUshort", 4},  {"ScsiPortReadPortUlong", 4},
    {"ScsiPortWritePortUchar", 8},  {"ScsiPortWritePortUlong", 8},
    {"ScsiPortNotification", 0},    {"ScsiPortCompleteRequest", 20},
    {"ScsiPortStallExecution", 4},  {"ScsiPortLogError", 28},
};

std::optional<uint32_t> resolve_service(std::string_view module, std::string_view name)
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
    kDriverEntry, kFindAdapter, kHwInitialize, kStartIo, kInterrupt, kResetBus, kDmaStarted, kAdapterState,
    kRoutineCount
};
constexpr const char* kRoutineNames[kRoutineCount] = {"DriverEntry", "HwFindAdapter", "HwInitialize", "HwStartIo",
                                                      "HwInterrupt", "HwResetBus",    "HwDmaStarted", "HwAdapterState"};

struct PageBlock {
    void operator()(uint8_t* p) const { ::operator delete[](p, std::align_val_t{kPage}); }
};
using HostPages = std::unique_ptr<uint8_t[], PageBlock>;

HostPages host_pages(uint32_t size)
{
    auto* p = static_cast<uint8_t*>(::operator new[](size, std::align_val_t{kPage}));
    std::memset(p, 0, size);
    return HostPages(p);
}

}  // namespace

struct EmulatedDriver::Stats {
    std::array<StackUse, kRoutineCount> routines{};
    uint32_t deepest = 0;
    Stats()
    {
        for (size_t i = 0; i < kRoutineCount; i++)
            routines[i].routine = kRoutineNames[i];
    }
};

// ---------------------------------------------------------------- one booted machine's processor

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

namespace {

// Which session a host-side routine slot belongs to: by extension, or the one
// being loaded or inside ScsiPortInitialize.
std::unordered_map<const void*, EmulatedDriver::Session*> g_by_extension;
EmulatedDriver::Session* g_loading = nullptr;

EmulatedDriver::Session* session_of(const void* extension)
{
    auto it = g_by_extension.find(extension);
    return it == g_by_extension.end() ? nullptr : it->second;
}

// ---------------------------------------------------------------- host-side routine slots

ULONG DriverEntryThunk(PVOID argument1, PVOID argument2)
{
    EmulatedDriver::Session* s = g_loading;
    if (!s)
        return PortDriver::kStatusNoSuchDevice;
    s->host_argument[0] = argument1;
    s->host_argument[1] = argument2;
    const uint32_t status = s->call(kDriverEntry, s->image.entry(), {s->guest_argument[0], s->guest_argument[1]});
    // A driver stopped on a fault did not load.
    return s->dead ? kStatusUnsuccessful : status;
}

ULONG FindAdapterThunk(PVOID extension, PVOID, PVOID bus_information, PCHAR argument_string,
                       PPORT_CONFIGURATION_INFORMATION config, BOOLEAN* again)
{
    EmulatedDriver::Session* s = g_loading;
    if (!s || s->dead)
        return SP_RETURN_ERROR;
    g_by_extension[extension] = s;
    const uint32_t ext = s->guest_extension(extension, true);
    if (bus_information || argument_string)
        s->machine.errors().report("cpu386", "HwFindAdapter given bus information or an argument string the "
                                             "emulated processor has no copy of");
    uint8_t* page = s->host(s->config_page, kPage);
    std::memset(page, 0, kPage);
    const uint32_t ranges = s->config_page + i386::kConfigRangesOffset;
    const uint32_t again_at = s->config_page + i386::kConfigAgainOffset;
    i386::put_config(page, *config, ranges);
    i386::put_ranges(page + i386::kConfigRangesOffset, *config);
    const uint32_t count = i386::range_count(*config);
    page[i386::kConfigAgainOffset] = again ? *again : 0;
    const uint32_t result = s->call(kFindAdapter, s->routine_address[kFindAdapter],
                                    {ext, s->guest_context, 0, 0, s->config_page, again ? again_at : 0});
    i386::take_config(page, *config);
    i386::take_ranges(page + i386::kConfigRangesOffset, *config, count);
    if (again)
        *again = page[i386::kConfigAgainOffset];
    // The port driver's copy of the context follows the driver's.
    for (size_t i = 0; i < s->context_mirror.size(); i++)
        if (const uint8_t* b = s->host(s->guest_context + static_cast<uint32_t>(i), 1))
            s->context_mirror[i] = *b;
    return result;
}

template <Routine R> BOOLEAN ExtensionThunk(PVOID extension)
{
    EmulatedDriver::Session* s = session_of(extension);
    if (!s || s->dead)
        return FALSE;
    return static_cast<BOOLEAN>(s->call(R, s->routine_address[R], {s->guest_extension(extension, false)}));
}

BOOLEAN StartIoThunk(PVOID extension, PSCSI_REQUEST_BLOCK srb)
{
    EmulatedDriver::Session* s = session_of(extension);
    if (!s || s->dead)
        return FALSE;
    const uint32_t guest = s->hand_over(srb);
    return static_cast<BOOLEAN>(
        s->call(kStartIo, s->routine_address[kStartIo], {s->guest_extension(extension, false), guest}));
}

BOOLEAN ResetBusThunk(PVOID extension, ULONG path)
{
    EmulatedDriver::Session* s = session_of(extension);
    if (!s || s->dead)
        return FALSE;
    return static_cast<BOOLEAN>(
        s->call(kResetBus, s->routine_address[kResetBus], {s->guest_extension(extension, false), path}));
}

VOID DmaStartedThunk(PVOID extension)
{
    ExtensionThunk<kDmaStarted>(extension);
}

BOOLEAN AdapterStateThunk(PVOID extension, PVOID, BOOLEAN save)
{
    EmulatedDriver::Session* s = session_of(extension);
    if (!s || s->dead)
        return FALSE;
    return static_cast<BOOLEAN>(s->call(kAdapterState, s->routine_address[kAdapterState],
                                        {s->guest_extension(extension, false), s->guest_context, save}));
}

// ---------------------------------------------------------------- processor hooks

void on_interrupt(uc_engine* uc, uint32_t vector, void* user)
{
    auto* s = static_cast<EmulatedDriver::Session*>(user);
    uint32_t eip = 0, esp = 0;
    uc_reg_read(uc, UC_X86_REG_EIP, &eip);
    uc_reg_read(uc, UC_X86_REG_ESP, &esp);
    const bool from_stubs = eip - kStubPage < kPage;
    if (from_stubs && vector == kSentinelVector) {
        uc_emu_stop(uc);
        return;
    }
    if (from_stubs && vector >= kFirstServiceVector && vector < kFirstServiceVector + kServiceCount) {
        s->service(static_cast<Service>(vector - kFirstServiceVector), esp);
        if (s->dead)
            uc_emu_stop(uc);
        return;
    }
    s->fail(vector < 32 ? fmt::format("the driver raised processor exception {} at {}", vector, s->where(eip))
                        : fmt::format("the driver executed INT {:#x} at {}", vector, s->where(eip)));
    uc_emu_stop(uc);
}

bool on_fault(uc_engine* uc, uc_mem_type type, uint64_t address, int size, int64_t, void* user)
{
    auto* s = static_cast<EmulatedDriver::Session*>(user);
    uint32_t eip = 0, esp = 0;
    uc_reg_read(uc, UC_X86_REG_EIP, &eip);
    uc_reg_read(uc, UC_X86_REG_ESP, &esp);
    const auto a = static_cast<uint32_t>(address);
    const char* routine = s->active.empty() ? "the driver" : kRoutineNames[s->active.back().routine];
    if (a < s->stack_bottom && s->stack_bottom - a <= kPage) {
        s->fail(fmt::format("{} overflowed its {} KiB kernel stack: {}-byte access at {:#010x}, in the guard page, "
                            "by the instruction at {} (ESP {:#010x})",
                            routine, s->options.stack_size / 1024, size, a, s->where(eip), esp));
        return false;
    }
    const char* what = "";
    switch (type) {
    case UC_MEM_READ_UNMAPPED: what = "read of unmapped memory"; break;
    case UC_MEM_WRITE_UNMAPPED: what = "write to unmapped memory"; break;
    case UC_MEM_FETCH_UNMAPPED: what = "jump to unmapped memory"; break;
    case UC_MEM_WRITE_PROT: what = "write to read-only memory"; break;
    case UC_MEM_READ_PROT: what = "read of memory it may not read"; break;
    case UC_MEM_FETCH_PROT: what = "jump into memory that is not code"; break;
    default: what = "access to memory"; break;
    }
    s->fail(fmt::format("{}: {}-byte {} at {} by the instruction at {}", routine, size, what, s->where(a),
                        s->where(eip)));
    return false;
}

uint32_t on_in(uc_engine*, uint32_t port, int size, void* user)
{
    auto* s = static_cast<EmulatedDriver::Session*>(user);
    if (port == 0x61 && size == 1)
        return s->machine.system_port().read();
    const Width width = size == 1 ? Width::Byte : size == 2 ? Width::Word : Width::Dword;
    return s->machine.ports().read(static_cast<uint16_t>(port), width);
}

void on_out(uc_engine*, uint32_t port, int size, uint32_t value, void* user)
{
    auto* s = static_cast<EmulatedDriver::Session*>(user);
    const Width width = size == 1 ? Width::Byte : size == 2 ? Width::Word : Width::Dword;
    s->machine.ports().write(static_cast<uint16_t>(port), width, value);
}

// At an instruction that may set IF, and at the one after it: the port
// driver hears of the flag turning on as it hears of RestoreFlags.
void on_flag_write(uc_engine*, uint64_t, uint32_t, void* user)
{
    auto* s = static_cast<EmulatedDriver::Session*>(user);
    const bool now = s->read();
    if (now && !s->flag_before_write) {
        s->flag_before_write = true;
        s->machine.cpu().flag_turned_on();
        return;
    }
    s->flag_before_write = now;
}

}  // namespace

EmulatedDriver::Session::Session(Machine& m, std::shared_ptr<const LoadedImage> img, const std::vector<uint32_t>& flag_sites,
                                 std::shared_ptr<Stats> st, const Options& opts)
    : machine(m), image_holder(std::move(img)), image(*image_holder), stats(std::move(st)), options(opts)
{
    if (uc_open(UC_ARCH_X86, UC_MODE_32, &uc) != UC_ERR_OK) {
        uc = nullptr;
        fail("the i386 processor emulator cannot be opened");
        return;
    }
    // The image, a fresh copy: its globals as a kernel's loader leaves them.
    const uint32_t image_size = image.size();
    blocks.push_back(host_pages(image_size));
    uint8_t* copy = blocks.back().get();
    std::memcpy(copy, image.memory().data(), image_size);
    for (uint32_t first = 0; first < image_size / kPage;) {
        uint32_t end = first + 1;
        const uint8_t access = image.page_access(first);
        while (end < image_size / kPage && image.page_access(end) == access)
            end++;
        if (access != kPageNone)
            map(image.base() + first * kPage, (end - first) * kPage, copy + first * kPage, access, "the image");
        first = end;
    }
    // The port driver's stubs: INT n, then RET with the service's argument bytes.
    blocks.push_back(host_pages(kPage));
    uint8_t* stubs = blocks.back().get();
    std::memset(stubs, 0xCC, kPage);
    for (uint32_t i = 0; i < kServiceCount; i++) {
        uint8_t* p = stubs + i * kStubSize;
        p[0] = 0xCD;
        p[1] = static_cast<uint8_t>(kFirstServiceVector + i);
        if (kServices[i].argument_bytes) {
            p[2] = 0xC2;
            p[3] = static_cast<uint8_t>(kServices[i].argument_bytes);
            p[4] = static_cast<uint8_t>(kServices[i].argument_bytes >> 8);
        } else {
            p[2] = 0xC3;
        }
    }
    stubs[kSentinel - kStubPage] = 0xCD;
    stubs[kSentinel - kStubPage + 1] = kSentinelVector;
    map(kStubPage, kPage, stubs, UC_PROT_READ | UC_PROT_EXEC, "the port driver's code");
    // The kernel stack, painted, with nothing mapped below it.
    const uint32_t stack_size = options.stack_size;
    stack_bottom = kStackTop - stack_size;
    blocks.push_back(host_pages(stack_size));
    stack_host = blocks.back().get();
    std::memset(stack_host, 0xCD, stack_size);
    map(stack_bottom, stack_size, stack_host, UC_PROT_READ | UC_PROT_WRITE, "the kernel stack");
    // What DriverEntry is given, the port configuration record and the SRBs.
    guest_argument[0] = allocate(0x100, "the driver object");
    guest_argument[1] = allocate(0x100, "the registry path");
    config_page = allocate(kPage, "the port configuration record");

    uc_hook_add(uc, &hooks[0], UC_HOOK_INTR, reinterpret_cast<void*>(&on_interrupt), this, 1, 0);
    uc_hook_add(uc, &hooks[1], UC_HOOK_MEM_UNMAPPED | UC_HOOK_MEM_PROT, reinterpret_cast<void*>(&on_fault), this, 1,
                0);
    uc_hook_add(uc, &hooks[2], UC_HOOK_INSN, reinterpret_cast<void*>(&on_in), this, 1, 0, UC_X86_INS_IN);
    uc_hook_add(uc, &hooks[3], UC_HOOK_INSN, reinterpret_cast<void*>(&on_out), this, 1, 0, UC_X86_INS_OUT);
    for (uint32_t site : flag_sites) {
        uc_hook h;
        if (uc_hook_add(uc, &h, UC_HOOK_CODE, reinterpret_cast<void*>(&on_flag_write), this, site, site) == UC_ERR_OK)
            flag_hooks.push_back(h);
    }
    // Interrupts on, as the port driver calls a miniport.
    uint32_t eflags = 0x202;
    uc_reg_write(uc, UC_X86_REG_EFLAGS, &eflags);
    machine.cpu().attach(this);
    machine.memory().on_free([this](const PhysicalMemory::Buffer& b) {
        auto it = windows.find(b.id);
        if (it != windows.end()) {
            unmap(it->second);
            windows.erase(it);
        }
    });
}

EmulatedDriver::Session::~Session()
{
    machine.cpu().attach(nullptr);
    machine.memory().on_free({});
    std::erase_if(g_by_extension, [this](const auto& e) { return e.second == this; });
    if (g_loading == this)
        g_loading = nullptr;
    if (uc)
        uc_close(uc);
}

bool EmulatedDriver::Session::read() const
{
    if (!uc)
        return true;
    uint32_t eflags = 0;
    uc_reg_read(uc, UC_X86_REG_EFLAGS, &eflags);
    return (eflags & Cpu::kInterruptFlag) != 0;
}

void EmulatedDriver::Session::write(bool enabled)
{
    if (!uc)
        return;
    uint32_t eflags = 0;
    uc_reg_read(uc, UC_X86_REG_EFLAGS, &eflags);
    eflags = enabled ? eflags | Cpu::kInterruptFlag : eflags & ~Cpu::kInterruptFlag;
    uc_reg_write(uc, UC_X86_REG_EFLAGS, &eflags);
}

bool EmulatedDriver::Session::map(uint32_t first, uint32_t size, uint8_t* host_memory, uint32_t access,
                                  const char* what)
{
    if (!uc || uc_mem_map_ptr(uc, first, size, access, host_memory) != UC_ERR_OK) {
        fail(fmt::format("cannot map {} at {:#010x}", what, first));
        return false;
    }
    regions[first] = Region{first, size, host_memory, what};
    return true;
}

void EmulatedDriver::Session::unmap(uint32_t first)
{
    auto it = regions.find(first);
    if (it == regions.end())
        return;
    uc_mem_unmap(uc, first, it->second.size);
    regions.erase(it);
}

uint32_t EmulatedDriver::Session::allocate(uint32_t size, const char* what, uint32_t access)
{
    const uint32_t length = round_up(std::max<uint32_t>(size, 1), kPage);
    if (kPoolEnd - pool_next < length + kPage) {
        fail(fmt::format("the kernel pool has no room left for {}", what));
        return 0;
    }
    const uint32_t first = pool_next;
    pool_next += length + kPage;
    blocks.push_back(host_pages(length));
    if (!map(first, length, blocks.back().get(), access, what))
        return 0;
    // The record ends where the mapping ends, 8-byte aligned.
    return first + length - round_up(size, 8);
}

const EmulatedDriver::Session::Region* EmulatedDriver::Session::region_at(uint32_t address) const
{
    auto it = regions.upper_bound(address);
    if (it == regions.begin())
        return nullptr;
    --it;
    return address - it->second.first < it->second.size ? &it->second : nullptr;
}

uint8_t* EmulatedDriver::Session::host(uint32_t address, uint32_t length) const
{
    const Region* r = region_at(address);
    if (!r || uint64_t{address - r->first} + length > r->size)
        return nullptr;
    return r->host + (address - r->first);
}

uint32_t EmulatedDriver::Session::read32(uint32_t address) const
{
    uint32_t v = 0;
    if (const uint8_t* p = host(address, 4))
        std::memcpy(&v, p, 4);
    return v;
}

void EmulatedDriver::Session::write32(uint32_t address, uint32_t value)
{
    if (uint8_t* p = host(address, 4))
        std::memcpy(p, &value, 4);
}

std::string EmulatedDriver::Session::where(uint32_t address) const
{
    if (image.contains(address))
        return fmt::format("{:#010x} (image+{:#x})", address, address - image.base());
    if (const Region* r = region_at(address))
        return fmt::format("{:#010x} ({}+{:#x})", address, r->what, address - r->first);
    return fmt::format("{:#010x}", address);
}

void EmulatedDriver::Session::fail(std::string message)
{
    dead = true;
    machine.errors().report("cpu386", std::move(message));
}

// ---------------------------------------------------------------- calls into the driver

uint32_t EmulatedDriver::Session::low_water() const
{
    const auto* p = reinterpret_cast<const uint64_t*>(stack_host);
    const uint32_t words = (kStackTop - stack_bottom) / 8;
    uint32_t i = 0;
    while (i < words && p[i] == kStackPaint)
        i++;
    return stack_bottom + i * 8;
}

void EmulatedDriver::Session::paint(uint32_t first, uint32_t end)
{
    if (first < end)
        std::memset(stack_host + (first - stack_bottom), 0xCD, end - first);
}

uint32_t EmulatedDriver::Session::call(Routine routine, uint32_t address, std::initializer_list<uint32_t> arguments)
{
    if (dead || !uc)
        return 0;
    if (address == 0) {
        fail(fmt::format("the port driver called {}, which the driver did not register", kRoutineNames[routine]));
        return 0;
    }
    const bool nested = !active.empty();
    uc_context* saved = nullptr;
    uint32_t sp = kStackTop;
    if (nested) {
        // An interrupt taken inside a routine: on the stack it interrupted.
        uc_context_alloc(uc, &saved);
        uc_context_save(uc, saved);
        uint32_t esp = 0;
        uc_reg_read(uc, UC_X86_REG_ESP, &esp);
        const uint32_t low = low_water();
        active.back().own_low = std::min(active.back().own_low, low);
        sp = (esp & ~3u) - kInterruptFrame;
        if (sp < stack_bottom || sp > kStackTop) {
            fail(fmt::format("{} interrupted with its stack pointer at {:#010x}, outside the kernel stack",
                             kRoutineNames[active.back().routine], esp));
            uc_context_free(saved);
            return 0;
        }
        paint(low, sp);
    }
    const uint32_t frame = sp;
    for (auto it = std::rbegin(arguments); it != std::rend(arguments); ++it) {
        sp -= 4;
        write32(sp, *it);
    }
    sp -= 4;
    write32(sp, kSentinel);
    const uint32_t entry_sp = sp;
    uc_reg_write(uc, UC_X86_REG_ESP, &sp);
    active.push_back(Active{routine, entry_sp, entry_sp});

    const uc_err err = uc_emu_start(uc, address, 0, 0, 0);

    uint32_t eax = 0, eip = 0, esp = 0;
    uc_reg_read(uc, UC_X86_REG_EAX, &eax);
    uc_reg_read(uc, UC_X86_REG_EIP, &eip);
    uc_reg_read(uc, UC_X86_REG_ESP, &esp);
    if (!dead && err != UC_ERR_OK)
        fail(fmt::format("{} stopped at {}: {}", kRoutineNames[routine], where(eip), uc_strerror(err)));
    if (!dead && eip != kSentinel + 2)
        fail(fmt::format("{} stopped at {} without returning", kRoutineNames[routine], where(eip)));
    // A standard call pops its arguments on return.
    if (!dead && esp != frame)
        fail(fmt::format("{} returned with its stack {} bytes off: it did not pop its {} bytes of arguments",
                         kRoutineNames[routine], static_cast<int64_t>(esp) - frame, 4 * arguments.size()));

    const uint32_t low = std::min(low_water(), active.back().own_low);
    StackUse& use = stats->routines[routine];
    use.calls++;
    use.deepest = std::max(use.deepest, active.back().entry_sp - low);
    stats->deepest = std::max(stats->deepest, kStackTop - low);
    active.pop_back();
    paint(low, frame);

    if (nested) {
        uc_context_restore(uc, saved);
        uc_context_free(saved);
        // A fault inside stops the routine it interrupted too.
        if (dead)
            uc_emu_stop(uc);
    }
    return dead ? 0 : eax;
}

// ---------------------------------------------------------------- records

uint32_t EmulatedDriver::Session::guest_extension(const void* extension, bool fresh)
{
    auto it = extensions.find(extension);
    const uint32_t size = registration.DeviceExtensionSize;
    if (it == extensions.end()) {
        const uint32_t guest = allocate(size, "an adapter extension");
        extensions[extension] = guest;
        extension_hosts[guest] = extension;
        return guest;
    }
    // The port driver gives each HwFindAdapter call an extension of zeros.
    if (fresh)
        if (uint8_t* p = host(it->second, size))
            std::memset(p, 0, size);
    return it->second;
}

void* EmulatedDriver::Session::host_extension(uint32_t guest) const
{
    auto it = extension_hosts.find(guest);
    // Anything else goes to the port driver as it is, for it to refuse.
    return it == extension_hosts.end() ? reinterpret_cast<void*>(static_cast<uintptr_t>(guest))
                                       : const_cast<void*>(it->second);
}

uint32_t EmulatedDriver::Session::token()
{
    // Tokens are only ever compared, never mapped: reusing old ones is harmless.
    if (kTokenEnd - token_next < kPage)
        token_next = kTokenFirst;
    const uint32_t t = token_next;
    token_next += 16;
    return t;
}

uint32_t EmulatedDriver::Session::window(const PhysicalMemory::Buffer& buffer)
{
    auto it = windows.find(buffer.id);
    if (it != windows.end())
        return it->second;
    const uint32_t length = static_cast<uint32_t>(buffer.pages.size()) * kPage;
    if (kWindowEnd - window_next < length + kPage) {
        fail("no address space left to map request buffers in");
        return 0;
    }
    const uint32_t first = window_next;
    window_next += length + kPage;
    // The buffer's own bytes: what the DMA engine moves is what the driver sees.
    if (!map(first, length, buffer.data - buffer.offset, UC_PROT_READ | UC_PROT_WRITE, "a request's data buffer"))
        return 0;
    windows[buffer.id] = first;
    return first;
}

uint32_t EmulatedDriver::Session::guest_data(const void* data)
{
    if (!data)
        return 0;
    const PhysicalMemory::Buffer* b = machine.memory().find(data);
    if (!b)
        return token();  // not mapped for the driver: an address it may not touch
    const uint32_t first = window(*b);
    if (!first)
        return 0;
    return first + static_cast<uint32_t>(static_cast<const uint8_t*>(data) - (b->data - b->offset));
}

uint32_t EmulatedDriver::Session::hand_over(SCSI_REQUEST_BLOCK* srb)
{
    if (!srb)
        return 0;
    if (slots.empty()) {
        slot_stride = round_up(i386::kSrbSize + kSenseArea + round_up(registration.SrbExtensionSize, 16), 16);
        slots_first = allocate(slot_stride * kSlotCount, "the SRBs");
        slots.resize(kSlotCount);
        for (uint32_t i = 0; i < kSlotCount; i++)
            free_slots.push_back(i);
    }
    uint32_t index;
    auto known = slot_of.find(srb);
    if (known != slot_of.end()) {
        index = known->second;
    } else {
        if (free_slots.empty()) {
            fail("more than 1024 SRBs handed to the driver at once");
            return 0;
        }
        index = free_slots.front();
        free_slots.pop_front();
        slot_of[srb] = index;
    }
    Slot& slot = slots[index];
    const uint32_t guest = slots_first + index * slot_stride;
    uint8_t* g = host(guest, slot_stride);
    std::memset(g, 0, slot_stride);
    slot.srb = srb;
    slot.host_data = static_cast<const uint8_t*>(srb->DataBuffer);
    slot.guest_data = guest_data(srb->DataBuffer);
    slot.sense_length = srb->SenseInfoBuffer ? std::min<uint32_t>(srb->SenseInfoBufferLength, kSenseArea) : 0;
    const uint32_t sense = srb->SenseInfoBuffer ? guest + i386::kSrbSize : 0;
    if (slot.sense_length)
        std::memcpy(g + i386::kSrbSize, srb->SenseInfoBuffer, slot.sense_length);
    const uint32_t extension = registration.SrbExtensionSize ? guest + i386::kSrbSize + kSenseArea : 0;
    // The SRB to abort goes over too, if the driver has it.
    uint32_t next = 0;
    if (srb->NextSrb) {
        auto n = slot_of.find(srb->NextSrb);
        next = n != slot_of.end() ? slots_first + n->second * slot_stride : token();
    }
    i386::put_srb(g, *srb, slot.guest_data, sense, next, srb->OriginalRequest ? token() : 0, extension);
    return guest;
}

int EmulatedDriver::Session::slot_at(uint32_t guest) const
{
    const uint32_t offset = guest - slots_first;
    if (slots.empty() || offset % slot_stride != 0 || offset / slot_stride >= kSlotCount ||
        !slots[offset / slot_stride].srb)
        return -1;
    return static_cast<int>(offset / slot_stride);
}

SCSI_REQUEST_BLOCK* EmulatedDriver::Session::host_srb(uint32_t guest) const
{
    if (guest == 0)
        return nullptr;
    const int index = slot_at(guest);
    // Not an SRB the driver holds: the port driver refuses it as it is.
    return index >= 0 ? slots[static_cast<size_t>(index)].srb
                      : reinterpret_cast<SCSI_REQUEST_BLOCK*>(static_cast<uintptr_t>(guest));
}

// What the driver wrote into the SRB, back into the port driver's.
void EmulatedDriver::Session::take_back(uint32_t guest)
{
    const int index = slot_at(guest);
    if (index < 0)
        return;
    const Slot& slot = slots[static_cast<size_t>(index)];
    const uint8_t* g = host(guest, slot_stride);
    i386::take_srb(g, *slot.srb);
    if (slot.sense_length && slot.srb->SenseInfoBuffer)
        std::memcpy(slot.srb->SenseInfoBuffer, g + i386::kSrbSize, slot.sense_length);
}

void EmulatedDriver::Session::release(uint32_t guest)
{
    const int index = slot_at(guest);
    if (index < 0)
        return;
    Slot& slot = slots[static_cast<size_t>(index)];
    slot_of.erase(slot.srb);
    slot = Slot{};
    free_slots.push_back(static_cast<uint32_t>(index));
}

// After a bulk completion: the SRBs the port driver no longer counts as the
// driver's are gone from its address space too.
void EmulatedDriver::Session::release_finished()
{
    for (uint32_t i = 0; i < slots.size(); i++)
        if (slots[i].srb && !machine.port_driver().holds(slots[i].srb))
            release(slots_first + i * slot_stride);
}

void* EmulatedDriver::Session::host_data(uint32_t guest_srb, uint32_t guest_va) const
{
    // Relative to the SRB's buffer, as the port driver measures it.
    const int index = slot_at(guest_srb);
    if (index >= 0 && slots[static_cast<size_t>(index)].host_data) {
        const Slot& slot = slots[static_cast<size_t>(index)];
        return const_cast<uint8_t*>(slot.host_data) +
               static_cast<int64_t>(static_cast<int32_t>(guest_va - slot.guest_data));
    }
    return reinterpret_cast<void*>(static_cast<uintptr_t>(guest_va));
}

// ---------------------------------------------------------------- services

void EmulatedDriver::Session::initialize_service(uint32_t esp)
{
    const uint32_t a1 = read32(esp + 4), a2 = read32(esp + 8), data = read32(esp + 12), context = read32(esp + 16);
    const auto argument = [&](uint32_t guest, int i) {
        return guest == guest_argument[i] ? host_argument[i] : reinterpret_cast<void*>(static_cast<uintptr_t>(guest));
    };
    guest_context = context;
    HW_INITIALIZATION_DATA* record = nullptr;
    const uint8_t* g = host(data, i386::kInitDataSize);
    if (g) {
        const i386::InitRoutines r = i386::take_init_data(g, registration);
        routine_address[kHwInitialize] = r.initialize;
        routine_address[kStartIo] = r.start_io;
        routine_address[kInterrupt] = r.interrupt;
        routine_address[kFindAdapter] = r.find_adapter;
        routine_address[kResetBus] = r.reset_bus;
        routine_address[kDmaStarted] = r.dma_started;
        routine_address[kAdapterState] = r.adapter_state;
        // The port driver reads the identity strings where the record points.
        const auto copy = [&](uint32_t at, uint16_t length, std::vector<uint8_t>& into) {
            into.assign(length, 0);
            if (const uint8_t* p = host(at, length))
                std::memcpy(into.data(), p, length);
            return at && length ? static_cast<PVOID>(into.data()) : nullptr;
        };
        registration.VendorId = copy(i386::get32(g, i386::kInitVendorId), registration.VendorIdLength, vendor_id);
        registration.DeviceId = copy(i386::get32(g, i386::kInitDeviceId), registration.DeviceIdLength, device_id);
        // The host's routine slots stand for the driver's.
        registration.HwInitialize = routine_address[kHwInitialize] ? &ExtensionThunk<kHwInitialize> : nullptr;
        registration.HwStartIo = routine_address[kStartIo] ? &StartIoThunk : nullptr;
        registration.HwInterrupt = routine_address[kInterrupt] ? &ExtensionThunk<kInterrupt> : nullptr;
        registration.HwFindAdapter = routine_address[kFindAdapter] ? &FindAdapterThunk : nullptr;
        registration.HwResetBus = routine_address[kResetBus] ? &ResetBusThunk : nullptr;
        registration.HwDmaStarted = routine_address[kDmaStarted] ? &DmaStartedThunk : nullptr;
        registration.HwAdapterState = routine_address[kAdapterState] ? &AdapterStateThunk : nullptr;
        record = &registration;
    }
    Session* outer = std::exchange(g_loading, this);
    const ULONG status =
        ::ScsiPortInitialize(argument(a1, 0), argument(a2, 1), record, context ? context_mirror.data() : nullptr);
    g_loading = outer;
    uc_reg_write(uc, UC_X86_REG_EAX, &status);
}

void EmulatedDriver::Session::service(Service s, uint32_t esp)
{
    const auto arg = [&](int i) { return read32(esp + 4 + 4 * static_cast<uint32_t>(i)); };
    const auto port = [&](int i) { return reinterpret_cast<PVOID>(static_cast<uintptr_t>(arg(i))); };
    const auto result = [&](uint32_t eax) { uc_reg_write(uc, UC_X86_REG_EAX, &eax); };
    const auto result64 = [&](SCSI_PHYSICAL_ADDRESS a) {
        const auto q = static_cast<uint64_t>(a.QuadPart);
        const auto lo = static_cast<uint32_t>(q), hi = static_cast<uint32_t>(q >> 32);
        uc_reg_write(uc, UC_X86_REG_EAX, &lo);
        uc_reg_write(uc, UC_X86_REG_EDX, &hi);
    };
    switch (s) {
    case kInitialize:
        initialize_service(esp);
        break;
    case kGetDeviceBase: {
        SCSI_PHYSICAL_ADDRESS address;
        address.QuadPart = static_cast<int64_t>(uint64_t{arg(3)} | uint64_t{arg(4)} << 32);
        const PVOID base = ::ScsiPortGetDeviceBase(host_extension(arg(0)), static_cast<INTERFACE_TYPE>(arg(1)), arg(2),
                                                   address, arg(5), static_cast<BOOLEAN>(arg(6)));
        const auto value = reinterpret_cast<uintptr_t>(base);
        if (value > 0xFFFFFFFFu) {
            fail("ScsiPortGetDeviceBase returned an address beyond 32 bits");
            break;
        }
        result(static_cast<uint32_t>(value));
        break;
    }
    case kFreeDeviceBase:
        ::ScsiPortFreeDeviceBase(host_extension(arg(0)), port(1));
        break;
    case kConvertUlong:
        result64(::ScsiPortConvertUlongToPhysicalAddress(arg(0)));
        break;
    case kGetPhysicalAddress: {
        const uint32_t srb = arg(1), length_at = arg(3);
        ULONG length = 0;
        take_back(srb);
        result64(::ScsiPortGetPhysicalAddress(host_extension(arg(0)), host_srb(srb), host_data(srb, arg(2)),
                                              length_at ? &length : nullptr));
        if (length_at) {
            if (!host(length_at, 4))
                fail(fmt::format("ScsiPortGetPhysicalAddress given a length at {}, which is not the driver's",
                                 where(length_at)));
            write32(length_at, length);
        }
        break;
    }
    case kReadUchar:
        result(::ScsiPortReadPortUchar(static_cast<PUCHAR>(port(0))));
        break;
    case kReadUshort:
        result(::ScsiPortReadPortUshort(static_cast<PUSHORT>(port(0))));
        break;
    case kReadUlong:
        result(::ScsiPortReadPortUlong(static_cast<PULONG>(port(0))));
        break;
    case kWriteUchar:
        ::ScsiPortWritePortUchar(static_cast<PUCHAR>(port(0)), static_cast<UCHAR>(arg(1)));
        break;
    case kWriteUlong:
        ::ScsiPortWritePortUlong(static_cast<PULONG>(port(0)), arg(1));
        break;
    case kNotification: {
        const auto type = static_cast<SCSI_NOTIFICATION_TYPE>(arg(0));
        PVOID extension = host_extension(arg(1));
        if (type == RequestComplete) {
            // The SRB leaves the driver's address space before the port
            // driver sees it complete: it may hand it over again at once.
            const uint32_t srb = arg(2);
            take_back(srb);
            SCSI_REQUEST_BLOCK* done = host_srb(srb);
            release(srb);
            ::ScsiPortNotification(type, extension, done);
        } else if (type == NextLuRequest) {
            ::ScsiPortNotification(type, extension, arg(2), arg(3), arg(4));
        } else {
            ::ScsiPortNotification(type, extension);
        }
        break;
    }
    case kCompleteRequest:
        ::ScsiPortCompleteRequest(host_extension(arg(0)), static_cast<UCHAR>(arg(1)), static_cast<UCHAR>(arg(2)),
                                  static_cast<UCHAR>(arg(3)), static_cast<UCHAR>(arg(4)));
        release_finished();
        break;
    case kStall:
        ::ScsiPortStallExecution(arg(0));
        break;
    case kLogError: {
        const uint32_t srb = arg(1);
        if (srb)
            take_back(srb);
        ::ScsiPortLogError(host_extension(arg(0)), host_srb(srb), static_cast<UCHAR>(arg(2)),
                           static_cast<UCHAR>(arg(3)), static_cast<UCHAR>(arg(4)), arg(5), arg(6));
        break;
    }
    case kServiceCount:
        break;
    }
}

// ---------------------------------------------------------------- the driver

EmulatedDriver::EmulatedDriver(std::vector<uint8_t> file, std::unique_ptr<LoadedImage> image,
                               std::vector<uint32_t> flag_sites, const Options& options)
    : file_(std::move(file)),
      image_(std::move(image)),
      flag_sites_(std::move(flag_sites)),
      options_(options),
      stats_(std::make_shared<Stats>())
{
}

EmulatedDriver::~EmulatedDriver() = default;

std::unique_ptr<EmulatedDriver> EmulatedDriver::open(std::vector<uint8_t> file, const Options& options,
                                                     std::string& error)
{
    auto image = LoadedImage::load(file, options.base.value_or(kDefaultBase), resolve_service, error);
    if (!image)
        return nullptr;
    // The image may lie anywhere the port driver's own parts do not.
    const uint64_t first = image->base(), end = first + image->size();
    const uint64_t stack_floor = kStackTop - uint64_t{options.stack_size} - kPage;
    const bool clash = (first < kPoolEnd && end > kTokenFirst) || end > stack_floor;
    if (clash) {
        error = fmt::format("base {:#x} puts the image over the port driver's part of the address space",
                            image->base());
        return nullptr;
    }
    if (image->base() < 0x10000) {
        error = "the image would cover the first 64 KiB, which stay unmapped";
        return nullptr;
    }
    if (options.stack_size == 0 || options.stack_size % kPage != 0 || options.stack_size > 1024 * 1024) {
        error = fmt::format("a kernel stack of {} bytes: it takes whole pages, up to 1 MiB", options.stack_size);
        return nullptr;
    }
    const auto writes = interrupt_flag_writes(image->pe(), file, error);
    if (!error.empty())
        return nullptr;
    std::vector<uint32_t> sites;
    for (const FlagWrite& w : writes) {
        sites.push_back(image->base() + w.rva);
        sites.push_back(image->base() + w.next_rva);
    }
    return std::unique_ptr<EmulatedDriver>(new EmulatedDriver(std::move(file), std::move(image), std::move(sites), options));
}

std::unique_ptr<EmulatedDriver> EmulatedDriver::open_file(const std::string& path, const Options& options,
                                                          std::string& error)
{
    std::error_code ec;
    const bool regular = std::filesystem::is_regular_file(path, ec);
    const uintmax_t size = regular ? std::filesystem::file_size(path, ec) : 0;
    std::ifstream in(path, std::ios::binary);
    if (!regular || ec || !in) {
        error = fmt::format("{}: cannot be read{}", path, ec || !std::filesystem::exists(path) ? "" : ": not a file");
        return nullptr;
    }
    if (size > (256u << 20)) {
        error = fmt::format("{}: not a loadable driver image: {} bytes is far larger than any driver", path, size);
        return nullptr;
    }
    std::vector<uint8_t> file(static_cast<size_t>(size));
    if (!in.read(reinterpret_cast<char*>(file.data()), static_cast<std::streamsize>(file.size()))) {
        error = fmt::format("{}: cannot be read", path);
        return nullptr;
    }
    std::string why;
    auto driver = open(std::move(file), options, why);
    if (!driver)
        error = fmt::format("{}: not a loadable driver image: {}", path, why);
    return driver;
}

Miniport::EntryPoint EmulatedDriver::load()
{
    Machine* machine = current_machine();
    if (!machine)
        return nullptr;
    auto session = std::make_shared<Session>(*machine, image_, flag_sites_, stats_, options_);
    g_loading = session.get();
    machine->keep(session);
    return &DriverEntryThunk;
}

std::vector<StackUse> EmulatedDriver::stack_use() const
{
    return {stats_->routines.begin(), stats_->routines.end()};
}

uint32_t EmulatedDriver::deepest_stack() const
{
    return stats_->deepest;
}

}  // namespace sim::loader
