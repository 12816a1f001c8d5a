// Block devices on the bus: a disk and a read-only optical drive. Each is a
// target with one LUN or several (LUNs 0 to luns - 1, each a medium of its
// own; the others answer as empty LUNs), a command table, and a block store
// in memory per LUN, optionally read from an image file.
#pragma once

#include <cstdint>
#include <array>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bus/target.h"

namespace sim {

// A medium's blocks: unwritten blocks read as zeros, or from the image file
// when there is one; writes never touch the image file. Written blocks stay
// in memory up to kMemoryBudget bytes; beyond, all of them go to a sparse
// scratch file of the store's own (unlinked, in TMPDIR or /var/tmp), with
// one bit per block saying which are there: a long run writes most of a disk,
// and its contents stay out of the simulator's memory, while a short one
// (a test, a fuzzer's execution) touches no file.
class BlockStore {
public:
    BlockStore(uint32_t block_size, uint64_t block_count) : block_size_(block_size), block_count_(block_count) {}
    ~BlockStore();
    BlockStore(const BlockStore&) = delete;
    BlockStore& operator=(const BlockStore&) = delete;
    // Opens an image; throws std::runtime_error naming the path when it
    // cannot be read or its size is not a whole, non-zero number of blocks.
    void open_image(const std::string& path);

    uint32_t block_size() const { return block_size_; }
    uint64_t block_count() const { return block_count_; }
    std::vector<uint8_t> read(uint64_t lba, uint32_t count);
    void write(uint64_t lba, const uint8_t* data, uint32_t count);
    // Back to the original contents: every write is forgotten.
    void forget_writes();

private:
    static constexpr uint64_t kMemoryBudget = 1u << 20;  // a fuzzer's or a test's run stays well inside

    bool in_scratch(uint64_t lba) const { return lba < in_scratch_.size() && in_scratch_[lba]; }
    void spill();
    void to_scratch(uint64_t lba, const uint8_t* data, uint32_t count);

    uint32_t block_size_;
    uint64_t block_count_;
    std::map<uint64_t, std::vector<uint8_t>> in_memory_;  // before the spill
    std::vector<bool> in_scratch_;  // by LBA, as far as the last block written
    int scratch_ = -1;              // after the spill: the written blocks, at lba * block_size
    std::ifstream image_;
};

struct BlockDeviceOptions {
    TargetOptions target;
    std::string vendor = "SIM";
    std::string product = "BLOCK DEVICE";
    std::string revision = "1.0";
    uint32_t block_size = 512;
    uint64_t block_count = 65536;
    std::string image_path;  // empty: memory only (every LUN starts from it)
    uint8_t luns = 1;        // 1-8
    // Media timing: a seek that grows with the distance moved, plus a random
    // part of a revolution. Sequential access costs neither.
    Nanoseconds track_seek = 0;
    Nanoseconds full_seek = 0;
    Nanoseconds revolution = 0;
    // Power-on and every bus reset raise a unit attention, as SCSI-2 devices do.
    bool unit_attention = true;
};

class BlockDevice : public Target {
public:
    BlockDevice(uint8_t id, BlockDeviceOptions options, uint8_t peripheral_type, bool read_only, bool removable);
    BlockStore& store(uint8_t lun = 0) { return lun == 0 || lun >= 8 || !more_[lun - 1] ? store_ : *more_[lun - 1]; }
    BlockDeviceOptions& device_options() { return options_; }
    // A unit attention is held for the initiator: raised at power-on and by
    // every bus reset, reported by the next command but INQUIRY and REQUEST
    // SENSE as CHECK CONDITION, or by REQUEST SENSE as its sense data.
    bool unit_attention_pending() const { return unit_attention_; }
    uint64_t unit_attentions_reported() const { return unit_attentions_reported_; }

protected:
    CommandReply execute(uint8_t lun, std::span<const uint8_t> cdb) override;
    uint8_t complete_data_out(uint8_t lun, std::span<const uint8_t> cdb, std::span<const uint8_t> data) override;
    bool lun_present(uint8_t lun) const override { return lun < options_.luns; }
    void reset_received() override { unit_attention_ = options_.unit_attention; }

private:
    CommandReply inquiry(std::span<const uint8_t> cdb);
    CommandReply read_capacity(uint8_t lun);
    CommandReply mode_sense(uint8_t lun, std::span<const uint8_t> cdb);
    CommandReply read(uint8_t lun, uint64_t lba, uint32_t count);
    CommandReply write(uint8_t lun, uint64_t lba, uint32_t count);
    Nanoseconds media_time(uint8_t lun, uint64_t lba, uint32_t count);

    BlockDeviceOptions options_;
    uint8_t peripheral_type_;
    bool read_only_;
    bool removable_;
    BlockStore store_;
    std::array<std::unique_ptr<BlockStore>, 7> more_;  // LUNs 1-7
    std::array<uint64_t, 8> head_{};  // per LUN: the block after the last one moved
    bool unit_attention_ = false;
    uint64_t unit_attentions_reported_ = 0;
};

// A direct-access disk (peripheral type 0x00).
class Disk : public BlockDevice {
public:
    Disk(uint8_t id, BlockDeviceOptions options = {});
};

// A read-only optical drive (peripheral type 0x05, 2048-byte blocks by default).
class OpticalDrive : public BlockDevice {
public:
    OpticalDrive(uint8_t id, BlockDeviceOptions options = optical_defaults());
    static BlockDeviceOptions optical_defaults();
};

}  // namespace sim
