#include "scenario.h"

#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>

#include <fmt/format.h>
#include <toml++/toml.h>

#include "campaign.h"

namespace hbasim {

namespace {

// A device's legal behaviours and their rate, by SCSI ID.
using DeviceBehaviours = std::map<uint8_t, std::pair<sim::FaultSet, double>>;


struct ScenarioError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Reads one table, remembering which keys were taken so that the rest can be
// reported as unknown.
class TableReader {
public:
    TableReader(const toml::table& table, std::string context, const std::string& file)
        : table_(table), context_(std::move(context)), file_(file) {}

    int64_t integer(std::string_view key, int64_t fallback, int64_t min, int64_t max)
    {
        const toml::node* node = take(key);
        if (!node)
            return fallback;
        const auto value = node->value<int64_t>();
        if (!node->is_integer() || !value || *value < min || *value > max)
            fail(*node, fmt::format("{} must be an integer {}-{}", name(key), min, max));
        return *value;
    }

    std::string string(std::string_view key, const std::string& fallback)
    {
        const toml::node* node = take(key);
        if (!node)
            return fallback;
        if (!node->is_string())
            fail(*node, fmt::format("{} must be a string", name(key)));
        return *node->value<std::string>();
    }

    // One of `choices`, returned as its index.
    size_t choice(std::string_view key, std::initializer_list<std::string_view> choices, size_t fallback)
    {
        const toml::node* node = take(key);
        if (!node)
            return fallback;
        const auto value = node->value<std::string>();
        size_t i = 0;
        for (std::string_view c : choices) {
            if (node->is_string() && *value == c)
                return i;
            i++;
        }
        std::string list;
        for (std::string_view c : choices)
            list += fmt::format("{}\"{}\"", list.empty() ? "" : ", ", c);
        fail(*node, fmt::format("{} must be one of {}", name(key), list));
    }

    const toml::table& table() const { return table_; }

    // A list of fault kinds by name; nothing when the key is absent.
    std::optional<sim::FaultSet> fault_kinds(std::string_view key)
    {
        const toml::node* node = take(key);
        if (!node)
            return std::nullopt;
        if (!node->is_array())
            fail(*node, fmt::format("{} must be a list of fault kinds", name(key)));
        sim::FaultSet kinds;
        for (const toml::node& element : *node->as_array()) {
            if (!element.is_string())
                fail(element, fmt::format("{} must be a list of fault kinds", name(key)));
            const std::string kind = *element.value<std::string>();
            const auto k = sim::fault_from_name(kind);
            if (!k)
                fail(element, fmt::format("{}: {}", name(key), unknown_fault_kind(kind)));
            kinds.set(static_cast<size_t>(*k));
        }
        return kinds;
    }

    // Legal behaviours by name: a fault's name or an unknown one is an error.
    std::optional<sim::FaultSet> behaviours(std::string_view key)
    {
        const toml::node* node = take(key);
        if (!node)
            return std::nullopt;
        if (!node->is_array())
            fail(*node, fmt::format("{} must be a list of legal behaviours", name(key)));
        std::string legal;
        for (size_t i = 0; i < sim::kFaultKinds; i++)
            if (sim::is_legal(static_cast<sim::FaultKind>(i)))
                legal += fmt::format("{}{}", legal.empty() ? "" : ", ", sim::fault_name(static_cast<sim::FaultKind>(i)));
        sim::FaultSet kinds;
        for (const toml::node& element : *node->as_array()) {
            if (!element.is_string())
                fail(element, fmt::format("{} must be a list of legal behaviours", name(key)));
            const std::string kind = *element.value<std::string>();
            const auto k = sim::fault_from_name(kind);
            if (!k)
                fail(element, fmt::format("{}: unknown behaviour \"{}\" (legal behaviours: {})", name(key), kind, legal));
            if (!sim::is_legal(*k))
                fail(element, fmt::format("{}: \"{}\" is a fault, not a legal behaviour (legal behaviours: {})",
                                          name(key), kind, legal));
            kinds.set(static_cast<size_t>(*k));
        }
        return kinds;
    }

