// The configuration loader on whole files: header, name list, settings,
// object tags and station records. Whatever the bytes, the load ends in a
// code, never in a crash, a hang or a huge allocation; and what loads saves
// and loads again the same.
#include <cstddef>
#include <cstdint>
#include <string>

#include "config/ConfigData.h"
#include "platform/Archive.h"
#include "platform/File.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CMemFile file(std::string(reinterpret_cast<const char*>(data), size));
    CConfigData config;
    int code = config.LoadFrom(&file);
    if (code != 0 && code != CConfigData::errBadContents) __builtin_trap();
    if (code == 0) {
        CMemFile saved;
        CArchive ar(&saved, CArchive::store);
        config.Serialize(ar);
        ar.Close();
        CMemFile again(saved.Bytes());
        CConfigData reloaded;
        if (reloaded.LoadFrom(&again) != 0 ||
            reloaded.GetStationCount() != config.GetStationCount()) {
            __builtin_trap();
        }
    }
    return 0;
}
