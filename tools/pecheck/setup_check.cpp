#include "setup_check.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <optional>
#include <set>
#include <sstream>

namespace pecheck {
namespace {

// The adapter's PCI identity and the service every setup file must create.
constexpr std::string_view kHardwareId = "PCI\\VEN_1022&DEV_2020";
constexpr std::string_view kGroup = "SCSI miniport";
constexpr int kKernelDriver = 1, kBootStart = 0, kErrorNormal = 1;

std::string Lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

std::string Trim(std::string_view s)
{
    const auto first = s.find_first_not_of(" \t\r");
    if (first == std::string_view::npos)
        return {};
    return std::string(s.substr(first, s.find_last_not_of(" \t\r") - first + 1));
}

std::string Unquote(std::string s)
{
    if (s.size() >= 2 && s.front() == '"' && s.back() == '"')
        return s.substr(1, s.size() - 2);
    return s;
}

struct Entry {
    int line = 0;
    std::string key;                  // before '=', empty when the line has none
    std::vector<std::string> values;  // after it, split at commas outside quotes, unquoted
    std::string text;                 // the whole line
};

struct Section {
    std::string name;
    std::vector<Entry> entries;
    const Entry* find(std::string_view key) const
    {
        for (const Entry& e : entries)
            if (Lower(e.key) == Lower(std::string(key)))
                return &e;
        return nullptr;
    }
};

// An INF-style file: [sections] of "key = value, value" lines; ';' starts a
// comment outside quotes. In a setup script a line ending in '+' goes on.
class SetupFile {
public:
    SetupFile(std::string name, const std::string& text, bool script) : name_(std::move(name))
    {
        std::istringstream in(text);
        std::string raw, pending;
        int number = 0, first = 0;
        Section* current = nullptr;
        while (std::getline(in, raw)) {
            number++;
            std::string line = Trim(StripComment(raw));
            if (script && !line.empty() && line.back() == '+' && (line.size() == 1 || line[line.size() - 2] == ' ')) {
                if (pending.empty())
                    first = number;
                pending += line.substr(0, line.size() - 1) + " ";
                continue;
            }
            if (!pending.empty()) {
                line = pending + line;
                pending.clear();
            } else {
                first = number;
            }
            if (line.empty())
                continue;
            if (line.front() == '[' && line.back() == ']') {
                const std::string section = Trim(std::string_view(line).substr(1, line.size() - 2));
                current = &sections_[Lower(section)];
                current->name = section;
                continue;
            }
            if (!current)
                continue;
            current->entries.push_back(Parse(line, first));
        }
    }

    const std::string& name() const { return name_; }
    const Section* section(std::string_view name) const
    {
        const auto it = sections_.find(Lower(std::string(name)));
        return it == sections_.end() ? nullptr : &it->second;
    }
    const std::map<std::string, Section>& sections() const { return sections_; }

private:
    static std::string StripComment(const std::string& line)
    {
        bool quoted = false;
        for (size_t i = 0; i < line.size(); i++) {
            if (line[i] == '"')
                quoted = !quoted;
            else if (line[i] == ';' && !quoted)
                return line.substr(0, i);
        }
        return line;
    }

    static Entry Parse(const std::string& line, int number)
    {
        Entry e;
        e.line = number;
        e.text = line;
        std::string rest = line;
        bool quoted = false;
        for (size_t i = 0; i < line.size(); i++) {
            if (line[i] == '"')
                quoted = !quoted;
            else if (line[i] == '=' && !quoted) {
                e.key = Unquote(Trim(std::string_view(line).substr(0, i)));
                rest = line.substr(i + 1);
                break;
            }
        }
        std::string value;
        quoted = false;
        for (char c : rest) {
            if (c == '"')
                quoted = !quoted;
            if (c == ',' && !quoted) {
                e.values.push_back(Unquote(Trim(value)));
                value.clear();
            } else {
                value.push_back(c);
            }
        }
        e.values.push_back(Unquote(Trim(value)));
        return e;
    }

