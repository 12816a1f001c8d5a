#include "campaign.h"

#include <charconv>
#include <cmath>

#include <fmt/format.h>

namespace hbasim {

using sim::FaultSet;
using sim::workload::CampaignConfig;
using sim::workload::CampaignResult;
using sim::workload::PhaseFigures;

namespace {

std::string percent(double rate)
{
    return fmt::format("{:g}%", rate * 100);
}

nlohmann::json kinds_json(const FaultSet& kinds)
{
    nlohmann::json out = nlohmann::json::array();
    for (const sim::FaultKindRow& row : sim::kFaultKindTable)
        if (kinds.test(static_cast<size_t>(row.kind)))
            out.push_back(std::string(row.name));
    return out;
}

nlohmann::json phase_json(const PhaseFigures& f)
{
    nlohmann::json by_status = nlohmann::json::object();
    for (const auto& [status, n] : f.by_status)
        by_status[sim::workload::srb_status_name(status)] = n;
    return {{"requests", f.requests},     {"by_status", by_status}, {"short_transfers", f.short_transfers},
            {"busy_retries", f.busy_retries}, {"lost", f.lost},       {"bytes_miscompared", f.bytes_miscompared}};
}

// The fraction a rate stands for, in or out of range; nothing when it is no
// finite number with an optional '%'.
std::optional<double> written_rate(std::string_view text)
{
    const bool is_percent = !text.empty() && text.back() == '%';
    if (is_percent)
        text.remove_suffix(1);
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc{} || end != text.data() + text.size() || !std::isfinite(value))
        return std::nullopt;
    return is_percent ? value / 100 : value;
}

}  // namespace

std::optional<double> parse_rate(std::string_view text)
{
    const auto value = written_rate(text);
    if (!value || *value < 0 || *value > 1)
        return std::nullopt;
    return value;
}

std::string rate_problem(std::string_view text)
{
    if (!written_rate(text))
        return fmt::format("the rate \"{}\" is no number: give a fraction such as 0.01 or a percentage such as 1%",
                           text);
    return fmt::format("the rate {} is out of range: it must be 0-1 (0%-100%)", text);
}

std::string unknown_fault_kind(std::string_view name)
{
    std::string known;
    for (const sim::FaultKindRow& row : sim::kFaultKindTable)
        known += fmt::format("{}{}", known.empty() ? "" : ", ", row.name);
    return fmt::format("unknown fault kind \"{}\" (known: {})", name, known);
}

std::optional<FaultsOption> parse_faults_option(std::string_view text, std::string& error)
{
    const size_t colon = text.find(':');
    const std::string_view rate = text.substr(0, colon);
    FaultsOption out;
    if (const auto r = parse_rate(rate)) {
        out.rate = *r;
    } else {
        error = rate_problem(rate);
        return std::nullopt;
    }
    if (colon == std::string_view::npos)
        return out;
    std::string_view list = text.substr(colon + 1);
    if (list.empty()) {
        error = "no fault kind after ':'";
        return std::nullopt;
    }
    FaultSet kinds;
    for (;;) {
        const size_t comma = list.find(',');
        const std::string_view name = list.substr(0, comma);
        const auto kind = sim::fault_from_name(name);
        if (!kind) {
            error = name.empty() ? "an empty fault kind in the list" : unknown_fault_kind(name);
            return std::nullopt;
        }
        kinds.set(static_cast<size_t>(*kind));
        if (comma == std::string_view::npos)
            break;
        list.remove_prefix(comma + 1);
    }
    out.kinds = kinds;
    return out;
}

std::optional<CampaignConfig> campaign_config(const Scenario& scenario, const std::optional<FaultsOption>& option)
{
    if (!scenario.has_faults_table && !option)
        return std::nullopt;
    CampaignConfig config = scenario.campaign;
    config.workload = scenario.workload;
    if (option) {
        config.rate = option->rate;
        if (option->kinds)
            config.kinds = *option->kinds;
    }
    return config;
}