    // A fraction 0-1 or a percentage string such as "1%".
    std::optional<double> rate(std::string_view key)
    {
        const toml::node* node = take(key);
        if (!node)
            return std::nullopt;
        std::optional<double> value;
        if (node->is_floating_point() || node->is_integer())
            value = *node->value<double>();
        else if (node->is_string())
            value = parse_rate(*node->value<std::string>());
        if (!value || *value < 0 || *value > 1)
            fail(*node, fmt::format("{} must be a fraction 0-1 or a percentage such as \"1%\"", name(key)));
        return value;
    }

    bool boolean(std::string_view key, bool fallback)
    {
        const toml::node* node = take(key);
        if (!node)
            return fallback;
        if (!node->is_boolean())
            fail(*node, fmt::format("{} must be true or false", name(key)));
        return *node->value<bool>();
    }

    const toml::node* take(std::string_view key)
    {
        taken_.insert(std::string(key));
        return table_.get(key);
    }

    // Every key not taken is a mistake in the file.
    void finish() const
    {
        for (const auto& [key, node] : table_)
            if (!taken_.contains(std::string(key.str())))
                fail(node, fmt::format("unknown key {}", name(key.str())));
    }

    [[noreturn]] void fail(const toml::node& node, const std::string& what) const
    {
        throw ScenarioError(fmt::format("{}:{}: {}", file_, node.source().begin.line, what));
    }

    const std::string& file() const { return file_; }

