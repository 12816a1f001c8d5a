#include "bus/block_device.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include <fmt/format.h>

#include <fcntl.h>
#include <unistd.h>

namespace sim {

using namespace scsi;

namespace {

uint32_t be16(std::span<const uint8_t> p, size_t at) { return (uint32_t{p[at]} << 8) | p[at + 1]; }
uint32_t be32(std::span<const uint8_t> p, size_t at) { return (be16(p, at) << 16) | be16(p, at + 2); }

void put_be32(std::vector<uint8_t>& out, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        out[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

void put_text(std::vector<uint8_t>& out, size_t at, size_t width, const std::string& text)
{
    for (size_t i = 0; i < width; i++)
        out[at + i] = i < text.size() ? static_cast<uint8_t>(text[i]) : ' ';
}

CommandReply data_in(std::vector<uint8_t> data, size_t allocation_length)
{
    data.resize(std::min(data.size(), allocation_length));
    return CommandReply{.direction = DataDirection::In, .data = std::move(data)};
}

}  // namespace

// --- BlockStore ---

void BlockStore::open_image(const std::string& path)
{
    std::error_code ec;
    uintmax_t size = std::filesystem::file_size(path, ec);
    if (ec)
        throw std::runtime_error(fmt::format("disk image {}: {}", path, ec.message()));
    if (size == 0 || size % block_size_ != 0)
        throw std::runtime_error(
            fmt::format("disk image {}: size {} is not a whole number of {}-byte blocks", path, size, block_size_));
    image_.open(path, std::ios::binary);
    if (!image_)
        throw std::runtime_error(fmt::format("disk image {}: cannot be opened for reading", path));
    block_count_ = size / block_size_;
}

BlockStore::~BlockStore()
{
    if (scratch_ >= 0)
        ::close(scratch_);
}

namespace {
void transfer_all(bool write, int fd, uint8_t* data, size_t length, off_t at)
{
    while (length > 0) {
        const ssize_t n = write ? ::pwrite(fd, data, length, at) : ::pread(fd, data, length, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw std::runtime_error(fmt::format("block store scratch file: {} failed at offset {}",
                                                 write ? "write" : "read", at));
        data += n;
        length -= static_cast<size_t>(n);
        at += n;
    }
}
}  // namespace

std::vector<uint8_t> BlockStore::read(uint64_t lba, uint32_t count)
{
    std::vector<uint8_t> out(size_t{count} * block_size_, 0);
    for (uint32_t i = 0; i < count; i++) {
        uint8_t* dest = out.data() + size_t{i} * block_size_;
        if (auto it = in_memory_.find(lba + i); it != in_memory_.end()) {
            std::copy(it->second.begin(), it->second.end(), dest);
        } else if (in_scratch(lba + i)) {
            transfer_all(false, scratch_, dest, block_size_, static_cast<off_t>((lba + i) * block_size_));
        } else if (image_.is_open()) {
            image_.clear();
            image_.seekg(static_cast<std::streamoff>((lba + i) * block_size_));
            image_.read(reinterpret_cast<char*>(dest), block_size_);
        }
    }
    return out;
}

void BlockStore::write(uint64_t lba, const uint8_t* data, uint32_t count)
{
    if (count == 0)
        return;
    if (scratch_ < 0 && (in_memory_.size() + count) * block_size_ > kMemoryBudget)
        spill();
    if (scratch_ < 0) {
        for (uint32_t i = 0; i < count; i++)
            in_memory_[lba + i].assign(data + size_t{i} * block_size_, data + size_t{i + 1} * block_size_);
        return;
    }
    to_scratch(lba, data, count);
}

// The written blocks outgrew their budget: they move to a scratch file, and
// so does every block written from now on.
void BlockStore::spill()
{
    const char* dir = std::getenv("TMPDIR");
    std::string path = fmt::format("{}/hba-blocks-XXXXXX", dir && *dir ? dir : "/var/tmp");
    scratch_ = ::mkstemp(path.data());
    if (scratch_ < 0)
        throw std::runtime_error(fmt::format("block store: cannot create a scratch file {}", path));
    ::unlink(path.c_str());
    for (const auto& [lba, block] : in_memory_)
        to_scratch(lba, block.data(), 1);
    in_memory_.clear();
}

void BlockStore::to_scratch(uint64_t lba, const uint8_t* data, uint32_t count)
{
    transfer_all(true, scratch_, const_cast<uint8_t*>(data), size_t{count} * block_size_,
                 static_cast<off_t>(lba * block_size_));
    if (in_scratch_.size() < lba + count) {
        // The whole medium's bits at once: 1/4096 of its size in bytes.
        in_scratch_.reserve(std::max<uint64_t>(block_count_, lba + count));
        in_scratch_.resize(std::max<uint64_t>(block_count_, lba + count));
    }
    for (uint32_t i = 0; i < count; i++)
        in_scratch_[lba + i] = true;
}

void BlockStore::forget_writes()
{
    in_memory_.clear();
    in_scratch_.clear();
    if (scratch_ >= 0 && ::ftruncate(scratch_, 0) != 0)
        throw std::runtime_error("block store: cannot empty its scratch file");
}

// --- BlockDevice ---

BlockDevice::BlockDevice(uint8_t id, BlockDeviceOptions options, uint8_t peripheral_type, bool read_only, bool removable)
    : Target(id, options.target), options_(std::move(options)), peripheral_type_(peripheral_type), read_only_(read_only),
      removable_(removable), store_(options_.block_size, options_.block_count)
{
    if (!options_.image_path.empty())
        store_.open_image(options_.image_path);
    for (uint8_t lun = 1; lun < std::min<uint8_t>(options_.luns, 8); lun++) {
        more_[lun - 1] = std::make_unique<BlockStore>(options_.block_size, store_.block_count());
        if (!options_.image_path.empty())
            more_[lun - 1]->open_image(options_.image_path);
    }
    unit_attention_ = options_.unit_attention;  // powered on
}

CommandReply BlockDevice::execute(uint8_t lun, std::span<const uint8_t> cdb)
{
    if (unit_attention_ && cdb[0] != op::kInquiry) {
        unit_attention_ = false;
        ++unit_attentions_reported_;
        if (cdb[0] == op::kRequestSense) {
            set_sense(lun, {SenseKey::UnitAttention, Asc::PowerOnOrReset});
            return request_sense(lun, cdb);
        }
        return check_condition(lun, SenseKey::UnitAttention, Asc::PowerOnOrReset);
    }
    switch (cdb[0]) {
    case op::kTestUnitReady: return {};
    case op::kRequestSense: return request_sense(lun, cdb);
    case op::kInquiry: return inquiry(cdb);
    case op::kReadCapacity: return read_capacity(lun);
    case op::kModeSense6: return mode_sense(lun, cdb);
    case op::kRead6: return read(lun, ((cdb[1] & 0x1Fu) << 16) | be16(cdb, 2), cdb[4] ? cdb[4] : 256);
    case op::kRead10: return read(lun, be32(cdb, 2), be16(cdb, 7));
    case op::kWrite6: return write(lun, ((cdb[1] & 0x1Fu) << 16) | be16(cdb, 2), cdb[4] ? cdb[4] : 256);
    case op::kWrite10: return write(lun, be32(cdb, 2), be16(cdb, 7));
    default: return check_condition(lun, SenseKey::IllegalRequest, Asc::InvalidOpcode);
    }
}

CommandReply BlockDevice::inquiry(std::span<const uint8_t> cdb)
{
    if (cdb[1] & 0x01)  // vital product data pages: not supported
        return check_condition(0, SenseKey::IllegalRequest, Asc::InvalidFieldInCdb);
    std::vector<uint8_t> data(36, 0);
    data[0] = peripheral_type_;
    data[1] = removable_ ? 0x80 : 0x00;
    data[2] = 0x02;  // SCSI-2
    data[3] = 0x02;  // response data format
    data[4] = 31;
    data[7] = static_cast<uint8_t>((options_.target.sdtr != SdtrAnswer::Reject ? 0x10 : 0) |
                                   (options_.target.tagged_queuing ? 0x02 : 0));
    put_text(data, 8, 8, options_.vendor);
    put_text(data, 16, 16, options_.product);
    put_text(data, 32, 4, options_.revision);
    return data_in(std::move(data), cdb[4]);
}

CommandReply BlockDevice::read_capacity(uint8_t lun)
{
    std::vector<uint8_t> data(8, 0);
    put_be32(data, 0, static_cast<uint32_t>(store(lun).block_count() - 1));
    put_be32(data, 4, store(lun).block_size());
    return data_in(std::move(data), 8);
}

// Header and one block descriptor; no pages.
CommandReply BlockDevice::mode_sense(uint8_t lun, std::span<const uint8_t> cdb)
{
    const BlockStore& medium = store(lun);
    std::vector<uint8_t> data(12, 0);
    data[0] = 11;
    data[2] = read_only_ ? 0x80 : 0x00;  // write protected
    data[3] = 8;
    uint32_t blocks = static_cast<uint32_t>(std::min<uint64_t>(medium.block_count(), 0xFFFFFF));
    put_be32(data, 4, blocks);
    data[4] = 0;  // density code
    put_be32(data, 8, medium.block_size());
    data[8] = 0;
    return data_in(std::move(data), cdb[4]);
}

Nanoseconds BlockDevice::media_time(uint8_t lun, uint64_t lba, uint32_t count)
{
    Nanoseconds t = 0;
    uint64_t& head = head_[lun & 7];
    if (lba != head) {
        uint64_t distance = lba > head ? lba - head : head - lba;
        t += options_.track_seek + (options_.full_seek * distance) / std::max<uint64_t>(1, store_.block_count());
        if (options_.revolution)
            t += rng().range(0, options_.revolution);
    }
    head = lba + count;
    return t;
}

CommandReply BlockDevice::read(uint8_t lun, uint64_t lba, uint32_t count)
{
    BlockStore& medium = store(lun);
    if (lba + count > medium.block_count())
        return check_condition(lun, SenseKey::IllegalRequest, Asc::LbaOutOfRange);
    CommandReply reply{.direction = DataDirection::In, .data = medium.read(lba, count)};
    reply.media_time = count ? media_time(lun, lba, count) : 0;
    return reply;
}

CommandReply BlockDevice::write(uint8_t lun, uint64_t lba, uint32_t count)
{
    BlockStore& medium = store(lun);
    if (read_only_)
        return check_condition(lun, SenseKey::DataProtect, Asc::WriteProtected);
    if (lba + count > medium.block_count())
        return check_condition(lun, SenseKey::IllegalRequest, Asc::LbaOutOfRange);
    CommandReply reply{.direction = DataDirection::Out, .data = std::vector<uint8_t>(size_t{count} * medium.block_size())};
    reply.media_time = count ? media_time(lun, lba, count) : 0;
    return reply;
}

uint8_t BlockDevice::complete_data_out(uint8_t lun, std::span<const uint8_t> cdb, std::span<const uint8_t> data)
{
    uint64_t lba = cdb[0] == op::kWrite6 ? (((cdb[1] & 0x1Fu) << 16) | be16(cdb, 2)) : be32(cdb, 2);
    BlockStore& medium = store(lun);
    medium.write(lba, data.data(), static_cast<uint32_t>(data.size() / medium.block_size()));
    return status::kGood;
}

Disk::Disk(uint8_t id, BlockDeviceOptions options) : BlockDevice(id, std::move(options), 0x00, false, false) {}

BlockDeviceOptions OpticalDrive::optical_defaults()
{
    BlockDeviceOptions o;
    o.product = "OPTICAL DRIVE";
    o.block_size = 2048;
    o.block_count = 32768;
    o.target.tagged_queuing = false;
    return o;
}

OpticalDrive::OpticalDrive(uint8_t id, BlockDeviceOptions options)
    : BlockDevice(id, std::move(options), 0x05, true, true)
{
}

}  // namespace sim
