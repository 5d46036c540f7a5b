// The class library's archive format: little-endian numbers, length-prefixed
// strings, element counts and tagged objects with class records. A loading
// archive reads through a 4096-byte buffer and refuses any length or count
// that the rest of the file cannot hold, so damaged input ends in an
// exception, never in a huge allocation.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Object.h"

class CFile;

class CArchiveException {
public:
    enum Cause { none, generic, endOfFile, badIndex, badClass, badSchema };
    explicit CArchiveException(int cause = generic) : m_cause(cause) {}
    int m_cause;
};

class CArchive {
public:
    enum Mode { store = 0, load = 1 };
    static const size_t kBufferSize = 4096;

    CArchive(CFile* file, Mode mode);
    ~CArchive();
    CArchive(const CArchive&) = delete;
    CArchive& operator=(const CArchive&) = delete;

    bool IsLoading() const { return m_mode == load; }
    bool IsStoring() const { return m_mode == store; }
    // Writes what is buffered to the file. A storing archive must be closed.
    void Close();

    void WriteByte(uint8_t v);
    void WriteWord(uint16_t v);
    void WriteInt(int32_t v);
    void WriteDWord(uint32_t v);
    void WriteBytes(const void* data, size_t count);
    void WriteString(const std::string& text);
    void WriteCount(uint32_t count);
    // Writes the object's tag (with its class record the first time its class
    // is written) and then lets the object write itself.
    void WriteObject(const CObject* object);

    uint8_t ReadByte();
    uint16_t ReadWord();
    int32_t ReadInt();
    uint32_t ReadDWord();
    void ReadBytes(void* data, size_t count);
    std::string ReadString();
    uint32_t ReadCount();
    // Reads an object tag, creates an object of the class it names (which must
    // be expected, with the same schema) and lets it read itself. Null tags and
    // references to objects already read are refused: the caller's lists own
    // what they read.
    std::unique_ptr<CObject> ReadObject(const CRuntimeClass* expected);

    // Bytes left between the read position and the end of the file.
    uint64_t Remaining() const;

    // Another module's serialisation cannot throw into ours; it records its
    // failure here and the caller rethrows it on its side.
    void SetDeferredError(int cause) { m_nDeferredError = cause; }
    void RethrowDeferredError();

private:
    void Fill(size_t needed);
    void Flush();

    CFile* m_pFile;
    Mode m_mode;
    std::vector<uint8_t> m_buffer;
    size_t m_nCur = 0;  // next byte to read, or bytes waiting to be written
    size_t m_nEnd = 0;  // bytes valid in the buffer when loading
    int m_nDeferredError = 0;

    // Class and object numbering, the same for writing and reading: index 0 is
    // the null object, then classes and objects in the order first seen.
    uint32_t m_nMapCount = 1;
    std::map<const void*, uint32_t> m_storeMap;
    std::vector<const CRuntimeClass*> m_loadMap;  // null entries are objects
};
