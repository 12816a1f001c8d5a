#include "scenario.h"

#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>

#include <fmt/format.h>
#include <toml++/toml.h>

namespace hbasim {

namespace {

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
    flag("parity", TF_PARITY);
    flag("sync", TF_SYNC);
    flag("disconnect", TF_DISCONNECT);
    flag("tagged", TF_TAGGED);
    t.speed_index = static_cast<uint8_t>(r.integer("speed_index", t.speed_index, 0, 255));
    r.finish();
}

sim::AdapterConfig read_adapter(const toml::table& table, const std::string& file)
{
    TableReader r(table, "adapter", file);
    sim::AdapterConfig a;
    a.settings = sim::all_features_settings();
    a.bus = static_cast<uint8_t>(r.integer("bus", a.bus, 0, 255));
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
    r.finish();
    return a;
}

sim::MachineConfig read_machine(const toml::table& root, const std::string& file)
{
    TableReader r(root, "", file);
    sim::MachineConfig c;
    c.seed = static_cast<uint64_t>(r.integer("seed", 1, 0, INT64_MAX));
    c.port61_present = r.boolean("port61", true);
    c.hold_interrupts_during_reset = r.boolean("hold_interrupts_during_reset", false);
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
            sim::AdapterConfig a = read_adapter(*node.as_table(), file);
            for (const sim::AdapterConfig& other : c.adapters) {
                if (other.bus == a.bus && other.device == a.device)
                    r.fail(node, fmt::format("two adapters at PCI bus {} device {}", a.bus, a.device));
                if (other.io_base == a.io_base)
                    r.fail(node, fmt::format("two adapters at I/O base {:#x}", a.io_base));
            }
            c.adapters.push_back(a);
        }
    }
    r.finish();
    return c;
}

}  // namespace

ScenarioResult parse_scenario(std::string_view text, const std::string& name)
{
    ScenarioResult result;
    try {
        const toml::table root = toml::parse(text, name);
        result.config = read_machine(root, name);
    } catch (const toml::parse_error& e) {
        result.error = fmt::format("{}:{}: {}", name, e.source().begin.line, e.description());
    } catch (const ScenarioError& e) {
        result.error = e.what();
    }
    return result;
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
