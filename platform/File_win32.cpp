#include <windows.h>

#include <atomic>
#include <string>

#include "File.h"

namespace {

int CauseOf(DWORD err) {
    switch (err) {
        case ERROR_FILE_NOT_FOUND:
            return CFileException::fileNotFound;
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_BAD_PATHNAME:
        case ERROR_INVALID_DRIVE:
            return CFileException::badPath;
        case ERROR_ACCESS_DENIED:
            return CFileException::accessDenied;
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            return CFileException::sharingViolation;
        default:
            return CFileException::generic;
    }
}

HANDLE AsHandle(intptr_t h) {
    return reinterpret_cast<HANDLE>(h);
}

}  // namespace

bool CDiskFile::OpenForReading(const char* path, CFileException* error) {
    Close();
    HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD err = GetLastError();
        if (error) *error = CFileException(CauseOf(err), static_cast<long>(err));
        return false;
    }
    LARGE_INTEGER size;
    if (!GetFileSizeEx(h, &size)) size.QuadPart = 0;
    m_handle = reinterpret_cast<intptr_t>(h);
    m_length = static_cast<uint64_t>(size.QuadPart);
    m_pos = 0;
    return true;
}

void CDiskFile::Close() {
    if (m_handle != -1) CloseHandle(AsHandle(m_handle));
    m_handle = -1;
}

size_t CDiskFile::Read(void* buffer, size_t count) {
    if (m_handle == -1) throw CFileException(CFileException::generic);
    DWORD got = 0;
    if (!ReadFile(AsHandle(m_handle), buffer, static_cast<DWORD>(count), &got, nullptr)) {
        DWORD err = GetLastError();
        throw CFileException(CauseOf(err), static_cast<long>(err));
    }
    m_pos += got;
    return got;
}

bool PathExists(const char* path) {
    return path && GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

bool ReplaceFileContents(const char* path, const std::string& bytes) {
    if (!path || !*path) return false;
    DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) return false;
        // A file that someone holds open without sharing cannot be replaced;
        // find out now rather than after the temporary file is written.
        HANDLE probe = CreateFileA(path, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
        if (probe == INVALID_HANDLE_VALUE) return false;
        CloseHandle(probe);
    }
    static std::atomic<unsigned> counter{0};
    std::string temp = std::string(path) + ".~" + std::to_string(GetCurrentProcessId()) + "." +
                       std::to_string(counter++);
    HANDLE h = CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    bool ok = true;
    size_t done = 0;
    while (ok && done < bytes.size()) {
        DWORD wrote = 0;
        ok = WriteFile(h, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &wrote,
                       nullptr) &&
             wrote > 0;
        done += wrote;
    }
    ok = ok && FlushFileBuffers(h);
    ok = CloseHandle(h) && ok;
    if (ok && attributes != INVALID_FILE_ATTRIBUTES) {
        SetFileAttributesA(temp.c_str(), attributes & ~FILE_ATTRIBUTE_NORMAL);
    }
    ok = ok && MoveFileExA(temp.c_str(), path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (!ok) {
        DeleteFileA(temp.c_str());
        return false;
    }
    return true;
}
