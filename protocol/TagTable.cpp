#include "TagTable.h"

#include <cctype>

#include "driver/ChannelManager.h"
#include "driver_texts.h"
#include "host/TagVal.h"
#include "platform/CString.h"

namespace {

// Reads the rest of an address as strtoul reads base 10, but always in 32
// bits: blanks, one sign, digits. Returns false when characters are left
// over. No digits reads 0 with the whole rest left over (nothing used),
// except for an empty rest, which is all used up.
bool ReadBitNumber(const char* text, uint32_t* value) {
    const char* p = text;
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    if (!std::isdigit(static_cast<unsigned char>(*p))) {
        *value = 0;
        return *text == '\0';
    }
    uint64_t n = 0;
    bool overflow = false;
    for (; std::isdigit(static_cast<unsigned char>(*p)); ++p) {
        n = n * 10 + static_cast<uint64_t>(*p - '0');
        if (n > 0xFFFFFFFFu) overflow = true, n = 0xFFFFFFFFu;
    }
    if (overflow) {
        *value = 0xFFFFFFFFu;
    } else {
        *value = negative ? 0u - static_cast<uint32_t>(n) : static_cast<uint32_t>(n);
    }
    return *p == '\0';
}

}  // namespace

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
    CString clean(address);
    clean.TrimLeft();
    clean.TrimRight();
    clean.MakeUpper();

    const char* reason = nullptr;
    uint32_t bit = 0;
    char kind = clean.IsEmpty() ? '\0' : clean.GetString()[0];
    if (hostType != kDigitalTagType) {
        reason = txt::TXT_ADDR_TYPE;
    } else if (kind != 'I' && kind != 'O') {
        reason = txt::TXT_ADDR_KIND;
    } else if (!ReadBitNumber(clean.GetString() + 1, &bit)) {
        reason = txt::TXT_ADDR_NUMBER;
    } else if (bit > 7) {
        reason = kind == 'I' ? txt::TXT_ADDR_INPUT : txt::TXT_ADDR_OUTPUT;
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
    return std::make_unique<CBitTag>(kind, static_cast<int>(bit), hostTag);
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
