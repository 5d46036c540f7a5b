#include <dlfcn.h>

#include <string>

#include "DynLib.h"

LibHandle LoadLib(const char* fileName) {
    return dlopen(fileName, RTLD_NOW | RTLD_LOCAL);
}

void* FindSymbol(LibHandle lib, const char* name) {
    return lib ? dlsym(lib, name) : nullptr;
}

void FreeLib(LibHandle lib) {
    if (lib) dlclose(lib);
}

const char* OwnModuleFolder() {
    static const std::string folder = [] {
        Dl_info info{};
        if (!dladdr(reinterpret_cast<void*>(&OwnModuleFolder), &info) || !info.dli_fname) {
            return std::string("./");
        }
        std::string path = info.dli_fname;
        size_t slash = path.rfind('/');
        return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
    }();
    return folder.c_str();
}
