// A freshly built hba.sys, checked and laid out, to boot on the emulated
// i386 processor: each machine it boots gets a fresh copy (its globals zero).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "loader/emulated_driver.h"
#include "pc/machine.h"
#include "support/pe_image.h"

namespace hbatest {

class KernelImage {
public:
    explicit KernelImage(sim::loader::EmulatedDriver::Options options = {})
        : KernelImage(BuiltImage(), options)
    {
    }
    KernelImage(std::vector<uint8_t> file, sim::loader::EmulatedDriver::Options options)
    {
        std::string error;
        driver_ = sim::loader::EmulatedDriver::open(std::move(file), options, error);
        EXPECT_TRUE(driver_) << error;
    }

    bool ok() const { return driver_ != nullptr; }
    sim::loader::EmulatedDriver& driver() { return *driver_; }

private:
    std::unique_ptr<sim::loader::EmulatedDriver> driver_;
};

}  // namespace hbatest
