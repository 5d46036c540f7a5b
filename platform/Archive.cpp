#include "Archive.h"

#include <cstring>

#include "File.h"

namespace {
const uint16_t kNullTag = 0x0000;
const uint16_t kNewClassTag = 0xFFFF;
const uint16_t kClassTag = 0x8000;
const uint32_t kBigClassTag = 0x80000000u;
const uint16_t kBigObjectTag = 0x7FFF;
const uint32_t kMaxMapCount = 0x3FFFFFFE;
}  // namespace

CArchive::CArchive(CFile* file, Mode mode) : m_pFile(file), m_mode(mode), m_buffer(kBufferSize) {
    m_loadMap.push_back(nullptr);
}

CArchive::~CArchive() = default;

void CArchive::Close() {
    if (IsStoring()) Flush();
}

void CArchive::Flush() {
    if (m_nCur > 0) {
        m_pFile->Write(m_buffer.data(), m_nCur);
        m_nCur = 0;
    }
}

void CArchive::WriteBytes(const void* data, size_t count) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    while (count > 0) {
        if (m_nCur == m_buffer.size()) Flush();
        size_t n = std::min(count, m_buffer.size() - m_nCur);
        std::memcpy(&m_buffer[m_nCur], p, n);
        m_nCur += n;
        p += n;
        count -= n;
    }
}

void CArchive::WriteByte(uint8_t v) {
    WriteBytes(&v, 1);
}

void CArchive::WriteWord(uint16_t v) {
    uint8_t b[2] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)};
    WriteBytes(b, 2);
}

