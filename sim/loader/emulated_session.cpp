// The emulated processor of one booted machine: its hooks, its memory, and
// the calls that run the image's routines.
#include "loader/emulated_session.h"

#include <iterator>

#include <fmt/format.h>

namespace sim::loader {

namespace {

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
    forget(this);
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

}  // namespace sim::loader
