#include "SettingsDialog.h"
#include "driver_texts.h"
#include "host/ZeravError.h"

// No window system to show the dialog on: say so, and change nothing.
int RunSettingsDialog(CConfigData*) {
    CZeravError::ErrMsg(txt::IDS_NO_DIALOG, 0);
    return 0;
}
