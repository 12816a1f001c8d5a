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
    void report(std::string component, std::string message);
    const std::vector<ModelError>& all() const { return errors_; }
    bool empty() const { return errors_.empty(); }
    std::string summary() const;  // one line per error
    void clear() { errors_.clear(); }

private:
    const Clock& clock_;
    std::vector<ModelError> errors_;
};

}  // namespace sim
