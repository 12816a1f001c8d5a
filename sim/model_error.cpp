#include "model_error.h"

#include <fmt/format.h>

namespace sim {

std::string ModelError::to_string() const
{
    return fmt::format("model error at {}.{:03} us ({}): {}", time / 1000, time % 1000, component, message);
}

void ModelErrors::report(std::string component, std::string message)
{
    if (count_++ < kKept)
        errors_.push_back(ModelError{clock_.now(), std::move(component), std::move(message)});
}

std::string ModelErrors::summary() const
{
    std::string out;
    for (const ModelError& e : errors_)
        out += e.to_string() + "\n";
    if (count_ > errors_.size())
        out += fmt::format("and {} more\n", count_ - errors_.size());
    return out;
}

}  // namespace sim
