#include "results.h"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

namespace hbasim {

using sim::workload::DeviceResult;
using sim::workload::Results;
using sim::workload::ScannedDevice;

namespace {

double us(sim::Nanoseconds ns)
{
    return static_cast<double>(ns) / 1000.0;
}

std::string errors_text(const DeviceResult& r)
{
    std::string out;
    for (const auto& [status, count] : r.errors)
        out += fmt::format("{}{} {}", out.empty() ? "" : ", ", count, sim::workload::srb_status_name(status));
    return out.empty() ? "-" : out;
}

std::string result_row(const std::string& who, const DeviceResult& r)
{
    return fmt::format("{:<12} {:>8} {:>7} {:>7} {:>10.0f} {:>8.2f} {:>9.1f} {:>9.1f} {:>9.1f} {:>6} {:>10} {:>5}  {}\n",
                       who, r.requests, r.reads, r.writes, r.iops, r.mb_per_s, us(r.latency.p50), us(r.latency.p99),
                       us(r.latency.max), r.busy_retries, r.bytes_miscompared, r.lost, errors_text(r));
}

nlohmann::json unusual_json(const sim::workload::UnusualCounts& u)
{
    return {{"open_direction", u.open_direction},     {"no_disconnect", u.no_disconnect},
            {"no_synch", u.no_synch},                 {"read_flagged_out", u.read_flagged_out},
            {"read_unflagged", u.read_unflagged},     {"write_flagged_in", u.write_flagged_in},
            {"write_unflagged", u.write_unflagged},   {"linked", u.linked},
            {"not_refused", u.wrong},                 {"flags_ignored", u.flags_ignored}};
}

nlohmann::json result_json(const DeviceResult& r)
{
    nlohmann::json errors = nlohmann::json::object();
    for (const auto& [status, count] : r.errors)
        errors[sim::workload::srb_status_name(status)] = count;
    return {{"requests", r.requests},
            {"reads", r.reads},
            {"writes", r.writes},
            {"bytes", r.bytes},
            {"iops", r.iops},
            {"mb_per_s", r.mb_per_s},
            {"latency_ns", {{"p50", r.latency.p50}, {"p99", r.latency.p99}, {"max", r.latency.max}}},
            {"busy_retries", r.busy_retries},
            {"unit_attentions", r.unit_attentions},
            {"resent", {{"in_all", r.resent}, {"busy", r.resent_busy}, {"after_reset", r.resent_after_reset}}},
            {"errors", errors},
            {"bytes_miscompared", r.bytes_miscompared},
            {"blocks_miscompared", r.blocks_miscompared},
            {"lost", r.lost},
            {"unusual", unusual_json(r.unusual)},
            {"failures", r.failures}};
}

nlohmann::json device_json(const ScannedDevice& d)
{
    return {{"adapter", d.adapter},   {"id", d.target},           {"lun", d.lun},
            {"kind", d.kind()},       {"vendor", d.vendor},       {"product", d.product},
            {"blocks", d.block_count}, {"block_size", d.block_size}, {"period_ns", d.period_ns},
            {"offset", d.offset},     {"tag_depth", d.tag_depth}};
}

}  // namespace

std::string device_table(const std::vector<ScannedDevice>& devices)
{
    std::string out = fmt::format("{} device{} found by the start-up scan\n", devices.size(),
                                  devices.size() == 1 ? "" : "s");
    if (devices.empty())
        return out;
    out += "adapter ID LUN kind     vendor   product           capacity            period offset tags\n";
    for (const ScannedDevice& d : devices) {
        const double mib = static_cast<double>(d.block_count) * d.block_size / (1024.0 * 1024.0);
        out += fmt::format("{:>7} {:>2} {:>3} {:<8} {:<8} {:<16} {:>9} x {:<5} {:>7.1f} MiB {:>6} {:>6} {:>4}\n", d.adapter,
                           d.target, d.lun, d.kind(), d.vendor, d.product, d.block_count, d.block_size, mib,
                           d.period_ns ? fmt::format("{} ns", d.period_ns) : "async",
                           d.offset ? fmt::to_string(d.offset) : "-", d.tag_depth ? fmt::to_string(d.tag_depth) : "-");
    }
    return out;
}

std::string results_table(const Results& res)
{
    std::string out = fmt::format("workload: {:.3f} ms of virtual time\n", static_cast<double>(res.elapsed) / 1e6);
    out += fmt::format("{:<12} {:>8} {:>7} {:>7} {:>10} {:>8} {:>9} {:>9} {:>9} {:>6} {:>10} {:>5}  {}\n", "device",
                       "requests", "reads", "writes", "IOPS", "MB/s", "p50 us", "p99 us", "max us", "busy",
                       "miscompare", "lost", "errors");
    for (const DeviceResult& r : res.devices)
        out += result_row(fmt::format("{}:{}:{}", r.device.adapter, r.device.target, r.device.lun), r);
    out += result_row("total", res.total);
    out += "adapter  requests  bus busy  data MB/s  bus limit MB/s  share of limit  interrupts/request\n";
    const double seconds = std::max(1e-9, static_cast<double>(res.elapsed) / 1e9);
    for (const auto& a : res.adapters)
        out += fmt::format("{:>7} {:>9} {:>8.1f}% {:>10.2f} {:>15.2f} {:>14.1f}% {:>19.2f}\n", a.adapter, a.requests,
                           a.bus_busy * 100, static_cast<double>(a.data_bytes) / seconds / 1e6, a.bus_limit / 1e6,
                           a.bus_share * 100, a.interrupts_per_request);
    out += fmt::format("port accesses: {} in all, {:.1f} per request\n", res.port_accesses, res.port_accesses_per_request);
    const sim::workload::UnusualCounts& u = res.total.unusual;
    out += fmt::format("with flags of their own: {} direction left open, {} no disconnection, {} no synchronous "
                       "negotiation ({} selections ignoring them); refused: {} against their direction, {} linked, {} of "
                       "them not refused\n",
                       u.open_direction, u.no_disconnect, u.no_synch, u.flags_ignored, u.against(), u.linked, u.wrong);
    return out;
}

nlohmann::json devices_json(const std::vector<ScannedDevice>& devices)
{
    nlohmann::json out = nlohmann::json::array();
    for (const ScannedDevice& d : devices)
        out.push_back(device_json(d));
    return out;
}

nlohmann::json results_json(const Results& res)
{
    nlohmann::json devices = nlohmann::json::array();
    for (const DeviceResult& r : res.devices) {
        nlohmann::json j = result_json(r);
        j["device"] = device_json(r.device);
        devices.push_back(j);
    }
    nlohmann::json adapters = nlohmann::json::array();
    for (const auto& a : res.adapters)
        adapters.push_back({{"adapter", a.adapter},
                            {"requests", a.requests},
                            {"interrupts", a.interrupts},
                            {"interrupts_per_request", a.interrupts_per_request},
                            {"data_bytes", a.data_bytes},
                            {"bus_busy", a.bus_busy},
                            {"bus_limit_bytes_per_s", a.bus_limit},
                            {"bus_share", a.bus_share}});
    return {{"elapsed_ns", res.elapsed},
            {"devices", devices},
            {"total", result_json(res.total)},
            {"adapters", adapters},
            {"port_accesses", res.port_accesses},
            {"port_accesses_per_request", res.port_accesses_per_request},
            {"clean", res.clean()},
            {"problems", res.problems()}};
}

std::vector<std::string> missing_devices(const sim::Machine& machine, const std::vector<ScannedDevice>& devices)
{
    std::vector<std::string> out;
    const auto& found = machine.adapters();
    for (size_t a = 0; a < found.size(); a++) {
        if (found[a].config_index < 0)
            continue;
        const sim::AdapterConfig& config = machine.config().adapters[static_cast<size_t>(found[a].config_index)];
        for (const sim::DeviceConfig& d : config.devices) {
            const bool seen = std::any_of(devices.begin(), devices.end(), [&](const ScannedDevice& s) {
                return s.adapter == a && s.target == d.id && s.lun == 0;
            });
            if (!seen)
                out.push_back(fmt::format("adapter {} ID {}: the {} configured there was not found by the scan", a,
                                          d.id, d.kind == sim::DeviceConfig::Kind::Optical ? "optical drive" : "disk"));
        }
    }
    return out;
}

std::string progress_bar(double done, unsigned width)
{
    done = std::clamp(done, 0.0, 1.0);
    const auto filled = static_cast<unsigned>(std::lround(done * width));
    return fmt::format("[{}{}] {:3.0f}%", std::string(filled, '#'), std::string(width - filled, ' '), done * 100);
}

}  // namespace hbasim