std::string kind_names(const FaultSet& kinds)
{
    if (kinds.all())
        return "every kind";
    if (kinds.none())
        return "none";
    std::string out;
    for (const auto& name : kinds_json(kinds))
        out += fmt::format("{}{}", out.empty() ? "" : ", ", name.get<std::string>());
    return out;
}

std::string campaign_heading(const CampaignConfig& config)
{
    std::string out = fmt::format("fault campaign: faults at {} of commands, kinds: {}\n", percent(config.rate),
                                  kind_names(config.kinds));
    for (const auto& [key, kinds] : config.device_kinds)
        out += fmt::format("  [[adapter]] {} ID {} commits {}\n", key.first, key.second, kind_names(kinds));
    for (const auto& [key, legal] : config.device_behaviours)
        out += fmt::format("  [[adapter]] {} ID {} also behaves legally at {} of commands: {}\n", key.first,
                           key.second, percent(legal.second), kind_names(legal.first));
    out += fmt::format("then {} clean requests per device\n", config.clean_requests);
    return out;
}

std::string campaign_verdict(const CampaignResult& result, size_t devices)
{
    if (result.sound() && devices == 0)
        return "no block devices on any bus: nothing to run a campaign against\n";
    if (result.sound())
        return "campaign sound: nothing lost, no byte miscompared, every device worked again after the faults\n";
    return fmt::format("campaign FAILED: {} requests lost, {} bytes miscompared, {} problem{}\n", result.lost(),
                       result.bytes_miscompared(), result.problems.size(), result.problems.size() == 1 ? "" : "s");
}

nlohmann::json event_log_json(const std::map<uint32_t, uint64_t>& logged)
{
    nlohmann::json out = nlohmann::json::object();
    for (const auto& [code, n] : logged) {
        const sim::LogCode* c = sim::find_log_code(code);
        out[c ? std::string(c->name) : fmt::format("{:#x}", code)] = n;
    }
    return out;
}

nlohmann::json campaign_json(const CampaignConfig& config, const CampaignResult& result)
{
    nlohmann::json device_kinds = nlohmann::json::array();
    for (const auto& [key, kinds] : config.device_kinds)
        device_kinds.push_back({{"scenario_adapter", key.first}, {"id", key.second}, {"kinds", kinds_json(kinds)}});
    // Every kind in play or counted, legal behaviours and faults alike, as the summary lists them.
    nlohmann::json injected = nlohmann::json::object();
    uint64_t total = 0;
    for (const sim::Conduct conduct : {sim::Conduct::Legal, sim::Conduct::Fault}) {
        const sim::workload::KindsCounted counted = sim::workload::kinds_counted(conduct, result.kinds, result.injected);
        total += counted.total;
        for (const auto& [kind, n] : counted.rows)
            injected[std::string(sim::fault_name(kind))] = n;
    }
    nlohmann::json device_behaviours = nlohmann::json::array();
    for (const auto& [key, legal] : config.device_behaviours)
        device_behaviours.push_back({{"scenario_adapter", key.first},
                                     {"id", key.second},
                                     {"behaviours", kinds_json(legal.first)},
                                     {"rate", legal.second}});
    return {{"rate", config.rate},
            {"kinds", kinds_json(config.kinds)},
            {"device_kinds", device_kinds},
            {"clean_requests_per_device", config.clean_requests},
            {"injected", injected},
            {"injected_total", total},
            {"faults_injected", result.faults_injected()},
            {"behaviours_drawn", result.behaviours_drawn()},
            {"legal_behaviours", kinds_json(result.kinds & sim::legal_behaviours())},
            {"device_behaviours", device_behaviours},
            {"with_faults", phase_json(result.faulty)},
            {"clean", phase_json(result.clean)},
            {"time_outs", result.time_outs},
            {"bus_resets", result.bus_resets},
            {"foreign_interrupts_claimed", result.foreign_interrupts},
            {"event_log", event_log_json(result.logged)},
            {"lost", result.lost()},
            {"bytes_miscompared", result.bytes_miscompared()},
            {"problems", result.problems},
            {"sound", result.sound()}};
}

}  // namespace hbasim
