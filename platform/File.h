// File access for the configuration archive: a byte source or sink the archive
// reads and writes through, a disk file opened for reading, and the atomic
// replacement that saving uses.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

class CFileException {
public:
    enum Cause { none, generic, fileNotFound, badPath, accessDenied, sharingViolation, endOfFile };
    explicit CFileException(int cause = none, long osError = 0)
        : m_cause(cause), m_lOsError(osError) {}
    int m_cause;
    long m_lOsError;
};

class CFile {
public:
    virtual ~CFile() = default;
    // Returns how many bytes were read; 0 at the end. Throws CFileException.
    virtual size_t Read(void* buffer, size_t count) = 0;
    // Writes all bytes or throws CFileException.
    virtual void Write(const void* buffer, size_t count) = 0;
    virtual uint64_t GetLength() const = 0;
    virtual uint64_t GetPosition() const = 0;
};

// Bytes in memory: what a storing archive fills before the file is replaced,
// and what tests and fuzzers feed a loading archive.
class CMemFile : public CFile {
public:
    CMemFile() = default;
    explicit CMemFile(std::string bytes) : m_bytes(std::move(bytes)) {}
    size_t Read(void* buffer, size_t count) override;
    void Write(const void* buffer, size_t count) override;
    uint64_t GetLength() const override { return m_bytes.size(); }
    uint64_t GetPosition() const override { return m_pos; }
    const std::string& Bytes() const { return m_bytes; }

private:
    std::string m_bytes;
    size_t m_pos = 0;
};

// A file opened for reading that others may read but not write meanwhile.
class CDiskFile : public CFile {
public:
    CDiskFile() = default;
    ~CDiskFile() override;
    CDiskFile(const CDiskFile&) = delete;
    CDiskFile& operator=(const CDiskFile&) = delete;

    // False with the cause filled in when the file cannot be opened; a folder
    // cannot be opened as a file (access denied).
    bool OpenForReading(const char* path, CFileException* error);
    void Close();
    size_t Read(void* buffer, size_t count) override;
    void Write(const void* buffer, size_t count) override;
    uint64_t GetLength() const override { return m_length; }
    uint64_t GetPosition() const override { return m_pos; }

private:
    intptr_t m_handle = -1;
    uint64_t m_length = 0;
    uint64_t m_pos = 0;
};

// Whether anything exists at the path (as _access with mode 0).
bool PathExists(const char* path);

// The file name of a path without folder and extension (as _splitpath gives
// its name part). Both '/' and '\\' separate folders.
std::string FileTitleOf(const char* path);

// Replaces the file at path by bytes so that a reader sees either the old or
// the new contents, never a part: a temporary file beside the real one (the
// target of a symbolic link), flushed to disk, then renamed over it, keeping the
// old file's permissions. A read-only target is refused. Returns true when the
// new contents are in place; on failure the old file is untouched and no
// temporary file is left.
bool ReplaceFileContents(const char* path, const std::string& bytes);
