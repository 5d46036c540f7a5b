#include "Channel.h"

#include <string>

#include "driver_texts.h"
#include "host/HostInterface.h"
#include "platform/CString.h"

CChannel::CChannel() = default;
CChannel::~CChannel() {
    // destruction does not stop a scan (Stop and the library's unload do)
    if (!m_bRunning) JoinThread(m_hThread);
}

void CChannel::LogFault(const char* text) {
    std::string line = StrFormat(txt::TXT_LOG_LINE, text ? text : "");
    m_runtimeLink.PutMessage(kLogFault, line.c_str());
}

void CChannel::LogInfo(const char* text) {
    std::string line = StrFormat(txt::TXT_LOG_LINE, text ? text : "");
    m_runtimeLink.PutMessage(kLogProgress, line.c_str());
}
