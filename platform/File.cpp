#include "File.h"

#include <algorithm>
#include <cstring>

size_t CMemFile::Read(void* buffer, size_t count) {
    size_t n = std::min(count, m_bytes.size() - m_pos);
    std::memcpy(buffer, m_bytes.data() + m_pos, n);
    m_pos += n;
    return n;
}

void CMemFile::Write(const void* buffer, size_t count) {
    m_bytes.append(static_cast<const char*>(buffer), count);
    m_pos = m_bytes.size();
}

void CDiskFile::Write(const void*, size_t) {
    throw CFileException(CFileException::accessDenied);
}

CDiskFile::~CDiskFile() {
    Close();
}

std::string FileTitleOf(const char* path) {
    std::string p = path ? path : "";
    size_t slash = p.find_last_of("/\\");
    std::string name = slash == std::string::npos ? p : p.substr(slash + 1);
    if (name.size() >= 2 && name[1] == ':' && slash == std::string::npos) name = name.substr(2);
    size_t dot = name.rfind('.');
    if (dot != std::string::npos) name.resize(dot);
    return name;
}