    std::string name(std::string_view key) const
    {
        return context_.empty() ? std::string(key) : fmt::format("{}.{}", context_, key);
    }

private:
    const toml::table& table_;
    std::string context_;
    const std::string& file_;
    std::set<std::string> taken_;
};

const toml::table& as_table(TableReader& parent, const toml::node& node, std::string_view key)
{
    if (!node.is_table())
        parent.fail(node, fmt::format("{} must be a table", parent.name(key)));
    return *node.as_table();
}

void read_target(const toml::table& table, const std::string& file, sim::AdapterSettings& settings,
                 std::set<int64_t>& seen)
{
    TableReader r(table, "adapter.target", file);
    const toml::node* id_node = r.take("id");
    if (!id_node)
        r.fail(table, "adapter.target needs an id 0-7");
    const int64_t id = r.integer("id", 0, 0, 7);
    if (!seen.insert(id).second)
        r.fail(*id_node, fmt::format("adapter.target id {} given twice", id));
    sim::TargetSettings& t = settings.targets[static_cast<size_t>(id)];
    auto flag = [&](std::string_view key, uint8_t bit) {
        const bool on = r.boolean(key, (t.flags & bit) != 0);
        t.flags = static_cast<uint8_t>(on ? t.flags | bit : t.flags & ~bit);
    };
    flag("parity", sim::kTargetParity);
    flag("sync", sim::kTargetSync);
    flag("disconnect", sim::kTargetDisconnect);
    flag("tagged", sim::kTargetTagged);
    t.speed_index = static_cast<uint8_t>(r.integer("speed_index", t.speed_index, 0, 255));
    r.finish();
}

// `device_kinds`: the device's own fault kinds, when it names them.
// `device_behaviours`: its legal behaviours and their rate, when it names them.
void read_device(const toml::table& table, const std::string& file, sim::AdapterConfig& adapter,
                 std::map<uint8_t, sim::FaultSet>& device_kinds, DeviceBehaviours& device_behaviours)
{
    TableReader r(table, "adapter.device", file);
    const toml::node* id_node = r.take("id");
    if (!id_node)
        r.fail(table, "adapter.device needs an id 0-7");
    sim::DeviceConfig d;
    d.id = static_cast<uint8_t>(r.integer("id", 0, 0, 7));
    for (const sim::DeviceConfig& other : adapter.devices)
        if (other.id == d.id)
            r.fail(*id_node, fmt::format("adapter.device id {} given twice", d.id));
    if (d.id == adapter.settings.initiator_id)
        r.fail(*id_node, fmt::format("adapter.device id {} is the adapter's own ID", d.id));
    d.kind = r.choice("kind", {"disk", "optical"}, 0) == 1 ? sim::DeviceConfig::Kind::Optical
                                                         : sim::DeviceConfig::Kind::Disk;
    sim::BlockDeviceOptions& o = d.options;
    if (d.kind == sim::DeviceConfig::Kind::Optical)
        o = sim::OpticalDrive::optical_defaults();
    else
        o.product = "DISK";
    o.vendor = r.string("vendor", o.vendor);
    o.product = r.string("product", o.product);
    if (o.vendor.size() > 8 || o.product.size() > 16)
        r.fail(table, "adapter.device vendor holds at most 8 characters, product 16");
    o.block_size = static_cast<uint32_t>(r.integer("block_size", o.block_size, 1, 65536));
    if (o.block_size % 4)
        r.fail(*r.take("block_size"), "adapter.device.block_size must be a multiple of 4");
    const toml::node* capacity = r.take("capacity");
    const toml::node* image = r.take("image");
    if (capacity && image)
        r.fail(*image, "adapter.device takes capacity or image, not both");
    o.block_count = static_cast<uint64_t>(r.integer("capacity", static_cast<int64_t>(o.block_count), 1, 0xFFFF'FFFF));
    if (image) {
        o.image_path = r.string("image", "");
        std::ifstream in(o.image_path, std::ios::binary | std::ios::ate);
        if (!in)
            r.fail(*image, fmt::format("adapter.device.image {}: cannot be read", o.image_path));
        const auto size = static_cast<uint64_t>(in.tellg());
        if (size == 0 || size % o.block_size)
            r.fail(*image, fmt::format("adapter.device.image {}: {} bytes is no whole number of {}-byte blocks",
                                       o.image_path, size, o.block_size));
        o.block_count = size / o.block_size;
    }
    o.luns = static_cast<uint8_t>(r.integer("luns", o.luns, 1, 8));
    sim::TargetOptions& t = o.target;
    t.disconnect = r.boolean("disconnect", t.disconnect);
    t.tagged_queuing = r.boolean("tagged", t.tagged_queuing);
    t.queue_limit = static_cast<unsigned>(r.integer("tag_depth", t.queue_limit, 1, 256));
    const int64_t us_max = 10'000'000;
    t.disconnect_threshold =
        static_cast<sim::Nanoseconds>(r.integer("disconnect_threshold_us",
                                                static_cast<int64_t>(t.disconnect_threshold / sim::kMicrosecond), 0,
                                                us_max)) * sim::kMicrosecond;
    const size_t sdtr = r.choice("sdtr", {"agree", "reject", "offset0", "slower"}, 0);
    t.sdtr = sdtr == 1 ? sim::SdtrAnswer::Reject : sdtr == 2 ? sim::SdtrAnswer::AsyncOnly : sim::SdtrAnswer::Agree;
    const toml::node* period = r.take("min_period_ns");
    if (sdtr == 3 && !period)
        r.fail(table, "adapter.device with sdtr = \"slower\" needs min_period_ns");
    if (period && sdtr != 3)
        r.fail(*period, "adapter.device.min_period_ns applies to sdtr = \"slower\" only");
    if (period)
        t.min_period_factor = static_cast<uint8_t>(r.integer("min_period_ns", 100, 104, 1020) / 4);
    auto micro = [&](std::string_view key, sim::Nanoseconds fallback) {
        return static_cast<sim::Nanoseconds>(
                   r.integer(key, static_cast<int64_t>(fallback / sim::kMicrosecond), 0, us_max)) *
               sim::kMicrosecond;
    };
    o.track_seek = micro("track_seek_us", o.track_seek);
    o.full_seek = micro("full_seek_us", o.full_seek);
    o.revolution = micro("revolution_us", o.revolution);
    if (const auto kinds = r.fault_kinds("faults"))
        device_kinds[d.id] = *kinds;
    const auto legal = r.behaviours("behaviours");
    const auto rate = r.rate("behaviour_rate");
    if (rate && !legal)
        r.fail(*table.get("behaviour_rate"), "adapter.device.behaviour_rate needs a behaviours list");
    if (legal)
        device_behaviours[d.id] = {*legal, rate.value_or(0.1)};
    r.finish();
    adapter.devices.push_back(std::move(d));
}

sim::AdapterConfig read_adapter(const toml::table& table, const std::string& file,
                               std::map<uint8_t, sim::FaultSet>& device_kinds, DeviceBehaviours& device_behaviours)
{
    TableReader r(table, "adapter", file);
    sim::AdapterConfig a;
    a.settings = sim::all_features_settings();
    a.bus = static_cast<uint8_t>(r.integer("bus", a.bus, 0, 255));
    // The PCI slot is pci_device; a plain integer `device` (older files) means
    // the same, while [[adapter.device]] tables are the devices on the SCSI bus.
    const toml::node* device = r.take("device");
    const toml::node* pci_device = r.take("pci_device");
    if (device && device->is_integer() && pci_device)
        r.fail(*pci_device, "adapter.pci_device and an integer adapter.device both name the PCI slot");
    if (pci_device)
        a.device = static_cast<uint8_t>(r.integer("pci_device", a.device, 0, 31));
    else if (device && !device->is_array())
        a.device = static_cast<uint8_t>(r.integer("device", a.device, 0, 31));
    if (const toml::node* node = r.take("io_base")) {
        a.io_base = static_cast<uint16_t>(r.integer("io_base", a.io_base, 0, 0xFFA0));
        if (a.io_base % 4)
            r.fail(*node, "adapter.io_base must be a multiple of 4");
    }
    a.irq = static_cast<uint8_t>(r.integer("irq", a.irq, 0, 255));
    a.settings.initiator_id = static_cast<uint8_t>(r.integer("initiator_id", a.settings.initiator_id, 0, 255));
    a.settings.options = static_cast<uint8_t>(r.integer("options", a.settings.options, 0, 255));
    a.settings.tag_depth_shift =
        static_cast<uint8_t>(r.integer("tag_depth_shift", a.settings.tag_depth_shift, 0, 255));
    a.damaged_eeprom = r.boolean("damaged_eeprom", false);
    if (const toml::node* targets = r.take("target")) {
        if (!targets->is_array_of_tables())
            r.fail(*targets, "adapter.target must be [[adapter.target]] tables");
        std::set<int64_t> seen;
        for (const toml::node& t : *targets->as_array())
            read_target(*t.as_table(), file, a.settings, seen);
    }
    if (const toml::node* devices = device; devices && devices->is_array()) {
        if (!devices->is_array_of_tables())
            r.fail(*devices, "adapter.device must be [[adapter.device]] tables");
        for (const toml::node& d : *devices->as_array())
            read_device(*d.as_table(), file, a, device_kinds, device_behaviours);
    }
    r.finish();
    return a;
}

sim::workload::WorkloadConfig read_workload(TableReader& parent, const toml::node& node, uint64_t seed)
{
    const toml::table& table = as_table(parent, node, "workload");
    TableReader r(table, "workload", parent.file());
    sim::workload::WorkloadConfig w;
    w.seed = seed;
    const size_t pattern = r.choice("pattern", {"read", "write", "mixed"}, 2);
    const toml::node* percent = r.take("read_percent");
    if (percent && pattern != 2)
        r.fail(*percent, "workload.read_percent applies to pattern = \"mixed\" only");
    w.read_percent = pattern == 0 ? 100 : pattern == 1 ? 0 : static_cast<unsigned>(r.integer("read_percent", 70, 0, 100));
    w.pattern = r.boolean("random", true) ? sim::workload::Pattern::Random : sim::workload::Pattern::Sequential;
    w.block_size = static_cast<uint32_t>(r.integer("block_size", w.block_size, 512, 64 * 1024));
    w.outstanding = static_cast<unsigned>(r.integer("outstanding", w.outstanding, 1, 64));
    const toml::node* requests = r.take("requests");
    const toml::node* duration = r.take("duration_ms");
    if (requests && duration)
        r.fail(*duration, "workload takes requests or duration_ms, not both");
    w.requests = static_cast<uint64_t>(r.integer("requests", static_cast<int64_t>(w.requests), 1, 100'000'000));
    if (duration) {
        w.requests = 0;
        w.duration = static_cast<sim::Nanoseconds>(r.integer("duration_ms", 1, 1, 3'600'000)) * sim::kMillisecond;
    }
    w.verify = r.boolean("verify", w.verify);
    // Requests with flags of their own among the plain ones (on by default):
    // `unusual_requests = false` sends plain reads and writes only.
    if (!r.boolean("unusual_requests", true))
        w.unusual.legal_flags = w.unusual.against_direction = w.unusual.linked = 0;
    w.seed = static_cast<uint64_t>(r.integer("seed", static_cast<int64_t>(seed), 0, INT64_MAX));
    r.finish();
    return w;
}

void read_faults(TableReader& parent, const toml::node& node, sim::workload::CampaignConfig& campaign)
{
    TableReader r(as_table(parent, node, "faults"), "faults", parent.file());
    if (const toml::node* rate = r.take("rate")) {
        std::optional<double> value;
        if (rate->is_floating_point() || rate->is_integer())
            value = *rate->value<double>();
        else if (rate->is_string())
            value = parse_rate(*rate->value<std::string>());
        if (!value || *value < 0 || *value > 1)
            r.fail(*rate, "faults.rate must be a fraction 0-1 or a percentage such as \"1%\"");
        campaign.rate = *value;
    }
    if (const auto kinds = r.fault_kinds("kinds"))
        campaign.kinds = *kinds;
    campaign.clean_requests = static_cast<uint64_t>(
        r.integer("clean_requests", static_cast<int64_t>(campaign.clean_requests), 1, 1'000'000));
    r.finish();
}

Scenario read_scenario(const toml::table& root, const std::string& file)
{
    TableReader r(root, "", file);
    Scenario scenario;
    sim::MachineConfig& c = scenario.machine;
    c.seed = static_cast<uint64_t>(r.integer("seed", 1, 0, INT64_MAX));
    c.port61_present = r.boolean("port61", true);
    c.interrupts_inside_reset_wait = r.boolean("interrupts_inside_reset_wait", false);
    if (const toml::node* ports = r.take("serial_ports")) {
        if (!ports->is_array())
            r.fail(*ports, "serial_ports must be a list of I/O bases");
        for (const toml::node& element : *ports->as_array()) {
            const auto base = element.value<int64_t>();
            if (!element.is_integer() || !base || *base < 0 || *base > 0xFFF8 || *base % 8)
                r.fail(element, "serial_ports must be a list of I/O bases 0-0xFFF8, multiples of 8");
            c.serial_ports.push_back(static_cast<uint16_t>(*base));
        }
    }
    if (const toml::node* argument = r.take("argument_string")) {
        if (!argument->is_string())
            r.fail(*argument, "argument_string must be a string");
        c.argument_string = *argument->value<std::string>();
    }
    if (r.take("wanted_base"))
        c.wanted_base = static_cast<uint32_t>(r.integer("wanted_base", 0, 1, 0xFFA0));
    if (const toml::node* pci = r.take("pci")) {
        TableReader p(as_table(r, *pci, "pci"), "pci", file);
        c.mechanism1 = p.boolean("mechanism1", true);
        c.mechanism2 = p.boolean("mechanism2", false);
        p.finish();
    }
    if (const toml::node* costs = r.take("costs")) {
        TableReader k(as_table(r, *costs, "costs"), "costs", file);
        const int64_t max = 1'000'000'000;
        c.port_access_cost = static_cast<sim::Nanoseconds>(k.integer("port_access_ns", 500, 0, max));
        c.port61_read_cost = static_cast<sim::Nanoseconds>(k.integer("port61_read_ns", 1000, 0, max));
        c.interrupt_entry_cost = static_cast<sim::Nanoseconds>(k.integer("interrupt_entry_ns", 2000, 0, max));
        k.finish();
    }
    if (const toml::node* adapters = r.take("adapter")) {
        if (!adapters->is_array_of_tables())
            r.fail(*adapters, "adapter must be [[adapter]] tables");
        for (const toml::node& node : *adapters->as_array()) {
            if (c.adapters.size() == sim::kMaxMachineAdapters)
                r.fail(node, fmt::format("at most {} [[adapter]] tables", sim::kMaxMachineAdapters));
            std::map<uint8_t, sim::FaultSet> device_kinds;
            DeviceBehaviours device_behaviours;
            sim::AdapterConfig a = read_adapter(*node.as_table(), file, device_kinds, device_behaviours);
            for (const sim::AdapterConfig& other : c.adapters) {
                if (other.bus == a.bus && other.device == a.device)
                    r.fail(node, fmt::format("two adapters at PCI bus {} device {}", a.bus, a.device));
                if (other.io_base == a.io_base)
                    r.fail(node, fmt::format("two adapters at I/O base {:#x}", a.io_base));
            }
            for (const auto& [id, kinds] : device_kinds)
                scenario.campaign.device_kinds[{c.adapters.size(), id}] = kinds;
            for (const auto& [id, legal] : device_behaviours)
                scenario.campaign.device_behaviours[{c.adapters.size(), id}] = legal;
            c.adapters.push_back(a);
        }
    }
    scenario.workload.seed = c.seed;
    if (const toml::node* workload = r.take("workload"))
        scenario.workload = read_workload(r, *workload, c.seed);
    if (const toml::node* faults = r.take("faults")) {
        read_faults(r, *faults, scenario.campaign);
        scenario.has_faults_table = true;
    }
    r.finish();
    return scenario;
}

}  // namespace

ScenarioResult parse_scenario(std::string_view text, const std::string& name)
{
    ScenarioResult result;
    try {
        const toml::table root = toml::parse(text, name);
        result.scenario = read_scenario(root, name);
    } catch (const toml::parse_error& e) {
        result.error = fmt::format("{}:{}: {}", name, e.source().begin.line, e.description());
    } catch (const ScenarioError& e) {
        result.error = e.what();
    }
    return result;
}

Scenario default_scenario()
{
    Scenario s;
    s.machine = sim::default_machine_config();
    sim::AdapterConfig& a = s.machine.adapters[0];
    for (uint8_t id = 0; id < 4; id++) {
        sim::DeviceConfig d;
        d.id = id;
        d.options.product = "DISK";
        d.options.block_count = 1 << 20;  // 512 MiB
        d.options.full_seek = 8 * sim::kMillisecond;
        d.options.revolution = 6 * sim::kMillisecond;
        a.devices.push_back(d);
    }
    sim::DeviceConfig optical;
    optical.id = 4;
    optical.kind = sim::DeviceConfig::Kind::Optical;
    optical.options = sim::OpticalDrive::optical_defaults();
    a.devices.push_back(optical);
    s.workload.read_percent = 70;
    s.workload.pattern = sim::workload::Pattern::Random;
    s.workload.block_size = 4096;
    s.workload.outstanding = 4;
    s.workload.requests = 2000;
    s.workload.verify = true;
    s.workload.seed = s.machine.seed;
    return s;
}

ScenarioResult load_scenario(const std::string& path)
{
    std::ifstream in(path);
    if (!in) {
        ScenarioResult r;
        r.error = fmt::format("{}: cannot open the scenario file", path);
        return r;
    }
    std::stringstream text;
    text << in.rdbuf();
    return parse_scenario(text.str(), path);
}

}  // namespace hbasim
