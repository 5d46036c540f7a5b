#include <dlfcn.h>
#include <errno.h>
#include <unistd.h>

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
        std::string path;
        if (dladdr(reinterpret_cast<void*>(&OwnModuleFolder), &info) && info.dli_fname)
            path = info.dli_fname;
        // For the program itself the loader reports the name it was started
        // by ("drvhost", found on PATH), not where it lies: the system knows.
        if (path.empty() || path == program_invocation_name) {
            char exe[4096];
            const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
            if (n > 0) path.assign(exe, static_cast<size_t>(n));
        }
        size_t slash = path.rfind('/');
        return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
    }();
    return folder.c_str();
}
