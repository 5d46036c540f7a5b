#include "DriverStrings.h"

#include "driver_texts.h"
#include "platform/CString.h"

int LookUpCatalogueString(int id, CString* text) {
    for (const auto* e = txt::kStringTable; e->text; ++e) {
        if (e->id == id) {
            *text = e->text;
            return 1;
        }
    }
    return 0;
}
