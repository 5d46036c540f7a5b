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
    return !TheManager().ThreadsLeft();
}