void CArchive::WriteDWord(uint32_t v) {
    uint8_t b[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                    static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
    WriteBytes(b, 4);
}

void CArchive::WriteInt(int32_t v) {
    WriteDWord(static_cast<uint32_t>(v));
}

void CArchive::WriteString(const std::string& text) {
    size_t n = text.size();
    if (n < 255) {
        WriteByte(static_cast<uint8_t>(n));
    } else if (n < 0xFFFE) {
        WriteByte(0xFF);
        WriteWord(static_cast<uint16_t>(n));
    } else {
        WriteByte(0xFF);
        WriteWord(0xFFFF);
        WriteDWord(static_cast<uint32_t>(n));
    }
    WriteBytes(text.data(), n);
}

void CArchive::WriteCount(uint32_t count) {
    if (count < 0xFFFF) {
        WriteWord(static_cast<uint16_t>(count));
    } else {
        WriteWord(0xFFFF);
        WriteDWord(count);
    }
}

void CArchive::WriteObject(const CObject* object) {
    if (!object) {
        WriteWord(kNullTag);
        return;
    }
    auto seen = m_storeMap.find(object);
    if (seen != m_storeMap.end()) {
        if (seen->second < kBigObjectTag) {
            WriteWord(static_cast<uint16_t>(seen->second));
        } else {
            WriteWord(kBigObjectTag);
            WriteDWord(seen->second);
        }
        return;
    }
    const CRuntimeClass* cls = object->GetRuntimeClass();
    auto known = m_storeMap.find(cls);
    if (known != m_storeMap.end()) {
        if (known->second < kBigObjectTag) {
            WriteWord(static_cast<uint16_t>(kClassTag | known->second));
        } else {
            WriteWord(kBigObjectTag);
            WriteDWord(kBigClassTag | known->second);
        }
    } else {
        size_t len = std::strlen(cls->m_lpszClassName);
        WriteWord(kNewClassTag);
        WriteWord(cls->m_wSchema);
        WriteWord(static_cast<uint16_t>(len));
        WriteBytes(cls->m_lpszClassName, len);
        m_storeMap[cls] = m_nMapCount++;
    }
    m_storeMap[object] = m_nMapCount++;
    const_cast<CObject*>(object)->Serialize(*this);
}

uint64_t CArchive::Remaining() const {
    return (m_nEnd - m_nCur) + (m_pFile->GetLength() - m_pFile->GetPosition());
}

void CArchive::Fill(size_t needed) {
    if (m_nCur > 0) {
        std::memmove(m_buffer.data(), m_buffer.data() + m_nCur, m_nEnd - m_nCur);
        m_nEnd -= m_nCur;
        m_nCur = 0;
    }
    while (m_nEnd < needed) {
        size_t n = m_pFile->Read(m_buffer.data() + m_nEnd, m_buffer.size() - m_nEnd);
        if (n == 0) throw CArchiveException(CArchiveException::endOfFile);
        m_nEnd += n;
    }
}

void CArchive::ReadBytes(void* data, size_t count) {
    uint8_t* p = static_cast<uint8_t*>(data);
    while (count > 0) {
        if (m_nCur == m_nEnd) Fill(1);
        size_t n = std::min(count, m_nEnd - m_nCur);
        std::memcpy(p, &m_buffer[m_nCur], n);
        m_nCur += n;
        p += n;
        count -= n;
    }
}

uint8_t CArchive::ReadByte() {
    uint8_t v;
    ReadBytes(&v, 1);
    return v;
}

uint16_t CArchive::ReadWord() {
    uint8_t b[2];
    ReadBytes(b, 2);
    return static_cast<uint16_t>(b[0] | (b[1] << 8));
}

uint32_t CArchive::ReadDWord() {
    uint8_t b[4];
    ReadBytes(b, 4);
    return static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
           (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
}

int32_t CArchive::ReadInt() {
    return static_cast<int32_t>(ReadDWord());
}

std::string CArchive::ReadString() {
    uint32_t n = ReadByte();
    if (n == 0xFF) {
        n = ReadWord();
        // 0xFFFE marks a wide-character string, which this system never writes
        if (n == 0xFFFE) throw CArchiveException(CArchiveException::generic);
        if (n == 0xFFFF) n = ReadDWord();
    }
    if (n > Remaining()) throw CArchiveException(CArchiveException::endOfFile);
    std::string text(n, '\0');
    if (n) ReadBytes(&text[0], n);
    return text;
}

uint32_t CArchive::ReadCount() {
    uint16_t w = ReadWord();
    return w != 0xFFFF ? w : ReadDWord();
}

std::unique_ptr<CObject> CArchive::ReadObject(const CRuntimeClass* expected) {
    uint16_t tag = ReadWord();
    uint32_t classIndex = 0;
    const CRuntimeClass* cls = nullptr;
    if (tag == kNewClassTag) {
        uint16_t schema = ReadWord();
        uint16_t len = ReadWord();
        if (len > 64 || len > Remaining()) throw CArchiveException(CArchiveException::badClass);
        std::string name(len, '\0');
        ReadBytes(&name[0], len);
        cls = CRuntimeClass::FromName(name.c_str());
        if (!cls || cls != expected) throw CArchiveException(CArchiveException::badClass);
        if (schema != cls->m_wSchema) throw CArchiveException(CArchiveException::badSchema);
        if (m_loadMap.size() >= kMaxMapCount) throw CArchiveException(CArchiveException::badIndex);
        m_loadMap.push_back(cls);
    } else {
        uint32_t big = tag == kBigObjectTag ? ReadDWord() : 0;
        if (tag == kNullTag) throw CArchiveException(CArchiveException::badIndex);
        if (tag == kBigObjectTag) {
            if (!(big & kBigClassTag)) throw CArchiveException(CArchiveException::badIndex);
            classIndex = big & ~kBigClassTag;
        } else {
            if (!(tag & kClassTag)) throw CArchiveException(CArchiveException::badIndex);
            classIndex = tag & ~kClassTag;
        }
        if (classIndex == 0 || classIndex >= m_loadMap.size() || !m_loadMap[classIndex]) {
            throw CArchiveException(CArchiveException::badIndex);
        }
        cls = m_loadMap[classIndex];
        if (cls != expected) throw CArchiveException(CArchiveException::badClass);
    }
    if (m_loadMap.size() >= kMaxMapCount) throw CArchiveException(CArchiveException::badIndex);
    m_loadMap.push_back(nullptr);
    std::unique_ptr<CObject> object(cls->CreateObject());
    if (!object) throw CArchiveException(CArchiveException::badClass);
    object->Serialize(*this);
    return object;
}

void CArchive::RethrowDeferredError() {
    int cause = m_nDeferredError;
    m_nDeferredError = 0;
    if (cause) throw CArchiveException(cause);
}
