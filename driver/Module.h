// Start-up and shut-down of the driver library: its strings become known to
// the host's error messages while it is loaded, the manager is built at load
// and the channels are released at unload.
#pragma once

class CString;

void DriverModuleAttach();
// processExiting: the whole process ends and (on Windows) its other threads
// are already gone; nothing is waited for or released then.
// Returns false when a scan thread outlived the unload (its channel is kept).
bool DriverModuleDetach(bool processExiting);

// A string of the driver's own string table, in CP949: nonzero when id is one.
int LookUpDriverString(int id, CString* text);
