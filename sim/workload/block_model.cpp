#include "workload/block_model.h"

#include <algorithm>
#include <cstring>

#include <fmt/format.h>

namespace sim::workload {

namespace {

constexpr uint64_t kMagic = 0x5743'4B42'4C4B'0000;  // marks a block written by a workload
constexpr size_t kHeader = 24;                      // magic, LBA, key and generation

uint64_t mix(uint64_t x)
{
    x += 0x9E37'79B9'7F4A'7C15;
    x = (x ^ (x >> 30)) * 0xBF58'476D'1CE4'E5B9;
    x = (x ^ (x >> 27)) * 0x94D0'49BB'1331'11EB;
    return x ^ (x >> 31);
}

uint64_t load64(const uint8_t* p)
{
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

}  // namespace

BlockModel::BlockModel(uint32_t device_key, uint32_t block_size, const std::string& image_path)
    : key_(device_key), block_size_(block_size), expected_(block_size)
{
    if (!image_path.empty())
        image_.emplace(image_path, std::ios::binary);
}

void BlockModel::fill(uint64_t lba, uint32_t generation, uint8_t* out) const
{
    const uint64_t who = uint64_t{key_} << 32 | generation;
    uint64_t header[3] = {kMagic, lba, who};
    const size_t head = std::min<size_t>(kHeader, block_size_);
    std::memcpy(out, header, head);
    const uint64_t seed = mix(lba ^ mix(who));
    for (size_t at = head; at < block_size_; at += 8) {
        const uint64_t word = mix(seed + at);
        std::memcpy(out + at, &word, std::min<size_t>(8, block_size_ - at));
    }
}

void BlockModel::written(uint64_t lba, uint32_t count, uint32_t generation)
{
    if (count == 0)
        return;
    const uint64_t need = lba + count;
    if (generations_.size() < need) {
        // Doubled while small, then grown in steps of 64 Ki blocks: never
        // more than 64 Ki blocks past the last block written, whenever in
        // the run that was, and a small device's model stays small.
        constexpr uint64_t kStep = uint64_t{1} << 16;
        const uint64_t capacity = generations_.capacity();
        if (capacity < need)
            generations_.reserve(std::max(need, std::min(capacity * 2, capacity + kStep)));
        generations_.resize(need);
    }
    for (uint32_t i = 0; i < count; i++) {
        written_ += generations_[lba + i] == 0;
        generations_[lba + i] = generation;
    }
}

std::vector<uint64_t> BlockModel::written_blocks() const
{
    std::vector<uint64_t> out;
    out.reserve(written_);
    for (uint64_t lba = 0; lba < generations_.size(); lba++)
        if (generations_[lba] != 0)
            out.push_back(lba);
    return out;
}

uint32_t BlockModel::generation(uint64_t lba) const
{
    return lba < generations_.size() ? generations_[lba] : 0;
}

void BlockModel::original(uint64_t lba, uint8_t* out)
{
    std::fill(out, out + block_size_, 0);
    if (!image_ || !*image_)
        return;
    image_->clear();
    image_->seekg(static_cast<std::streamoff>(lba * block_size_));
    image_->read(reinterpret_cast<char*>(out), block_size_);
    image_->clear();
}

BlockModel::Check BlockModel::check(uint64_t lba, const uint8_t* data)
{
    const uint32_t g = generation(lba);
    if (g == kUnknown)
        return {};
    if (g == 0 && !image_) {
        // Never written, no image: zeros, checked without building them.
        if (data[0] == 0 && std::memcmp(data, data + 1, block_size_ - 1) == 0)
            return {};
        std::fill(expected_.begin(), expected_.end(), 0);
    } else if (g == 0)
        original(lba, expected_.data());
    else
        fill(lba, g, expected_.data());
    Check result;
    if (std::memcmp(data, expected_.data(), block_size_) == 0)
        return result;
    for (uint32_t i = 0; i < block_size_; i++)
        result.bytes_wrong += data[i] != expected_[i];
    if (result.bytes_wrong)
        result.what = fmt::format("LBA {} should hold {} but holds {}", lba,
                                  g == 0 ? std::string("its original contents") : fmt::format("generation {}", g),
                                  describe(lba, data));
    return result;
}

std::string BlockModel::describe(uint64_t lba, const uint8_t* data) const
{
    if (block_size_ < kHeader || load64(data) != kMagic)
        return "no workload pattern";
    const uint64_t at = load64(data + 8);
    const uint64_t who = load64(data + 16);
    const auto key = static_cast<uint32_t>(who >> 32);
    const auto g = static_cast<uint32_t>(who);
    std::string where = at == lba ? "" : fmt::format(" of LBA {}", at);
    std::string device = key == key_ ? "" : fmt::format(" of device {:#x}", key);
    std::vector<uint8_t> clean(block_size_);
    fill(at, g, clean.data());
    const bool intact = std::equal(clean.begin(), clean.end(), data);
    return fmt::format("generation {}{}{}{}", g, where, device, intact ? "" : ", damaged");
}

}  // namespace sim::workload
