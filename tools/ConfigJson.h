// A channel's configuration file as JSON (UTF-8): what `drvcfg show --json`
// prints and what the gateway's settings page reads and sends back.
//   {"port": "COM1"|null, "baud": 9600|null, "parity": "none"|null, "data_bits",
//    "stop_bits", "delay_ms", "timeout_ms", "retries",
//    "stations": [{"name", "number", "description", "period_ms"}]}
// (null where the file holds a value outside its list)
#pragma once

#include <string>

class CConfigData;

// Without a line end.
std::string ConfigJson(const CConfigData& config);
