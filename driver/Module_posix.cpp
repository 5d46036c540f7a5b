#include "Module.h"
#include "driver/DriverStrings.h"

int LookUpDriverString(int id, CString* text) {
    return LookUpCatalogueString(id, text);
}

__attribute__((constructor)) static void OnLoad() {
    DriverModuleAttach();
}
__attribute__((destructor)) static void OnUnload() {
    DriverModuleDetach(false);
}
