#include "system_files.hpp"

#include <array>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string_view>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>

namespace {

// Hands a checked descriptor over to a stream; if that fails, fd still closes it.
Stream adopt(FileDescriptor& fd, const char* mode)
{
    Stream stream{::fdopen(fd.get(), mode)};
    if (stream)
        (void)fd.release(); // now owned by the stream
    return stream;
}

// Rights as one class's bits of a mode.
constexpr mode_t may_read = 4;
constexpr mode_t may_search = 1;

// Whether the access control list at path grants rights to every entry it has; everyone where
// it has none. Its stored form is the kernel's: a version, then entries of a tag, the rights and
// an id, little-endian.
Readers acl_grants_everyone(const char* path, mode_t rights)
{
    constexpr std::size_t header_size = 4;
    constexpr std::size_t entry_size = 8;
    constexpr unsigned masked_tags = 0x02 | 0x04 | 0x08; // named users, the group, named groups
    constexpr unsigned mask_tag = 0x10;
    std::array<unsigned char, header_size + 64 * entry_size> acl{};
    const ssize_t size = ::getxattr(path, "system.posix_acl_access", acl.data(), acl.size());
    if (size < 0 && (errno == ENODATA || errno == ENOTSUP))
        return Readers::everyone;
    if (size < 0 || static_cast<std::size_t>(size) < header_size ||
        (static_cast<std::size_t>(size) - header_size) % entry_size != 0)
        return Readers::unknown;
    const auto field = [&](std::size_t at) {
        return unsigned{acl.at(at)} | unsigned{acl.at(at + 1)} << 8U;
    };
    unsigned mask = 07;
    for (std::size_t at = header_size; at < static_cast<std::size_t>(size); at += entry_size)
        if (field(at) == mask_tag)
            mask = field(at + 2);
    for (std::size_t at = header_size; at < static_cast<std::size_t>(size); at += entry_size) {
        const unsigned tag = field(at);
        const unsigned granted = field(at + 2) & ((tag & masked_tags) != 0 ? mask : 07U);
        if (tag != mask_tag && (granted & rights) != rights)
            return Readers::not_everyone;
    }
    return Readers::everyone;
}

// Whether path grants rights to its owner, its group, others and its list's entries.
Readers grants_everyone(const char* path, mode_t rights)
{
    struct stat status {};
    if (::stat(path, &status) != 0)
        return Readers::unknown;
    const mode_t all_classes = rights << 6U | rights << 3U | rights;
    if ((status.st_mode & all_classes) != all_classes)
        return Readers::not_everyone;
    return acl_grants_everyone(path, rights);
}

// Whether every directory above path, as it is spelt, may be searched by everyone.
Readers ancestors_searchable(std::string_view path)
{
    Readers searchable = grants_everyone("/", may_search);
    for (std::size_t slash = path.find('/', 1);
         searchable == Readers::everyone && slash != std::string_view::npos;
         slash = path.find('/', slash + 1))
        searchable = grants_everyone(std::string{path.substr(0, slash)}.c_str(), may_search);
    return searchable;
}

} // namespace

Readers readable_by_everyone(const char* path)
{
    struct stat status {};
    if (::stat(path, &status) != 0)
        return Readers::unknown;
    const mode_t rights = S_ISDIR(status.st_mode) ? may_read | may_search : may_read;
    // Where links lead, the directories on the way are searched too.
    std::array<char, PATH_MAX> real{};
    Readers readers = ancestors_searchable(path);
    if (readers == Readers::everyone)
        readers = ::realpath(path, real.data()) == nullptr ? Readers::unknown
                                                           : ancestors_searchable(real.data());
    if (readers == Readers::everyone)
        readers = grants_everyone(real.data(), rights);
    return readers;
}

bool has_attributes(const char* path, const Attributes& attributes)
{
    struct stat status {};
    return ::stat(path, &status) == 0 && S_ISREG(status.st_mode) &&
           status.st_uid == attributes.owner && status.st_gid == attributes.group &&
           (status.st_mode & 07777) == attributes.mode;
}

FileState inspect(const char* path)
{
    struct stat status {};
    if (::stat(path, &status) != 0)
        return is_absent(errno) ? FileState::missing : FileState::unusable;
    return S_ISREG(status.st_mode) ? FileState::regular : FileState::not_regular;
}

OpenedFile open_regular(const char* path)
{
    return open_regular_at(AT_FDCWD, path);
}

OpenedFile open_regular_at(int directory, const char* name)
{
    struct stat status {};
    if (::fstatat(directory, name, &status, 0) != 0)
        return {is_absent(errno) ? FileState::missing : FileState::unusable, {}};
    if (!S_ISREG(status.st_mode))
        return {FileState::not_regular, {}};
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

std::optional<PendingFile> PendingFile::create(int directory, std::string name)
{
    FileDescriptor fd{::openat(directory, name.c_str(),
                               O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
                               0600)};
    struct stat status {};
    if (!fd.valid() || ::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
        status.st_nlink != 1)
        return std::nullopt;
    // Emptied only now that it is known to be a file of ours alone.
    if (::ftruncate(fd.get(), 0) != 0)
        return std::nullopt;
    Stream stream = adopt(fd, "w");
    if (!stream)
        return std::nullopt;
    return PendingFile{directory, std::move(name), std::move(stream)};
}

PendingFile::PendingFile(int directory, std::string name, Stream stream) noexcept
    : directory_{directory}, name_{std::move(name)}, stream_{std::move(stream)}
{
}

PendingFile::PendingFile(PendingFile&& other) noexcept
    : directory_{other.directory_}, name_{std::move(other.name_)},
      stream_{std::move(other.stream_)}, pending_{std::exchange(other.pending_, false)}
{
}

PendingFile::~PendingFile()
{
    if (!pending_)
        return;
    stream_.reset();
    // A copy left behind harms nothing: the file it was to replace is intact either way.
    (void)::unlinkat(directory_, name_.c_str(), 0);
}

bool PendingFile::write(std::string_view line)
{
    std::FILE* out = stream_.get();
    return out != nullptr && std::fwrite(line.data(), 1, line.size(), out) == line.size() &&
           std::fputc('\n', out) != EOF && std::fflush(out) == 0;
}

bool PendingFile::sync(const Attributes& attributes)
{
    if (!stream_)
        return false;
    const int fd = ::fileno(stream_.get());
    return ::fchown(fd, attributes.owner, attributes.group) == 0 &&
           ::fchmod(fd, attributes.mode & 07777) == 0 && ::fsync(fd) == 0;
}

bool PendingFile::close()
{
    return stream_ && std::fclose(stream_.release()) == 0;
}

bool PendingFile::replace(const std::string& name)
{
    if (stream_ || ::renameat(directory_, name_.c_str(), directory_, name.c_str()) != 0)
        return false;
    pending_ = false;
    return ::fsync(directory_) == 0;
}
