#include <windows.h>

#include <string>

#include "DynLib.h"

LibHandle LoadLib(const char* fileName) {
    return LoadLibraryA(fileName);
}

void* FindSymbol(LibHandle lib, const char* name) {
    return lib ? reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(lib), name)) : nullptr;
}

void FreeLib(LibHandle lib) {
    if (lib) FreeLibrary(static_cast<HMODULE>(lib));
}

const char* OwnModuleFolder() {
    static const std::string folder = [] {
        HMODULE self = nullptr;
        GetModuleHandleExA(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCSTR>(&OwnModuleFolder), &self);
        char path[MAX_PATH] = {};
        GetModuleFileNameA(self, path, MAX_PATH);
        std::string p = path;
        size_t slash = p.find_last_of("\\/");
        return slash == std::string::npos ? std::string(".\\") : p.substr(0, slash + 1);
    }();
    return folder.c_str();
}