    std::string name_;
    std::map<std::string, Section> sections_;  // by lower-case name
};

class Checker {
public:
    explicit Checker(const DiskFiles& disk)
    {
        for (const auto& [name, contents] : disk)
            files_[Lower(name)] = &contents;
    }

    std::vector<std::string> run()
    {
        const std::string* txtsetup = file("txtsetup.oem");
        const std::string* oemsetup = file("oemsetup.inf");
        if (!txtsetup)
            problem("the disk has no txtsetup.oem");
        if (!oemsetup)
            problem("the disk has no oemsetup.inf");
        if (txtsetup)
            CheckTxtsetup(SetupFile("txtsetup.oem", *txtsetup, false));
        if (oemsetup)
            CheckOemsetup(SetupFile("oemsetup.inf", *oemsetup, true));
        return std::move(problems_);
    }

private:
    const std::string* file(const std::string& name) const
    {
        const auto it = files_.find(Lower(name));
        return it == files_.end() ? nullptr : it->second;
    }

    template <class... Args> void problem(fmt::format_string<Args...> format, Args&&... args)
    {
        problems_.push_back(fmt::format(format, std::forward<Args>(args)...));
    }

    // The disk is one root directory: "\", "\name" and "name" all lie in it.
    std::string OnDisk(std::string path) const
    {
        std::replace(path.begin(), path.end(), '/', '\\');
        while (!path.empty() && path.front() == '\\')
            path.erase(path.begin());
        return path;
    }

    void NeedFile(const SetupFile& f, const Entry& e, const std::string& name, std::string_view what)
    {
        if (name.empty())
            problem("{}:{}: no {} named", f.name(), e.line, what);
        else if (name.find('\\') != std::string::npos || !file(name))
            problem("{}:{}: {} {} is not on the disk", f.name(), e.line, what, name);
    }

    const Section* NeedSection(const SetupFile& f, std::string_view name, int line = 0)
    {
        const Section* s = f.section(name);
        if (!s) {
            if (line)
                problem("{}:{}: names section [{}], which the file does not have", f.name(), line, name);
            else
                problem("{}: no [{}] section", f.name(), name);
        }
        return s;
    }

    // ------------------------------------------------------------ txtsetup.oem
    void CheckTxtsetup(const SetupFile& f)
    {
        std::set<std::string> disks;
        if (const Section* s = NeedSection(f, "Disks")) {
            for (const Entry& e : s->entries) {
                if (e.values.size() < 3) {
                    problem("{}:{}: a disk needs a description, a tag file and a directory", f.name(), e.line);
                    continue;
                }
                if (OnDisk(e.values[2]) != "")
                    problem("{}:{}: the disk's files are in its root directory, not {}", f.name(), e.line,
                            e.values[2]);
                NeedFile(f, e, OnDisk(e.values[1]), "tag file");
                disks.insert(Lower(e.key));
            }
        }
        const Section* adapters = NeedSection(f, "scsi");
        if (const Section* s = NeedSection(f, "Defaults")) {
            const Entry* scsi = s->find("scsi");
            if (!scsi)
                problem("{}: [Defaults] names no scsi option", f.name());
            else if (adapters && !adapters->find(scsi->values[0]))
                problem("{}:{}: default option {} is not in [scsi]", f.name(), scsi->line, scsi->values[0]);
        }
        if (!adapters)
            return;
        if (adapters->entries.empty())
            problem("{}: [scsi] offers no adapter", f.name());
        for (const Entry& option : adapters->entries)
            CheckTxtsetupOption(f, option, disks);
    }

