// The addresses the port driver gives a bus master for a request's buffer:
// direct where the adapter reaches, bounce pages below 16 MiB where a 24-bit
// adapter does not, with the data reaching the caller's buffer only when the
// request completes. Shown with a stand-in bus master that moves the data
// itself through the addresses it was given, as its DMA engine would.
#include <gtest/gtest.h>

#include <cstring>

#include "support/fake_miniport.h"

namespace hbatest {
namespace {

using sim::DataDirection;
using sim::PhysicalMemory;

constexpr uint32_t k16MiB = PhysicalMemory::k24BitLimit;
constexpr uint8_t kCallerByte = 0x5A;

uint8_t Pattern(uint32_t i)
{
    return static_cast<uint8_t>(i * 7 + 1);
}

class BusMaster : public FakeMachine {
protected:
    struct Piece {
        uint32_t physical;
        ULONG length;
    };

    void Boot(bool dma32)
    {
        fake.edit_registration = [](HW_INITIALIZATION_DATA& d) {
            d.MapBuffers = TRUE;  // it looks at the caller's buffer itself
            d.NeedPhysicalAddresses = TRUE;
        };
        fake.find = [dma32](PVOID, PPORT_CONFIGURATION_INFORMATION ci, BOOLEAN* again) -> ULONG {
            ci->BusInterruptLevel = 11;
            ci->Master = TRUE;
            ci->Dma32BitAddresses = dma32;
            *again = FALSE;
            return SP_RETURN_FOUND;
        };
        // Gathers the buffer's addresses, moves the data by DMA, and notes
        // what the caller's buffer held after the transfer, before completion.
        fake.start_io = [this](PVOID ext, PSCSI_REQUEST_BLOCK srb) -> BOOLEAN {
            auto* va = static_cast<uint8_t*>(srb->DataBuffer);
            pieces.clear();
            for (ULONG done = 0, length = 0; done < srb->DataTransferLength; done += length) {
                const SCSI_PHYSICAL_ADDRESS pa = ScsiPortGetPhysicalAddress(ext, srb, va + done, &length);
                pieces.push_back({static_cast<uint32_t>(pa.QuadPart), length});
                if (length == 0)
                    break;
            }
            uint32_t at = 0;
            for (const Piece& p : pieces) {
                const uint32_t n = std::min<uint32_t>(p.length, to_move > at ? to_move - at : 0);
                if (srb->SrbFlags & SRB_FLAGS_DATA_IN) {
                    std::vector<uint8_t> data(n);
                    for (uint32_t i = 0; i < n; i++)
                        data[i] = Pattern(at + i);
                    machine->memory().dma_write(p.physical, data.data(), n);
                } else {
                    std::vector<uint8_t> data(n);
                    machine->memory().dma_read(p.physical, data.data(), n);
                    read.insert(read.end(), data.begin(), data.end());
                }
                at += p.length;
            }
            before_completion.assign(va, va + srb->DataTransferLength);
            srb->SrbStatus = SRB_STATUS_SUCCESS;
            ScsiPortNotification(RequestComplete, ext, srb);
            ScsiPortNotification(NextRequest, ext);
            return TRUE;
        };
        boot();
        ASSERT_EQ(machine->adapters().size(), 1u);
    }

    // Runs one request over `buffer`, filled with the caller's bytes; what
    // the buffer held when the submitter saw it complete.
    std::vector<uint8_t> Run(PhysicalMemory::Buffer& buffer, DataDirection direction)
    {
        std::memset(buffer.data, kCallerByte, buffer.length);
        read.clear();
        sim::RequestSpec request_spec;
        request_spec.cdb = {direction == DataDirection::In ? uint8_t(0x28) : uint8_t(0x2A), 0, 0, 0, 0, 0, 0, 0, 1, 0};
        request_spec.direction = direction;
        request_spec.buffer = &buffer;
        std::vector<uint8_t> at_completion;
        machine->port_driver().submit(0, request_spec, [&](const sim::Request&) {
            at_completion.assign(buffer.data, buffer.data + buffer.length);
        });
        EXPECT_EQ(machine->port_driver().run_until_idle(), sim::PortDriver::RunResult::Idle);
        return at_completion;
    }

