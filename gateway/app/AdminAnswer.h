// What the administrator's requests (settings, scans) answer with, and the
// channel's file as they read it.
#pragma once

#include <string>
#include <utility>

#include "config/ConfigData.h"
#include "gateway/core/Files.h"
#include "gateway/web/WebServer.h"

namespace admin {

using Answer = std::pair<int, std::string>;

inline Answer Error(int status, const std::string& text) {
    return WebServer::Reply(status, "error", text);
}

// The channel's file: its bytes and what the driver reads in them.
inline bool ReadChannelFile(const std::string& path, std::string* bytes, CConfigData* config,
                            Answer* refusal) {
    if (!ReadWholeFile(path, bytes) || config->Load(path.c_str()) != 0) {
        *refusal = Error(500, path + ": the driver cannot load it");
        return false;
    }
    return true;
}

}  // namespace admin
