#include "ChannelManager.h"

#include <new>

#include "channel/Channel.h"
#include "config/ConfigData.h"
#include "driver/HostLink.h"
#include "host/ZeravError.h"
#include "platform/Tick.h"
#include "ui/SettingsDialog.h"

CChannelManager::CChannelManager() {
    m_channelList.reserve(10);
}

CChannelManager::~CChannelManager() {
    DeleteAll();
}

int CChannelManager::Open(const char* path) {
    if (!path) return -1;
    auto channel = std::make_unique<CChannel>();
    if (channel->Load(path) != 0) return -1;
    EnsureDbmLink();
    channel->AttachStations();
    int handle = GetChannelCount();
    channel->SetHandle(handle);
    m_channelList.push_back(std::move(channel));
    return handle;
}

int CChannelManager::Configure(const char* path) {
    if (!path) return 0;
    auto config = std::make_unique<CConfigData>();
    int loaded = config->Load(path);
    if (loaded != 0 && loaded != CConfigData::errFileMissing) {
        CZeravError::ErrMsg(loaded, 0);
        return 0;
    }
    if (!RunSettingsDialog(config.get())) return 0;
    int saved = config->Save(path);
    if (saved != 0) {
        // the host must not believe a file was written that was not
        CZeravError::ErrMsg(saved, 0);
        return 0;
    }
    return 1;
}

CChannel* CChannelManager::FindChannel(int handle) const {
    if (handle < 0 || handle >= GetChannelCount()) return nullptr;
    return m_channelList[static_cast<size_t>(handle)].get();
}

CDbmLink* CChannelManager::EnsureDbmLink() {
    if (!m_pDbmLink) m_pDbmLink = std::make_unique<CDbmLink>();
    return m_pDbmLink.get();
}

void CChannelManager::UnloadAll() {
    // End every scan first (each after the station it is visiting), then wait
    // for them together. A thread that does not end in time keeps its channel:
    // deleting it would pull the channel from under the thread.
    const uint32_t kUnloadWaitMs = 10000;
    uint32_t start = GetTickMs();
    for (auto& channel : m_channelList) channel->BeginUnload();
    for (auto& channel : m_channelList) {
        uint32_t spent = GetTickMs() - start;
        if (!channel->WaitUnloaded(spent < kUnloadWaitMs ? kUnloadWaitMs - spent : 0)) {
            channel.release();
            m_bThreadsLeft = true;
        }
    }
    if (m_bThreadsLeft) m_pDbmLink.release();  // still in use by the threads left
    DeleteAll();
}

void CChannelManager::DeleteAll() {
    for (auto& channel : m_channelList) channel.reset();
    m_channelList.clear();
    m_pDbmLink.reset();
}

namespace {
// Not a static object: the library's unload handler may run after the static
// clean-up, and it decides itself when the manager goes.
CChannelManager* g_manager = nullptr;
}  // namespace

CChannelManager& TheManager() {
    if (!g_manager) g_manager = new CChannelManager;
    return *g_manager;
}

void DestroyTheManager() {
    delete g_manager;
    g_manager = nullptr;
}

CDbmLink* TheDbmLink() {
    return TheManager().GetDbmLink();
}