    std::vector<Piece> pieces;
    uint32_t to_move = ~0u;  // bytes the device moves (a short read moves fewer)
    std::vector<uint8_t> before_completion, read;
};

TEST_F(BusMaster, TwentyFourBitAddressesBounceWhatLiesAbove16MiB)
{
    struct Case {
        const char* what;
        bool dma32;
        PhysicalMemory::Region region;
        DataDirection direction;
        uint32_t moved;     // bytes of the 0x2800 the device moves
        bool bounced;
    };
    const Case cases[] = {
        {"24-bit, above 16 MiB, data in", false, PhysicalMemory::Region::Above16MiB, DataDirection::In, 0x2800, true},
        {"24-bit, above 16 MiB, short data in", false, PhysicalMemory::Region::Above16MiB, DataDirection::In, 0x1234,
         true},
        {"24-bit, above 16 MiB, data out", false, PhysicalMemory::Region::Above16MiB, DataDirection::Out, 0x2800, true},
        {"24-bit, below 16 MiB", false, PhysicalMemory::Region::Below16MiB, DataDirection::In, 0x2800, false},
        {"32-bit, above 16 MiB", true, PhysicalMemory::Region::Above16MiB, DataDirection::In, 0x2800, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Boot(c.dma32);
        to_move = c.moved;
        auto& buffer = machine->memory().allocate(0x2800, 0x300, PhysicalMemory::Layout::Scattered, c.region);
        const std::vector<uint8_t> at_completion = Run(buffer, c.direction);
        EXPECT_TRUE(machine->errors().empty()) << machine->errors().summary();

        uint32_t total = 0;
        for (const Piece& p : pieces) {
            total += p.length;
            EXPECT_EQ(p.physical < k16MiB, c.bounced || c.region == PhysicalMemory::Region::Below16MiB)
                << std::hex << p.physical;
            if (!c.dma32) {
                EXPECT_LE(p.physical + p.length, k16MiB);
            }
        }
        EXPECT_EQ(total, buffer.length);
        EXPECT_EQ(machine->port_driver().dma().pages_bounced(), c.bounced ? buffer.pages.size() : 0u);

        std::vector<uint8_t> expected(buffer.length, kCallerByte);
        if (c.direction == DataDirection::In)
            for (uint32_t i = 0; i < c.moved; i++)
                expected[i] = Pattern(i);
        // The device reads the caller's bytes, through the bounce pages or not.
        if (c.direction == DataDirection::Out) {
            EXPECT_EQ(read, std::vector<uint8_t>(buffer.length, kCallerByte));
        }
        // Bounced data in reaches the caller's buffer at completion, not before;
        // what the device did not move is the caller's own.
        EXPECT_EQ(before_completion, c.bounced ? std::vector<uint8_t>(buffer.length, kCallerByte) : expected);
        EXPECT_EQ(at_completion, expected);
    }
}

// A buffer with pages on both sides of 16 MiB: only those above are bounced,
// and the addresses still cover the buffer in order.
TEST_F(BusMaster, OnlyThePagesAbove16MiBAreBounced)
{
    Boot(false);
    auto& buffer = machine->memory().allocate(0x10000, 0x10, PhysicalMemory::Layout::Scattered);
    size_t high = 0;
    for (uint32_t page : buffer.pages)
        high += page * PhysicalMemory::kPageSize >= k16MiB;
    ASSERT_GT(high, 0u);
    ASSERT_LT(high, buffer.pages.size());
    const std::vector<uint8_t> at_completion = Run(buffer, DataDirection::In);
    EXPECT_TRUE(machine->errors().empty()) << machine->errors().summary();
    EXPECT_EQ(machine->port_driver().dma().pages_bounced(), high);
    for (const Piece& p : pieces)
        EXPECT_LE(p.physical + p.length, k16MiB);
    for (uint32_t i = 0; i < buffer.length; i++)
        ASSERT_EQ(at_completion[i], Pattern(i)) << "byte " << i;
    // The bytes in pages not bounced arrived at once; the others only at completion.
    const uint32_t first_page_bytes = PhysicalMemory::kPageSize - 0x10;
    const bool first_bounced = buffer.pages[0] * PhysicalMemory::kPageSize >= k16MiB;
    EXPECT_EQ(before_completion[0], first_bounced ? kCallerByte : Pattern(0));
    EXPECT_EQ(before_completion[first_page_bytes - 1], first_bounced ? kCallerByte : Pattern(first_page_bytes - 1));
}

// An adapter with 24-bit addresses that DMAs to the buffer's own page above
// 16 MiB used an address the port driver never gave it.
TEST_F(BusMaster, DmaToABouncedPageItselfIsReported)
{
    Boot(false);
    auto& buffer = machine->memory().allocate(0x1000, 0, PhysicalMemory::Layout::Scattered,
                                              PhysicalMemory::Region::Above16MiB);
    fake.start_io = [&](PVOID ext, PSCSI_REQUEST_BLOCK srb) -> BOOLEAN {
        const uint8_t byte = 1;
        EXPECT_FALSE(machine->memory().dma_write(buffer.pages[0] * PhysicalMemory::kPageSize, &byte, 1));
        srb->SrbStatus = SRB_STATUS_SUCCESS;
        ScsiPortNotification(RequestComplete, ext, srb);
        ScsiPortNotification(NextRequest, ext);
        return TRUE;
    };
    Run(buffer, DataDirection::In);
    EXPECT_TRUE(error_mentions("bounces below 16 MiB: an address it never gave out")) << machine->errors().summary();
    EXPECT_EQ(buffer.data[0], kCallerByte);
}

}  // namespace
}  // namespace hbatest