    void CheckTxtsetupOption(const SetupFile& f, const Entry& option, const std::set<std::string>& disks)
    {
        std::set<std::string> services;
        const Section* files = NeedSection(f, "Files.scsi." + option.key, option.line);
        if (files) {
            bool driver = false, inf = false;
            for (const Entry& e : files->entries) {
                if (e.values.size() < 2) {
                    problem("{}:{}: a file line needs a disk and a file name", f.name(), e.line);
                    continue;
                }
                if (!disks.contains(Lower(e.values[0])))
                    problem("{}:{}: disk {} is not in [Disks]", f.name(), e.line, e.values[0]);
                NeedFile(f, e, e.values[1], "file");
                const std::string type = Lower(e.key);
                if (type == "driver") {
                    driver = true;
                    if (e.values.size() < 3 || e.values[2].empty()) {
                        problem("{}:{}: the driver line names no service", f.name(), e.line);
                    } else {
                        services.insert(Lower(e.values[2]));
                        NeedSection(f, "Config." + e.values[2], e.line);
                    }
                }
                inf = inf || type == "inf";
            }
            if (!driver)
                problem("{}: [{}] installs no driver", f.name(), files->name);
            if (!inf)
                problem("{}: [{}] names no inf file for the installed system", f.name(), files->name);
        }
        const Section* ids = NeedSection(f, "HardwareIds.scsi." + option.key, option.line);
        if (!ids)
            return;
        bool adapter = false;
        for (const Entry& e : ids->entries) {
            if (Lower(e.key) != "id" || e.values.size() < 2) {
                problem("{}:{}: a hardware ID line is id = \"ID\", \"service\"", f.name(), e.line);
                continue;
            }
            if (files && !services.contains(Lower(e.values[1])))
                problem("{}:{}: hardware ID {} names service {}, which [{}] does not install", f.name(), e.line,
                        e.values[0], e.values[1], files->name);
            adapter = adapter || Lower(e.values[0]) == Lower(std::string(kHardwareId));
        }
        if (!adapter)
            problem("{}: [{}] does not name the adapter's ID {}", f.name(), ids->name, kHardwareId);
    }

    // ------------------------------------------------------------ oemsetup.inf
    void CheckOemsetup(const SetupFile& f)
    {
        if (const Section* s = NeedSection(f, "Identification")) {
            const Entry* type = s->find("OptionType");
            if (!type || Lower(type->values[0]) != "scsi")
                problem("{}: [Identification] does not say OptionType = SCSI", f.name());
        }
        NeedSection(f, "ReturnOptions");
        NeedSection(f, "InstallOption");
        std::set<std::string> media;
        if (const Section* s = NeedSection(f, "Source Media Descriptions")) {
            for (const Entry& e : s->entries) {
                media.insert(e.key);
                const std::string tag = e.values.size() < 2 ? std::string() : e.values[1];
                const auto equals = tag.find('=');
                const std::string file_name = equals == std::string::npos ? std::string() : Trim(tag.substr(equals + 1));
                if (equals == std::string::npos || Lower(Trim(tag.substr(0, equals))) != "tagfile" ||
                    file_name.empty() || file_name.find(' ') != std::string::npos)
                    problem("{}:{}: a source medium needs a description and TAGFILE = name", f.name(), e.line);
                else
                    NeedFile(f, e, OnDisk(file_name), "tag file");
            }
        }
        std::vector<std::string> languages;
        if (const Section* s = NeedSection(f, "LanguagesSupported"))
            for (const Entry& e : s->entries)
                languages.push_back(e.key.empty() ? e.values[0] : e.key);
        const Section* options = NeedSection(f, "Options");
        const Section* drivers = NeedSection(f, "MiniportDrivers");
        const Section* files = NeedSection(f, "Files-ScsiMiniportDrivers");
        if (options)
            for (const Entry& option : options->entries) {
                for (const std::string& language : languages) {
                    const Section* texts = NeedSection(f, "OptionsText" + language, option.line);
                    if (texts && !texts->find(option.key))
                        problem("{}: option {} has no text in [{}]", f.name(), option.key, texts->name);
                }
                if (drivers)
                    CheckMiniport(f, option, *drivers, files, media);
            }
        CheckNamedSections(f);
    }

