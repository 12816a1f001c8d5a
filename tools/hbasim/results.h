// What hbasim prints after the start-up scan and after the workload, and the
// same figures as JSON.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "workload/workload.h"

namespace hbasim {

std::string device_table(const std::vector<sim::workload::ScannedDevice>& devices);
std::string results_table(const sim::workload::Results& results);
nlohmann::json devices_json(const std::vector<sim::workload::ScannedDevice>& devices);
nlohmann::json results_json(const sim::workload::Results& results);
// Devices the scenario puts on the bus of an adapter the driver found that the
// start-up scan did not report, one line each: a run against fewer devices
// than configured must not pass as a clean run.
std::vector<std::string> missing_devices(const sim::Machine& machine,
                                         const std::vector<sim::workload::ScannedDevice>& devices);
// A progress bar for a terminal: "[#####     ]  50%".
std::string progress_bar(double done, unsigned width = 40);

}  // namespace hbasim
