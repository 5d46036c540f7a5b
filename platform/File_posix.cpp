#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

#include "File.h"

namespace {

int CauseOf(int err) {
    switch (err) {
        case ENOENT:
            return CFileException::fileNotFound;
        case ENOTDIR:
        case ENAMETOOLONG:
        case ELOOP:
            return CFileException::badPath;
        case EACCES:
        case EPERM:
        case EISDIR:
            return CFileException::accessDenied;
        case EWOULDBLOCK:
            return CFileException::sharingViolation;
        default:
            return CFileException::generic;
    }
}

bool WriteAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// The file a path finally names: symbolic links followed, even when the last
// one points at a file that does not exist yet.
std::string ResolveLinks(const std::string& path) {
    std::string current = path;
    for (int hops = 0; hops < 40; ++hops) {
        char target[PATH_MAX];
        ssize_t n = ::readlink(current.c_str(), target, sizeof target - 1);
        if (n < 0) return current;
        target[n] = '\0';
        if (target[0] == '/') {
            current = target;
        } else {
            size_t slash = current.rfind('/');
            current = (slash == std::string::npos ? std::string() : current.substr(0, slash + 1)) +
                      target;
        }
    }
    return current;
}

}  // namespace

bool CDiskFile::OpenForReading(const char* path, CFileException* error) {
    Close();
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (error) *error = CFileException(CauseOf(errno), errno);
        return false;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        ::close(fd);
        if (error) *error = CFileException(CFileException::accessDenied, EISDIR);
        return false;
    }
    m_handle = fd;
    m_length = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
    m_pos = 0;
    return true;
}

void CDiskFile::Close() {
    if (m_handle >= 0) ::close(static_cast<int>(m_handle));
    m_handle = -1;
}

size_t CDiskFile::Read(void* buffer, size_t count) {
    if (m_handle < 0) throw CFileException(CFileException::generic);
    for (;;) {
        ssize_t n = ::read(static_cast<int>(m_handle), buffer, count);
        if (n >= 0) {
            m_pos += static_cast<uint64_t>(n);
            return static_cast<size_t>(n);
        }
        if (errno != EINTR) throw CFileException(CauseOf(errno), errno);
    }
}

bool PathExists(const char* path) {
    return path && ::access(path, F_OK) == 0;
}

bool ReplaceFileContents(const char* path, const std::string& bytes) {
    if (!path || !*path) return false;
    const std::string target = ResolveLinks(path);

    mode_t mode = 0666;
    struct stat old;
    bool hadOld = ::stat(target.c_str(), &old) == 0;
    if (hadOld) {
        if (!S_ISREG(old.st_mode)) return false;
        // root may write anything; a file nobody may write is read-only all the same
        if (::access(target.c_str(), W_OK) != 0 || (old.st_mode & 0222) == 0) return false;
        mode = old.st_mode & 07777;
    } else {
        mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }

    std::string temp = target + ".tmpXXXXXX";
    int fd = ::mkstemp(&temp[0]);
    if (fd < 0) return false;
    bool ok = WriteAll(fd, bytes) && ::fchmod(fd, mode) == 0;
    if (ok && hadOld && (old.st_uid != ::geteuid() || old.st_gid != ::getegid())) {
        if (::fchown(fd, old.st_uid, old.st_gid) != 0) {
            // keeping the owner is a courtesy; the contents matter more
        }
    }
    ok = ok && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    ok = ok && ::rename(temp.c_str(), target.c_str()) == 0;
    if (!ok) {
        ::unlink(temp.c_str());
        return false;
    }
    size_t slash = target.rfind('/');
    std::string folder = slash == std::string::npos ? "." : target.substr(0, slash + 1);
    int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}