    void CheckMiniport(const SetupFile& f, const Entry& option, const Section& drivers, const Section* files,
                       const std::set<std::string>& media)
    {
        const std::string key = option.values[0];
        const Entry* e = drivers.find(key);
        if (!e) {
            problem("{}:{}: option {} has no line in [MiniportDrivers]", f.name(), option.line, option.key);
            return;
        }
        auto number = [&](size_t i) -> std::optional<long> {
            if (i >= e->values.size() || e->values[i].empty())
                return std::nullopt;
            size_t used = 0;
            try {
                const long v = std::stol(e->values[i], &used, 0);
                return used == e->values[i].size() ? std::optional<long>(v) : std::nullopt;
            } catch (const std::exception&) {
                return std::nullopt;
            }
        };
        const struct {
            const char* what;
            int expected;
            const char* meaning;
        } values[] = {{"type", kKernelDriver, "kernel driver"},
                      {"start", kBootStart, "boot start"},
                      {"error control", kErrorNormal, "normal"}};
        for (size_t i = 0; i < 3; i++) {
            const auto v = number(i);
            if (v != values[i].expected)
                problem("{}:{}: service {} {} is {}, not {} ({})", f.name(), e->line, key, values[i].what,
                        i < e->values.size() ? e->values[i] : "missing", values[i].expected, values[i].meaning);
        }
        if (e->values.size() < 4 || e->values[3] != kGroup)
            problem("{}:{}: service {} group is \"{}\", not \"{}\"", f.name(), e->line, key,
                    e->values.size() < 4 ? "" : e->values[3], kGroup);
        if (e->values.size() < 5) {
            problem("{}:{}: service {} names no driver file", f.name(), e->line, key);
            return;
        }
        NeedFile(f, *e, e->values[4], "driver file");
        const Entry* copy = files ? files->find(key) : nullptr;
        if (!copy || copy->values.size() < 2) {
            problem("{}: [Files-ScsiMiniportDrivers] does not copy service {}'s driver", f.name(), key);
            return;
        }
        if (!media.contains(copy->values[0]))
            problem("{}:{}: medium {} is not in [Source Media Descriptions]", f.name(), copy->line, copy->values[0]);
        if (Lower(copy->values[1]) != Lower(e->values[4]))
            problem("{}:{}: copies {}, but the service's driver is {}", f.name(), copy->line, copy->values[1],
                    e->values[4]);
    }

    // Sections the script names: read-syms, install, detect and the
    // copy-list commands take one; ^(S, n) and #(S, k, n) read one.
    static std::vector<std::string> SectionsNamedBy(const std::string& line)
    {
        static const char* const kCommands[] = {"read-syms", "install", "detect", "addsectionfilestocopylist",
                                                "addsectionkeyfiletocopylist"};
        std::vector<std::string> named;
        std::istringstream words(line);
        std::string command, argument;
        words >> command >> argument;
        for (const char* c : kCommands)
            if (Lower(command) == c && !argument.empty())
                named.push_back(argument);
        for (size_t at = 0; (at = line.find('(', at)) != std::string::npos; at++) {
            if (at == 0 || (line[at - 1] != '^' && line[at - 1] != '#'))
                continue;
            const size_t comma = line.find(',', at);
            if (comma != std::string::npos)
                named.push_back(Trim(std::string_view(line).substr(at + 1, comma - at - 1)));
        }
        return named;
    }

    void CheckNamedSections(const SetupFile& f)
    {
        for (const auto& [lower, section] : f.sections())
            for (const Entry& e : section.entries) {
                const std::vector<std::string> named = SectionsNamedBy(e.text);
                for (const std::string& name : named)
                    if (name.find("$(") == std::string::npos)  // made at run time: checked above
                        NeedSection(f, name, e.line);
            }
    }

    std::map<std::string, const std::string*> files_;
    std::vector<std::string> problems_;
};

}  // namespace

std::vector<std::string> CheckSetupFiles(const DiskFiles& disk)
{
    return Checker(disk).run();
}

}  // namespace pecheck
