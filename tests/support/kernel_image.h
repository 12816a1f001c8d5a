// A freshly loaded hba.sys (its globals zero), bound to the simulator's port
// driver services, its privileged instructions trapped while it lives. Load
// one per machine: a second boot of the same image would see the first one's
// globals.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "loader/loaded_image.h"
#include "loader/port_driver_exports.h"
#include "loader/privileged.h"
#include "pc/machine.h"
#include "support/pe_image.h"

namespace hbatest {

class KernelImage {
public:
    KernelImage()
    {
        file_ = BuiltImage();
        std::string error;
        image_ = sim::loader::LoadedImage::load(file_, sim::loader::resolve_port_driver_export, error);
        EXPECT_TRUE(image_) << error;
        if (image_) {
            EXPECT_TRUE(sim::loader::trap_privileged_instructions(*image_));
        }
    }
    ~KernelImage()
    {
        if (image_)
            sim::loader::forget_privileged_instructions(*image_);
    }
    KernelImage(const KernelImage&) = delete;
    KernelImage& operator=(const KernelImage&) = delete;

    bool ok() const { return image_ != nullptr; }
    sim::Machine::EntryPoint entry() const
    {
        return reinterpret_cast<sim::Machine::EntryPoint>(static_cast<uintptr_t>(image_->entry()));
    }

private:
    std::vector<uint8_t> file_;
    std::unique_ptr<sim::loader::LoadedImage> image_;
};

}  // namespace hbatest
