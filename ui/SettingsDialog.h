// The device settings dialog on a configuration: 1 when the user confirmed it
// (the configuration then holds the edits), else 0 (untouched).
#pragma once

class CConfigData;

int RunSettingsDialog(CConfigData* config);
