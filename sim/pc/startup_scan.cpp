#include "pc/startup_scan.h"

#include <array>

#include "bus/scsi_vocabulary.h"
#include "pc/class_driver.h"
#include "pc/machine.h"

namespace sim {
namespace {

using scsi::op::kInquiry;
using scsi::op::kReadCapacity;
constexpr uint32_t kInquiryLength = 36;
constexpr uint32_t kCapacityLength = 8;
constexpr uint8_t kCmdQue = 0x02;  // INQUIRY byte 7
constexpr uint8_t kNotSupported = 3;  // peripheral qualifier: no device can be at this LUN
constexpr int kInquiryRetries = 2;
// How long the scan waits for one request: the port driver ends every request
// within its time-out and recovery (a reset and its hold), and twenty BUSY
// answers a second apart may come before.
constexpr Nanoseconds kRequestLimit = 120 * kSecond;

// Block devices whose capacity the port driver asks for: direct access,
// CD-ROM and optical memory.
bool has_capacity(uint8_t peripheral) { return peripheral == 0x00 || peripheral == 0x05 || peripheral == 0x07; }

std::string text_field(const uint8_t* bytes, size_t length)
{
    std::string s(reinterpret_cast<const char*>(bytes), length);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0'))
        s.pop_back();
    return s;
}

uint32_t be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

class Scanner {
public:
    explicit Scanner(Machine& machine) : machine_(machine) {}

    std::vector<FoundUnit> run()
    {
        // An adapter the port driver could not start has no devices to ask.
        for (size_t a = 0; a < machine_.port_driver().adapter_count(); a++)
            if (machine_.port_driver().adapter(a).initialized)
                scan_adapter(a);
        return std::move(found_);
    }

private:
    struct Answer {
        SCSI_REQUEST_BLOCK srb;
        std::vector<uint8_t> data;
        std::array<uint8_t, 18> sense;
    };

    // One request, run to its end as the synchronous scan does (the port
    // driver itself sends BUSY answers again and fetches the sense of a CHECK
    // CONDITION).
    // `probe`: the port driver's own INQUIRY, which offers no synchronous
    // negotiation, sent again twice when it fails unless nobody answered the
    // selection. READ CAPACITY is the class driver's, an ordinary data-in
    // request, sent again as a class driver does: after a unit attention
    // (the device's power-on), BUSY that outlasted the port driver, a bus
    // reset.
    Answer execute(size_t adapter, uint8_t id, uint8_t lun, const std::vector<uint8_t>& cdb, uint32_t length,
                   bool probe)
    {
        Answer answer = execute_once(adapter, id, lun, cdb, length, probe);
        if (probe) {
            for (int retry = 0; retry < kInquiryRetries && !answered(answer) &&
                                (answer.srb.SrbStatus & 0x3F) != SRB_STATUS_SELECTION_TIMEOUT;
                 retry++)
                answer = execute_once(adapter, id, lun, cdb, length, probe);
            return answer;
        }
        for (unsigned retry = 0;
             retry < kClassDriverRetries && class_driver_resends(answer.srb, answer.sense) != Resend::No; retry++)
            answer = execute_once(adapter, id, lun, cdb, length, probe);
        return answer;
    }

    // The INQUIRY data came: all of it, or less than asked for.
    static bool answered(const Answer& answer)
    {
        const uint8_t status = answer.srb.SrbStatus & 0x3F;
        return status == SRB_STATUS_SUCCESS || status == SRB_STATUS_DATA_OVERRUN;
    }

    Answer execute_once(size_t adapter, uint8_t id, uint8_t lun, const std::vector<uint8_t>& cdb, uint32_t length,
                        bool probe)
    {
        PhysicalMemory& memory = machine_.memory();
        PhysicalMemory::Buffer& buffer = memory.allocate(length);
        RequestSpec request_spec;
        request_spec.target = id;
        request_spec.lun = lun;
        request_spec.cdb = cdb;
        request_spec.direction = DataDirection::In;
        request_spec.disable_synch_transfer = probe;
        request_spec.buffer = &buffer;
        const Request& request = machine_.port_driver().submit(adapter, request_spec);
        machine_.port_driver().run_until_idle(kRequestLimit);
        Answer answer{request.srb, std::vector<uint8_t>(buffer.data, buffer.data + length), request.sense};
        // A request the port driver still holds (the run stopped at its
        // limit, a model error already) keeps its buffer: the driver may yet
        // be handed it.
        if (request.state == Request::State::Completed)
            memory.free(buffer);
        return answer;
    }

    void scan_adapter(size_t adapter)
    {
        const auto& config = machine_.port_driver().adapter(adapter).config;
        const auto own_id = static_cast<uint8_t>(config.InitiatorBusId[0]);
        for (uint8_t id = 0; id < 8; id++) {
            if (id == own_id)
                continue;
            for (uint8_t lun = 0; lun < 8; lun++)
                scan_lun(adapter, id, lun);
        }
    }

    void scan_lun(size_t adapter, uint8_t id, uint8_t lun)
    {
        Answer inquiry = execute(adapter, id, lun, {kInquiry, uint8_t(lun << 5), 0, 0, kInquiryLength, 0},
                                 kInquiryLength, true);
        if (!answered(inquiry) || inquiry.data[0] >> 5 == kNotSupported)
            return;

        FoundUnit device;
        device.adapter = adapter;
        device.id = id;
        device.lun = lun;
        device.peripheral = inquiry.data[0];
        device.vendor = text_field(&inquiry.data[8], 8);
        device.product = text_field(&inquiry.data[16], 16);
        device.revision = text_field(&inquiry.data[32], 4);
        if (has_capacity(device.peripheral))
            read_capacity(device);
        device.tagged = (inquiry.data[7] & kCmdQue) != 0;
        const int index = machine_.config_index_of(adapter);
        if (index >= 0) {
            if (const auto& timing = machine_.bus(static_cast<size_t>(index)).last_data_timing(id)) {
                device.period_ns = timing->period_ns;
                device.offset = timing->offset;
            }
        }
        found_.push_back(device);
    }

    void read_capacity(FoundUnit& device)
    {
        Answer capacity = execute(device.adapter, device.id, device.lun,
                                  {kReadCapacity, uint8_t(device.lun << 5), 0, 0, 0, 0, 0, 0, 0, 0}, kCapacityLength,
                                  false);
        if ((capacity.srb.SrbStatus & 0x3F) != SRB_STATUS_SUCCESS)
            return;
        device.capacity_known = true;
        device.block_count = uint64_t(be32(&capacity.data[0])) + 1;
        device.block_size = be32(&capacity.data[4]);
    }

    Machine& machine_;
    std::vector<FoundUnit> found_;
};

}  // namespace

std::vector<FoundUnit> scan_devices(Machine& machine) { return Scanner(machine).run(); }

}  // namespace sim
