// Files on POSIX systems.
#include "platform/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace platform {

File::~File() {
    Close();
}

bool File::Open(const std::string& path) {
    Close();
    int fd;
    // Without O_NONBLOCK, opening a named pipe would wait for a writer that may never come.
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return false;
    // Only regular files hold firmware: a directory, pipe or device is refused here.
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    m_Fd = fd;
    return true;
}

void File::Close() {
    if (m_Fd >= 0) {
        ::close(m_Fd);
        m_Fd = -1;
    }
}

std::int64_t File::Length() const {
    struct stat st {};
    if (m_Fd < 0 || ::fstat(m_Fd, &st) != 0) return -1;
    return static_cast<std::int64_t>(st.st_size);
}

bool File::Seek(std::int64_t offset) {
    if (m_Fd < 0 || offset < 0) return false;
    return ::lseek(m_Fd, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset);
}

std::int64_t File::Read(void* buffer, std::size_t count) {
    if (m_Fd < 0) return -1;
    auto* out = static_cast<char*>(buffer);
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::read(m_Fd, out + done, count - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    return static_cast<std::int64_t>(done);
}

std::string CurrentDirectory() {
    char buffer[PATH_MAX];
    if (::getcwd(buffer, sizeof buffer) == nullptr) return {};
    return buffer;
}

}  // namespace platform
