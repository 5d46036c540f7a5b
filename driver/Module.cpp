#include "Module.h"

#include "driver/ChannelManager.h"
#include "host/ZeravError.h"

void DriverModuleAttach() {
    CZeravError::AddStringSource(&LookUpDriverString);
    TheManager();
}

bool DriverModuleDetach(bool processExiting) {
    if (processExiting) return true;
    TheManager().UnloadAll();
    CZeravError::RemoveStringSource(&LookUpDriverString);
    // a scan thread that outlived the unload still uses the manager's links
    if (TheManager().ThreadsLeft()) return false;
    DestroyTheManager();
    return true;
}
