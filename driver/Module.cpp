#include "Module.h"

#include "driver/ChannelManager.h"
#include "host/ZeravError.h"

void DriverModuleAttach() {
    CZeravError::AddStringSource(&LookUpDriverString);
    TheManager();
}

void DriverModuleDetach(bool processExiting) {
    (void)processExiting;
    TheManager().DeleteAll();
    CZeravError::RemoveStringSource(&LookUpDriverString);
}
