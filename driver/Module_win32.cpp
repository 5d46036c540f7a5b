#include <windows.h>

#include "Module.h"
#include "platform/CString.h"
#include "platform/Window.h"

namespace {
HINSTANCE g_hModule = nullptr;
}

// The string table lives in this library's own resources, never the host's.
// Read as UTF-16 and turned into CP949 whatever the system's code page is.
int LookUpDriverString(int id, CString* text) {
    const wchar_t* wide = nullptr;
    int n = LoadStringW(g_hModule, static_cast<UINT>(id), reinterpret_cast<LPWSTR>(&wide), 0);
    if (n <= 0 || !wide) return 0;
    int bytes = WideCharToMultiByte(949, 0, wide, n, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(bytes > 0 ? bytes : 0), '\0');
    if (bytes > 0) WideCharToMultiByte(949, 0, wide, n, &out[0], bytes, nullptr, nullptr);
    *text = CString(out);
    return 1;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_hModule = instance;
        SetResourceModule(instance);  // the dialogs' templates are ours, never the host's
        DriverModuleAttach();
    }
    // reserved is set when the whole process is ending rather than the library
    // being freed. A scan thread that outlived the unload still runs our code:
    // keep the module mapped for it.
    if (reason == DLL_PROCESS_DETACH && !DriverModuleDetach(reserved != nullptr)) {
        HMODULE self;
        GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                           reinterpret_cast<LPCSTR>(&DllMain), &self);
    }
    return TRUE;
}
