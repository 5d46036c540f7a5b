// A station's tags: each names one bit, an input of the station's status byte
// (I0-I7) or an output command (O0-O7). A tag's position in the table is its
// tag index; tags are only ever added. Every status byte a station reports is
// pushed, bit by bit, to every input tag.
//
// Registration (host thread) and the scan (scan thread) may meet: the table
// guards its list, and tags never move or go while the table lives.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "driver/HostLink.h"

class CString;

class CBitTag {
public:
    CBitTag(int kind, int bit, HostTagRef hostTag);
    virtual ~CBitTag();

    // Pushes this input's bit of the status byte to the host (outputs: nothing).
    void Update(uint8_t status);

    int GetKind() const { return m_nKind; }
    int GetBit() const { return m_nBit; }
    HostTagRef GetHostTag() const { return m_hostTag; }
    bool IsOutput() const { return m_nKind == 'O'; }

private:
    int32_t m_nLastBit = 0;
    int m_bPushAlways = 1;  // every reply pushes, changed or not
    int32_t m_nKind;
    int32_t m_nBit;
    HostTagRef m_hostTag;
};

class CTagTable {
public:
    CTagTable();
    virtual ~CTagTable();
    CTagTable(const CTagTable&) = delete;
    CTagTable& operator=(const CTagTable&) = delete;

    // Parses an address for a tag of the host's type; a new tag, or null with
    // message holding the tag prefix and the one reason it was refused.
    std::unique_ptr<CBitTag> ParseAddress(const char* address, int hostType, int reserved,
                                          HostTagRef hostTag, CString* message) const;
    // Appends (a copy of) the tag and returns its index; -1 for no tag.
    int Add(std::unique_ptr<CBitTag> tag);
    // The tag at index, or null. A tag stays where it is while others are added.
    CBitTag* GetTag(int index);
    int GetCount() const;
    void UpdateInputs(uint8_t status);

private:
    mutable std::mutex m_lock;
    // Tags by value in chunks of kChunk, each chunk's room reserved when it
    // is begun: a tag never moves once added, adding one allocates only at
    // the start of a chunk, and a table without tags holds no memory.
    static const int kChunk = 16;
    std::vector<std::vector<CBitTag>> m_chunks;
    int m_nCount = 0;
};
