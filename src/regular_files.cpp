#include "regular_files.hpp"

#include <ctime>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

WorkDirectory open_work_directory(const char* path)
{
    Directory handle{::opendir(path)};
    if (handle)
        return {WorkDirectory::State::open, std::move(handle)};
    return {is_absent(errno) ? WorkDirectory::State::absent : WorkDirectory::State::unusable,
            nullptr};
}

FileState look_at(int directory, const char* name, struct stat& status)
{
    if (::fstatat(directory, name, &status, 0) != 0)
        return is_absent(errno) ? FileState::missing : FileState::unusable;
    return S_ISREG(status.st_mode) ? FileState::regular : FileState::not_regular;
}

FileState inspect(const char* path)
{
    struct stat status {};
    return look_at(AT_FDCWD, path, status);
}

bool has_attributes(const char* path, const Attributes& attributes)
{
    struct stat status {};
    return look_at(AT_FDCWD, path, status) == FileState::regular &&
           status.st_uid == attributes.owner && status.st_gid == attributes.group &&
           (status.st_mode & 07777) == attributes.mode;
}

OpenedFile open_regular(const char* path)
{
    return open_regular_at(AT_FDCWD, path);
}

OpenedFile open_regular_at(int directory, const char* name)
{
    struct stat status {};
    if (const FileState state = look_at(directory, name, status); state != FileState::regular)
        return {state, {}};
    // Something else may have taken the file's place since: never wait on it, check again.
    FileDescriptor fd{::openat(directory, name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)};
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
