#include <dlfcn.h>

#include <cstring>
#include <string>

#include "DynLib.h"

LibHandle LoadLib(const char* fileName) {
    // A bare name is looked for beside this module first, as Windows looks
    // beside the program. The run path would do the same, but only while
    // dlopen knows who calls it, which an interposed dlopen (a sanitizer's)
    // hides.
    if (fileName && !std::strchr(fileName, '/')) {
        std::string beside = std::string(OwnModuleFolder()) + fileName;
        if (LibHandle lib = dlopen(beside.c_str(), RTLD_NOW | RTLD_LOCAL)) return lib;
    }
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
