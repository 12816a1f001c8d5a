// What every block of a device should hold, as far as the workload knows:
// never written (the device's original contents: zeros, or its image file),
// written by generation g (a pattern that encodes the device, the LBA and
// the generation, so that a block written to the wrong place or a stale
// block is told apart from the right one), or unknown after a write that
// failed (it may have landed in part).
#pragma once

#include <cstdint>
#include <fstream>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace sim::workload {

class BlockModel {
public:
    static constexpr uint32_t kUnknown = UINT32_MAX;

    // `device_key` identifies the device in the pattern; `image_path` is its
    // image file (empty: the device starts all zeros).
    BlockModel(uint32_t device_key, uint32_t block_size, const std::string& image_path = {});

    uint32_t block_size() const { return block_size_; }
    // The next generation to write.
    uint32_t next_generation() { return ++last_generation_; }
    // Fills `out` (block_size bytes) with the pattern of `lba` at `generation`.
    void fill(uint64_t lba, uint32_t generation, uint8_t* out) const;
    // A write finished: the blocks now hold `generation`, or kUnknown.
    void written(uint64_t lba, uint32_t count, uint32_t generation);
    uint32_t generation(uint64_t lba) const;
    // Every block written at least once, in no particular order.
    std::vector<uint64_t> written_blocks() const;

    struct Check {
        uint64_t bytes_wrong = 0;
        std::string what;  // for the first wrong block: what it holds instead
    };
    // Compares one block read from `lba` with what it should hold. Unknown blocks are not compared.
    Check check(uint64_t lba, const uint8_t* data);

private:
    void original(uint64_t lba, uint8_t* out);
    std::string describe(uint64_t lba, const uint8_t* data) const;

    uint32_t key_;
    uint32_t block_size_;
    uint32_t last_generation_ = 0;
    // By LBA, as far as the last block written; 0: never written.
    std::vector<uint32_t> generations_;
    uint64_t written_ = 0;  // blocks written at least once
    std::optional<std::ifstream> image_;
    std::vector<uint8_t> expected_;
};

}  // namespace sim::workload
