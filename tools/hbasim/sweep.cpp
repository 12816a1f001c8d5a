#include "sweep.h"

#include <charconv>

#include <fmt/format.h>

#include "campaign.h"

namespace hbasim {

namespace {

// A seed as written, all digits; nothing with `error` otherwise.
std::optional<uint64_t> written_seed(std::string_view text, std::string& error)
{
    uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec == std::errc::result_out_of_range && end == text.data() + text.size()) {
        error = fmt::format("{} is beyond the largest seed, {}", text, UINT64_MAX);
        return std::nullopt;
    }
    if (text.empty() || ec != std::errc{} || end != text.data() + text.size()) {
        error = "give the seeds as a range FIRST..LAST, such as 1..1000";
        return std::nullopt;
    }
    return value;
}

uint64_t number(const nlohmann::json& object, const char* key)
{
    const auto it = object.find(key);
    return it != object.end() && it->is_number_unsigned() ? it->get<uint64_t>() : 0;
}

uint64_t sum_of(const nlohmann::json& object)
{
    uint64_t n = 0;
    for (const auto& v : object)
        n += v.is_number_unsigned() ? v.get<uint64_t>() : 0;
    return n;
}

}  // namespace

std::optional<SeedRange> parse_seed_range(std::string_view text, std::string& error)
{
    const size_t dots = text.find("..");
    if (dots == std::string_view::npos) {
        error = "give the seeds as a range FIRST..LAST, such as 1..1000";
        return std::nullopt;
    }
    const auto first = written_seed(text.substr(0, dots), error);
    if (!first)
        return std::nullopt;
    const auto last = written_seed(text.substr(dots + 2), error);
    if (!last)
        return std::nullopt;
    if (*last < *first) {
        error = fmt::format("the range ends at {}, before its first seed {}", *last, *first);
        return std::nullopt;
    }
    return SeedRange{*first, *last};
}

std::string seed_list(const std::vector<uint64_t>& seeds)
{
    std::string out;
    for (size_t i = 0; i < seeds.size();) {
        size_t j = i;
        while (j + 1 < seeds.size() && seeds[j + 1] == seeds[j] + 1)
            j++;
        out += out.empty() ? "" : ", ";
        out += j == i ? fmt::to_string(seeds[i]) : fmt::format("{}..{}", seeds[i], seeds[j]);
        i = j + 1;
    }
    return out;
}

nlohmann::ordered_json seed_line(const SeedRun& run)
{
    const nlohmann::json& f = run.figures;
    nlohmann::ordered_json line = {{"scenario", run.scenario}, {"seed", run.seed}};
    if (run.fault_rate)
        line["faults"] = {{"rate", *run.fault_rate}, {"kinds", kind_names(run.fault_kinds)}};
    line["ok"] = run.ok;
    line["devices"] = f.contains("devices") ? f["devices"].size() : 0;
    const nlohmann::json total = f.contains("results") ? f["results"].value("total", nlohmann::json::object())
                                                       : nlohmann::json::object();
    if (f.contains("campaign")) {
        const nlohmann::json& c = f["campaign"];
        line["requests"] = number(c.value("with_faults", nlohmann::json::object()), "requests") +
                           number(c.value("clean", nlohmann::json::object()), "requests");
        line["faults_injected"] = number(c, "faults_injected");
        line["time_outs"] = number(c, "time_outs");
        line["bus_resets"] = number(c, "bus_resets");
        line["lost"] = number(c, "lost");
        line["bytes_miscompared"] = number(c, "bytes_miscompared");
    } else {
        line["requests"] = number(total, "requests");
        line["failed"] = sum_of(total.value("errors", nlohmann::json::object()));
        line["lost"] = number(total, "lost");
        line["bytes_miscompared"] = number(total, "bytes_miscompared");
    }
    // The workload's (a campaign's phase with faults), and the whole run's from power-on.
    line["workload_ns"] = f.contains("results") ? number(f["results"], "elapsed_ns") : 0;
    line["virtual_time_ns"] = run.virtual_time_ns;
    line["model_errors"] = number(f, "model_errors");
    if (f.contains("driver_stack"))
        line["stack_deepest"] = number(f["driver_stack"], "deepest");
    if (!run.ok) {
        line["problems"] = f.value("problems", nlohmann::json::array());
        if (!run.model_errors.empty())
            line["first_model_errors"] = run.model_errors;
    }
    return line;
}

}  // namespace hbasim
