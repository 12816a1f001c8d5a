#include "bus/fault_kinds.h"

namespace sim {

std::string_view fault_name(FaultKind kind) { return fault_row(kind).name; }

std::optional<FaultKind> fault_from_name(std::string_view name)
{
    for (const FaultKindRow& row : kFaultKindTable)
        if (row.name == name)
            return row.kind;
    return std::nullopt;
}

FaultSet all_faults() { return FaultSet{}.set(); }

bool is_legal(FaultKind kind) { return fault_row(kind).conduct == Conduct::Legal; }

FaultSet legal_behaviours()
{
    FaultSet legal;
    for (const FaultKindRow& row : kFaultKindTable)
        if (row.conduct == Conduct::Legal)
            legal.set(static_cast<size_t>(row.kind));
    return legal;
}

bool is_timed(FaultKind kind) { return fault_row(kind).moment == Moment::Timed; }

}  // namespace sim
