// The driver disk's setup files: the shipped disk passes the checker, and
// damaged copies of it (a file gone, a section gone, a wrong service value
// or hardware ID) are refused with the problem named.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "setup_check.h"
#include "support/pe_image.h"

namespace {

using namespace hbatest;
using pecheck::DiskFiles;

DiskFiles BuiltDisk()
{
    DiskFiles disk;
    for (const auto& entry : std::filesystem::directory_iterator(HBA_DISK_DIR))
        disk[entry.path().filename().string()] = ReadText(entry.path().string());
    return disk;
}

std::string Joined(const std::vector<std::string>& problems)
{
    std::string all;
    for (const auto& p : problems)
        all += p + "\n";
    return all;
}

// Drops the section headed [name], up to the next section.
void RemoveSection(std::string& text, const std::string& name)
{
    const auto at = text.find("[" + name + "]");
    ASSERT_NE(at, std::string::npos) << name;
    const auto next = text.find("\n[", at);
    text.erase(at, next == std::string::npos ? std::string::npos : next + 1 - at);
}

void Replace(std::string& text, const std::string& from, const std::string& to)
{
    const auto at = text.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    text.replace(at, from.size(), to);
}

TEST(SetupFiles, ShippedDiskPasses)
{
    const DiskFiles disk = BuiltDisk();
    for (const char* name : {"txtsetup.oem", "oemsetup.inf", "hbadisk", "hba.sys"})
        EXPECT_TRUE(disk.contains(name)) << name;
    EXPECT_EQ(Joined(pecheck::CheckSetupFiles(disk)), "");
}

struct Damage {
    const char* name;
    std::function<void(DiskFiles&)> edit;
    const char* expected;
};

void PrintTo(const Damage& d, std::ostream* os)
{
    *os << d.name;
}

class SetupFilesDamage : public ::testing::TestWithParam<Damage> {};

TEST_P(SetupFilesDamage, IsNamed)
{
    DiskFiles disk = BuiltDisk();
    GetParam().edit(disk);
    const auto problems = pecheck::CheckSetupFiles(disk);
    const std::string expected = GetParam().expected;
    EXPECT_TRUE(std::any_of(problems.begin(), problems.end(),
                            [&](const std::string& p) { return p.find(expected) != std::string::npos; }))
        << Joined(problems);
}

INSTANTIATE_TEST_SUITE_P(
    Checks, SetupFilesDamage,
    ::testing::Values(
        Damage{"DriverMissing", [](auto& d) { d.erase("hba.sys"); }, "hba.sys is not on the disk"},
        Damage{"TagFileMissing", [](auto& d) { d.erase("hbadisk"); }, "tag file hbadisk is not on the disk"},
        Damage{"InfMissing", [](auto& d) { d.erase("oemsetup.inf"); }, "no oemsetup.inf"},
        Damage{"TxtsetupMissing", [](auto& d) { d.erase("txtsetup.oem"); }, "no txtsetup.oem"},
        Damage{"NoHardwareIds", [](auto& d) { RemoveSection(d["txtsetup.oem"], "HardwareIds.scsi.hba"); },
               "[HardwareIds.scsi.hba]"},
        Damage{"WrongDeviceId", [](auto& d) { Replace(d["txtsetup.oem"], "DEV_2020", "DEV_2000"); },
               "does not name the adapter's ID"},
        Damage{"HardwareIdForAnotherService",
               [](auto& d) { Replace(d["txtsetup.oem"], "DEV_2020\", \"hba\"", "DEV_2020\", \"hbb\""); },
               "names service hbb"},
        Damage{"NoConfigSection", [](auto& d) { RemoveSection(d["txtsetup.oem"], "Config.hba"); },
               "names section [Config.hba]"},
        Damage{"NoFilesSection", [](auto& d) { RemoveSection(d["txtsetup.oem"], "Files.scsi.hba"); },
               "names section [Files.scsi.hba]"},
        Damage{"UnknownDisk", [](auto& d) { Replace(d["txtsetup.oem"], "driver = d1", "driver = d2"); },
               "disk d2 is not in [Disks]"},
        Damage{"DefaultNotOffered", [](auto& d) { Replace(d["txtsetup.oem"], "scsi = hba", "scsi = other"); },
               "default option other"},
        Damage{"InstallSectionMissing", [](auto& d) { RemoveSection(d["oemsetup.inf"], "Install-AddCopyOption"); },
               "names section [Install-AddCopyOption]"},
        Damage{"OptionTextMissing", [](auto& d) { RemoveSection(d["oemsetup.inf"], "OptionsTextENG"); },
               "[OptionsTextENG]"},
        Damage{"DemandStart", [](auto& d) { Replace(d["oemsetup.inf"], "hba = 1, 0, 1,", "hba = 1, 3, 1,"); },
               "start is 3"},
        Damage{"NotAKernelDriver", [](auto& d) { Replace(d["oemsetup.inf"], "hba = 1, 0, 1,", "hba = 16, 0, 1,"); },
               "type is 16"},
        Damage{"CriticalErrorControl",
               [](auto& d) { Replace(d["oemsetup.inf"], "hba = 1, 0, 1,", "hba = 1, 0, 3,"); }, "error control is 3"},
        Damage{"WrongGroup", [](auto& d) { Replace(d["oemsetup.inf"], "\"SCSI miniport\"", "\"Base\""); },
               "group is \"Base\""},
        Damage{"DriverNotCopied", [](auto& d) { RemoveSection(d["oemsetup.inf"], "Files-ScsiMiniportDrivers"); },
               "does not copy"},
        Damage{"NotAScsiOption", [](auto& d) { Replace(d["oemsetup.inf"], "OptionType = SCSI", "OptionType = NetAdapter"); },
               "OptionType = SCSI"}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
