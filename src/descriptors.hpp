// Owners that close every descriptor, stream and directory on every path that does not hand
// them on.
#pragma once

#include <cstdio>
#include <memory>
#include <utility>

#include <dirent.h>
#include <unistd.h>

// Owns a POSIX file descriptor and closes it on every path that does not hand it on.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) noexcept : fd_{fd} {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd_{other.release()} {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor()
    {
        // Reached only for descriptors whose close has nothing left to report.
        if (fd_ >= 0)
            (void)::close(fd_);
    }

    [[nodiscard]] int get() const noexcept { return fd_; }
    [[nodiscard]] bool valid() const noexcept { return fd_ >= 0; }
    int release() noexcept { return std::exchange(fd_, -1); }

private:
    int fd_;
};

struct StreamCloser {
    // Closes streams abandoned on a failure path; a checked close uses release() instead.
    void operator()(std::FILE* stream) const noexcept { (void)std::fclose(stream); }
};
using Stream = std::unique_ptr<std::FILE, StreamCloser>;

struct DirectoryCloser {
    // Only read from, so its close has nothing to report.
    void operator()(DIR* directory) const noexcept { (void)::closedir(directory); }
};
using Directory = std::unique_ptr<DIR, DirectoryCloser>;

// Hands a checked descriptor over to a stream; if that fails, fd still closes it.
inline Stream adopt(FileDescriptor& fd, const char* mode)
{
    Stream stream{::fdopen(fd.get(), mode)};
    if (stream)
        (void)fd.release(); // now owned by the stream
    return stream;
}
