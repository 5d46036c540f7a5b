// Everything behind the entry table: the opened channels in the order they
// were opened (a channel's handle is its position) and, from the first open
// on, the link to the host's tag database that all channels share.
#pragma once

#include <memory>
#include <vector>

class CChannel;
class CDbmLink;

class CChannelManager {
public:
    CChannelManager();
    virtual ~CChannelManager();
    CChannelManager(const CChannelManager&) = delete;
    CChannelManager& operator=(const CChannelManager&) = delete;

    // Opens a channel on a configuration file: its handle, or -1 when the
    // file cannot be loaded (no handle is used up then).
    int Open(const char* path);
    // Lets the user edit a configuration file in the settings dialog: 1 when
    // the dialog was confirmed and the file saved, else 0. A file that does
    // not exist yet starts from the defaults; other load and save errors are
    // shown.
    int Configure(const char* path);
    // The channel of a handle, or null for a handle that names none.
    CChannel* FindChannel(int handle) const;
    int GetChannelCount() const { return static_cast<int>(m_channelList.size()); }

    // Creates the tag database link the first time; later calls keep the one
    // there is, loaded or not.
    CDbmLink* EnsureDbmLink();
    CDbmLink* GetDbmLink() const { return m_pDbmLink.get(); }

    // Deletes every channel, first opened first, then the database link.
    void DeleteAll();
    // The library is being unloaded: ends the running scans (waiting for them
    // within a bound), then deletes everything.
    void UnloadAll();
    // Whether a scan thread outlived UnloadAll (its channel was kept).
    bool ThreadsLeft() const { return m_bThreadsLeft; }

private:
    std::unique_ptr<CDbmLink> m_pDbmLink;
    std::vector<std::unique_ptr<CChannel>> m_channelList;
    bool m_bThreadsLeft = false;
};

// The one manager of the loaded library, built on first use.
CChannelManager& TheManager();
void DestroyTheManager();
// The tag database link all channels share; null before the first open.
CDbmLink* TheDbmLink();
