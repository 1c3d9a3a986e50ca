#include "pending_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>

namespace {

// A pending file's copy is named after the file it is to replace.
constexpr std::string_view copy_suffix = ".tmp";

std::string copy_of(const std::string& target)
{
    return target + std::string{copy_suffix};
}

} // namespace

std::optional<PendingFile> PendingFile::create(int directory, std::string target)
{
    const std::string copy = copy_of(target);
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
    return copy_of(target_);
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
