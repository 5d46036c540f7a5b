#include "TagTable.h"

#include "driver/ChannelManager.h"
#include "driver_texts.h"
#include "host/TagVal.h"
#include "platform/CString.h"
#include "protocol/TagAddress.h"


CBitTag::CBitTag(int kind, int bit, HostTagRef hostTag)
    : m_nKind(kind), m_nBit(bit), m_hostTag(hostTag) {}
CBitTag::~CBitTag() = default;

void CBitTag::Update(uint8_t status) {
    if (IsOutput()) return;
    int32_t bit = (status >> m_nBit) & 1;
    if (!m_bPushAlways && bit == m_nLastBit) return;
    m_nLastBit = bit;
    CTagVal value;
    value.SetVal(static_cast<double>(bit));
    if (CDbmLink* db = TheDbmLink()) db->SetTagValue(m_hostTag, &value);
}

CTagTable::CTagTable() = default;
CTagTable::~CTagTable() = default;

std::unique_ptr<CBitTag> CTagTable::ParseAddress(const char* address, int hostType, int,
                                                 HostTagRef hostTag, CString* message) const {
    const char* reason = nullptr;
    TagAddress place;
    if (hostType != kDigitalTagType) {
        reason = txt::TXT_ADDR_TYPE;
    } else {
        switch (ParseTagAddress(address ? address : "", &place)) {
            case TagAddressFault::none:
                break;
            case TagAddressFault::kind:
                reason = txt::TXT_ADDR_KIND;
                break;
            case TagAddressFault::number:
                reason = txt::TXT_ADDR_NUMBER;
                break;
            case TagAddressFault::range:
                reason = place.IsOutput() ? txt::TXT_ADDR_OUTPUT : txt::TXT_ADDR_INPUT;
                break;
        }
    }
    if (reason) {
        // the tag's name stands only in a refusal: a registration that
        // succeeds does not wait for the host's database
        CString name;
        if (CDbmLink* db = TheDbmLink()) db->GetTagName(hostTag, &name);
        message->Format(txt::TXT_TAG_PREFIX, name.GetString(), address ? address : "");
        *message += reason;
        return nullptr;
    }
    return std::make_unique<CBitTag>(place.kind, place.bit, hostTag);
}

int CTagTable::Add(std::unique_ptr<CBitTag> tag) {
    if (!tag) return -1;
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_nCount % kChunk == 0) {
        m_chunks.emplace_back();
        m_chunks.back().reserve(kChunk);
    }
    m_chunks.back().push_back(*tag);
    return m_nCount++;
}

CBitTag* CTagTable::GetTag(int index) {
    std::lock_guard<std::mutex> hold(m_lock);
    if (index < 0 || index >= m_nCount) return nullptr;
    return &m_chunks[static_cast<size_t>(index / kChunk)][static_cast<size_t>(index % kChunk)];
}

int CTagTable::GetCount() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_nCount;
}

void CTagTable::UpdateInputs(uint8_t status) {
    // the lock is never held across a call into the host
    int count = GetCount();
    for (int i = 0; i < count; ++i) GetTag(i)->Update(status);
}
