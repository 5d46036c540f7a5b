#include "ChannelManager.h"

#include <new>

#include "channel/Channel.h"
#include "driver/HostLink.h"

CChannelManager::CChannelManager() { m_channelList.reserve(10); }

CChannelManager::~CChannelManager() { DeleteAll(); }

int CChannelManager::Open(const char* path) {
    if (!path) return -1;
    auto channel = std::make_unique<CChannel>();
    if (channel->Load(path) != 0) return -1;
    EnsureDbmLink();
    int handle = GetChannelCount();
    channel->SetHandle(handle);
    m_channelList.push_back(std::move(channel));
    return handle;
}

CChannel* CChannelManager::FindChannel(int handle) const {
    if (handle < 0 || handle >= GetChannelCount()) return nullptr;
    return m_channelList[static_cast<size_t>(handle)].get();
}

CDbmLink* CChannelManager::EnsureDbmLink() {
    if (!m_pDbmLink) m_pDbmLink = std::make_unique<CDbmLink>();
    return m_pDbmLink.get();
}

void CChannelManager::DeleteAll() {
    for (auto& channel : m_channelList) channel.reset();
    m_channelList.clear();
    m_pDbmLink.reset();
}

CChannelManager& TheManager() {
    static CChannelManager manager;
    return manager;
}

CDbmLink* TheDbmLink() { return TheManager().GetDbmLink(); }
