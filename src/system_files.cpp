#include "system_files.hpp"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>

namespace {

// A pending file's copy is named after the file it is to replace.
constexpr std::string_view copy_suffix = ".tmp";

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

// The kernel gives up on a path after following this many links.
constexpr int most_links = 40;

// Adds the names of path to names, so that the first to be looked up is the last.
void push_names(std::string_view path, std::vector<std::string>& names)
{
    std::vector<std::string> in_order;
    for (std::size_t start = 0; start < path.size();) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        if (end > start)
            in_order.emplace_back(path.substr(start, end - start));
        start = end + 1;
    }
    names.insert(names.end(), in_order.rbegin(), in_order.rend());
}

} // namespace

WorkDirectory open_work_directory(const char* path)
{
    Directory handle{::opendir(path)};
    if (handle)
        return {WorkDirectory::State::open, std::move(handle)};
    return {is_absent(errno) ? WorkDirectory::State::absent : WorkDirectory::State::unusable,
            nullptr};
}

Readers readable_by_everyone(const char* path)
{
    // Walked as the kernel walks it: every directory that a name is looked up in must let
    // everyone search it, those that the links on the way lead through included.
    std::string reached = "/"; // where the walk stands, with no link in it
    std::vector<std::string> names;
    push_names(path, names);
    int links = 0;
    while (!names.empty()) {
        const std::string name = std::move(names.back());
        names.pop_back();
        if (const Readers searchers = grants_everyone(reached.c_str(), may_search);
            searchers != Readers::everyone)
            return searchers;
        if (name == ".")
            continue;
        if (name == "..") {
            reached.erase(std::max<std::size_t>(reached.rfind('/'), 1));
            continue;
        }
        std::string next = (reached == "/" ? "" : reached) + '/' + name;
        struct stat status {};
        if (::lstat(next.c_str(), &status) != 0)
            return Readers::unknown;
        if (S_ISLNK(status.st_mode)) {
            std::array<char, PATH_MAX> target{};
            const ssize_t size = ::readlink(next.c_str(), target.data(), target.size());
            if (++links > most_links || size <= 0 ||
                static_cast<std::size_t>(size) >= target.size())
                return Readers::unknown;
            const std::string_view leads_to{target.data(), static_cast<std::size_t>(size)};
            if (leads_to.front() == '/')
                reached.erase(1); // back at the root
            push_names(leads_to, names);
            continue;
        }
        if (!names.empty() && !S_ISDIR(status.st_mode))
            return Readers::unknown;
        reached = std::move(next);
    }
    struct stat status {};
    if (::stat(reached.c_str(), &status) != 0)
        return Readers::unknown;
    return grants_everyone(reached.c_str(),
                           S_ISDIR(status.st_mode) ? may_read | may_search : may_read);
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

std::optional<PendingFile> PendingFile::create(int directory, std::string target)
{
    const std::string copy = target + std::string{copy_suffix};
    FileDescriptor fd{::openat(directory, copy.c_str(),
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
    return PendingFile{directory, std::move(target), std::move(stream)};
}

PendingFile::PendingFile(int directory, std::string target, Stream stream) noexcept
    : directory_{directory}, target_{std::move(target)}, stream_{std::move(stream)}
{
}

PendingFile::PendingFile(PendingFile&& other) noexcept
    : directory_{other.directory_}, target_{std::move(other.target_)},
      stream_{std::move(other.stream_)}, pending_{std::exchange(other.pending_, false)}
{
}

PendingFile::~PendingFile()
{
    if (!pending_)
        return;
    stream_.reset();
    // A copy left behind harms nothing: the file it was to replace is intact either way.
    (void)::unlinkat(directory_, copy_name().c_str(), 0);
}

std::string PendingFile::copy_name() const
{
    return target_ + std::string{copy_suffix};
}

bool PendingFile::write(std::string_view line)
{
    std::FILE* out = stream_.get();
    return out != nullptr && std::fwrite(line.data(), 1, line.size(), out) == line.size() &&
           std::fputc('\n', out) != EOF && std::fflush(out) == 0;
}

PendingFile::Commit PendingFile::commit(const Attributes& attributes)
{
    if (!stream_)
        return Commit::not_written;
    const int fd = ::fileno(stream_.get());
    if (::fchown(fd, attributes.owner, attributes.group) != 0 ||
        ::fchmod(fd, attributes.mode & 07777) != 0 || ::fsync(fd) != 0 ||
        std::fclose(stream_.release()) != 0)
        return Commit::not_written;
    if (::renameat(directory_, copy_name().c_str(), directory_, target_.c_str()) != 0)
        return Commit::not_replaced;
    pending_ = false;
    return ::fsync(directory_) == 0 ? Commit::done : Commit::not_replaced;
}
