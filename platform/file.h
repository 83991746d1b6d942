// Files: read-only access to firmware files, and the process's current directory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// A file opened for reading. Closed at construction and when destroyed.
class File {
public:
    File() = default;
    ~File();
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // False when the path cannot be opened for reading or is not a regular file (a directory,
    // a pipe, a device); the file then stays closed.
    bool Open(const std::string& path);
    void Close();  // nothing happens when it is not open
    bool IsOpen() const { return m_Fd >= 0; }

    // Length in bytes, -1 when it cannot be read.
    std::int64_t Length() const;
    // Positions the file at offset from its start; false on error.
    bool Seek(std::int64_t offset);
    // Reads up to count bytes; the count read (fewer only at the end of the file), -1 on error.
    std::int64_t Read(void* buffer, std::size_t count);

private:
    int m_Fd = -1;
};

// The process's current directory, read afresh on each call ("" when it cannot be read).
std::string CurrentDirectory();

}  // namespace platform
