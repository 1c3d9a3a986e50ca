#include "config_files.hpp"

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>

FileState inspect(const char* path)
{
    struct stat status {};
    if (::stat(path, &status) != 0)
        return errno == ENOENT || errno == ENOTDIR ? FileState::missing : FileState::unusable;
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
    Stream stream{::fdopen(fd.get(), "r")};
    if (!stream)
        return {FileState::unusable, {}};
    (void)fd.release(); // now owned by the stream
    return {FileState::regular, std::move(stream)};
}

std::optional<std::vector<std::string>> list_drop_ins(DIR* directory)
{
    if (directory == nullptr)
        return std::nullopt;
    std::vector<std::string> names;
    for (;;) {
        errno = 0; // readdir tells the end from a failure only through errno
        const dirent* entry = ::readdir(directory);
        if (entry == nullptr)
            break;
        if (const std::string_view name = entry->d_name; name.ends_with(drop_in_suffix))
            names.emplace_back(name);
    }
    if (errno != 0)
        return std::nullopt;
    // std::string compares bytes as unsigned, as strcmp does in the library's C locale.
    std::sort(names.begin(), names.end());
    return names;
}
