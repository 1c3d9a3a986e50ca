#include "system_files.hpp"

#include <ctime>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

namespace {

// Hands a checked descriptor over to a stream; if that fails, fd still closes it.
Stream adopt(FileDescriptor& fd, const char* mode)
{
    Stream stream{::fdopen(fd.get(), mode)};
    if (stream)
        (void)fd.release(); // now owned by the stream
    return stream;
}

} // namespace

FileState inspect(const char* path)
{
    struct stat status {};
    if (::stat(path, &status) != 0)
        return is_absent(errno) ? FileState::missing : FileState::unusable;
    return S_ISREG(status.st_mode) ? FileState::regular : FileState::not_regular;
}

OpenedFile open_regular(const char* path)
{
    if (const FileState state = inspect(path); state != FileState::regular)
        return {state, {}};
    // Something else may have taken the file's place since: never wait on it, check again.
    FileDescriptor fd{::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)};
    struct stat status {};
    if (!fd.valid() || ::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode))
        return {FileState::unusable, {}};
    Stream stream = adopt(fd, "r");
    if (!stream)
        return {FileState::unusable, {}};
    return {FileState::regular, std::move(stream)};
}

FileDescriptor lock_exclusively(const char* path, long patience_ms)
{
    constexpr long pause_ms = 10;
    FileDescriptor fd{
        ::open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600)};
    struct stat status {};
    // Anyone who could open it could lock it.
    if (!fd.valid() || ::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
        status.st_uid != 0 || (status.st_mode & 0077) != 0)
        return FileDescriptor{-1};
    for (long waited = 0;; waited += pause_ms) {
        if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0)
            return fd;
        if (errno != EWOULDBLOCK || waited >= patience_ms)
            return FileDescriptor{-1};
        const timespec pause{0, pause_ms * 1000 * 1000};
        (void)::nanosleep(&pause, nullptr); // woken early, it only tries sooner
    }
}

Stream open_temporary(const std::string& path)
{
    FileDescriptor fd{::open(
        path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600)};
    struct stat status {};
    if (!fd.valid() || ::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
        status.st_nlink != 1)
        return {};
    // Emptied only now that it is known to be a file of ours alone.
    if (::ftruncate(fd.get(), 0) != 0)
        return {};
    return adopt(fd, "w");
}
