// The PC's I/O port space: byte, word and dword accesses routed to the
// devices that claim each port, each access costing virtual time, and every
// access recordable so that tests can compare exact register sequences.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "clock.h"
#include "model_error.h"

namespace sim {

enum class Width : uint8_t { Byte = 1, Word = 2, Dword = 4 };
enum class Direction : uint8_t { Read, Write };

struct PortAccess {
    Nanoseconds time;
    uint16_t port;
    Width width;
    Direction direction;
    uint32_t value;
    bool operator==(const PortAccess& o) const
    {
        return port == o.port && width == o.width && direction == o.direction && value == o.value;
    }
};
std::string to_string(const PortAccess& access);

// A device that answers a range of ports.
class PortDevice {
public:
    virtual ~PortDevice() = default;
    virtual uint32_t read_port(uint16_t port, Width width) = 0;
    virtual void write_port(uint16_t port, Width width, uint32_t value) = 0;
};

class PortSpace {
public:
    explicit PortSpace(Clock& clock) : clock_(clock) {}

    // Claims ports [first, first + count) for `device`. Overlapping claims are a setup bug.
    void claim(uint16_t first, uint32_t count, PortDevice* device);
    void release(PortDevice* device);

    uint32_t read(uint16_t port, Width width);
    void write(uint16_t port, Width width, uint32_t value);

    void set_access_cost(Nanoseconds cost) { access_cost_ = cost; }

    // The recorder: off by default; when on, every access is appended.
    void record(bool on) { recording_ = on; }
    const std::vector<PortAccess>& recorded() const { return log_; }
    uint64_t access_count() const { return accesses_; }

private:
    struct Claim {
        uint16_t first;
        uint32_t count;
        PortDevice* device;
    };
    PortDevice* find(uint16_t port) const;
    void note(uint16_t port, Width width, Direction direction, uint32_t value);

    Clock& clock_;
    std::vector<Claim> claims_;
    mutable size_t last_claim_ = 0;  // index of the claim the last access found
    Nanoseconds access_cost_ = 500;  // an ISA-speed I/O cycle
    bool recording_ = false;
    std::vector<PortAccess> log_;
    uint64_t accesses_ = 0;
};

}  // namespace sim
