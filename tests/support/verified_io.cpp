#include "support/verified_io.h"

namespace hbatest {

sim::workload::BlockModel& VerifiedIo::Model(uint8_t target)
{
    std::unique_ptr<sim::workload::BlockModel>& model = models_[target];
    if (!model)
        model = std::make_unique<sim::workload::BlockModel>(target, kBlock);
    return *model;
}

sim::Request& VerifiedIo::Issue(uint8_t target, bool write, uint32_t lba, uint16_t blocks, uint8_t queue_action,
                                std::function<void()> done)
{
    sim::PhysicalMemory::Buffer& buffer = TakeBuffer(blocks * kBlock);
    sim::RequestSpec request_spec;
    request_spec.target = target;
    request_spec.queue_action = queue_action;
    request_spec.queue_action_enable = queue_action != 0;
    request_spec.cdb = write ? Write10(lba, blocks) : Read10(lba, blocks);
    request_spec.buffer = &buffer;
    request_spec.length = blocks * kBlock;
    request_spec.direction = write ? sim::DataDirection::Out : sim::DataDirection::In;
    sim::workload::BlockModel& model = Model(target);
    if (write) {
        // Later commands expect what this one writes: the caller keeps
        // overlapping commands apart, so the order they are issued in holds.
        const uint32_t generation = model.next_generation();
        for (uint16_t b = 0; b < blocks; b++)
            model.fill(lba + b, generation, buffer.data + b * kBlock);
        model.written(lba, blocks, generation);
    } else {
        std::fill(buffer.data, buffer.data + blocks * kBlock, 0xA5);
    }
    issued_++;
    return fixture_.port().submit(0, request_spec, [this, target, write, lba, blocks, &buffer, done](const sim::Request& r) {
        Check(r, target, write, lba, blocks, buffer);
        free_.push_back(&buffer);
        if (done)
            done();
    });
}

void VerifiedIo::ExpectMediaMatches()
{
    for (auto& [target, model] : models_) {
        auto* device = dynamic_cast<sim::BlockDevice*>(fixture_.bus().target(target));
        ASSERT_NE(device, nullptr);
        for (uint64_t lba : model->written_blocks()) {
            std::vector<uint8_t> block = device->store().read(lba, 1);
            const sim::workload::BlockModel::Check check = model->check(lba, block.data());
            if (check.bytes_wrong) {
                ADD_FAILURE() << "target " << int(target) << ": " << check.what;
                return;
            }
        }
    }
}

sim::PhysicalMemory::Buffer& VerifiedIo::TakeBuffer(uint32_t length)
{
    for (size_t i = 0; i < free_.size(); i++)
        if (free_[i]->length == length) {
            sim::PhysicalMemory::Buffer* b = free_[i];
            free_.erase(free_.begin() + long(i));
            return *b;
        }
    uint32_t offset = uint32_t(fixture_.machine().rng().range(0, 511)) * 8;
    return fixture_.machine().memory().allocate(length, offset, sim::PhysicalMemory::Layout::Scattered);
}

void VerifiedIo::Check(const sim::Request& r, uint8_t target, bool write, uint32_t lba, uint16_t blocks,
                       const sim::PhysicalMemory::Buffer& buffer)
{
    order_.push_back(r.id);
    if (r.srb.SrbStatus != SRB_STATUS_SUCCESS) {
        bad_++;
        if (bad_ <= 5)
            ADD_FAILURE() << "request " << r.id << " to target " << int(target) << " ended with SRB status "
                          << int(r.srb.SrbStatus) << ", SCSI status " << int(r.srb.ScsiStatus);
        return;
    }
    good_++;
    if (write)
        return;
    sim::workload::BlockModel& model = Model(target);
    for (uint16_t b = 0; b < blocks; b++) {
        const sim::workload::BlockModel::Check check = model.check(lba + b, buffer.data + b * kBlock);
        if (check.bytes_wrong) {
            bad_++;
            if (bad_ <= 5)
                ADD_FAILURE() << "read of target " << int(target) << ": " << check.what;
            return;
        }
    }
}

}  // namespace hbatest
