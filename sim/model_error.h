// Model errors: every rule of the hardware, the bus or the port driver that
// the driver breaks is recorded here, with who broke it and when. Tests fail
// on any. Nothing is thrown: the driver's frames have no unwind tables.
#pragma once

#include <string>
#include <vector>

#include "clock.h"

namespace sim {

struct ModelError {
    Nanoseconds time;
    std::string component;  // whose rule was broken: "chip", "pci", "port driver", ...
    std::string message;    // which rule, in words
    std::string to_string() const;
};

class ModelErrors {
public:
    explicit ModelErrors(const Clock& clock) : clock_(clock) {}
    // The first kKept errors are kept in full, the rest counted: a driver
    // that breaks a rule on every request of a long run would otherwise fill
    // the memory with the same sentence.
    static constexpr size_t kKept = 1000;
    void report(std::string component, std::string message);
    const std::vector<ModelError>& all() const { return errors_; }  // the first kKept
    uint64_t count() const { return count_; }                       // every error reported
    bool empty() const { return count_ == 0; }
    std::string summary() const;  // one line per error kept
    void clear()
    {
        errors_.clear();
        count_ = 0;
    }

private:
    const Clock& clock_;
    std::vector<ModelError> errors_;
    uint64_t count_ = 0;
};

}  // namespace sim
