#include "rewrite.hpp"

#include <cstdlib>
#include <string_view>

#include <sys/stat.h>
#include <sys/types.h>

namespace {

constexpr std::string_view disabled_line = "autospawn = no";
constexpr std::string_view autospawn_key = "autospawn";
// The sound server's reader starts a comment at either mark, anywhere on a line.
constexpr std::string_view comment_marks = ";#";

// Owns the line buffer that getline grows, so that a line of any length fits.
struct LineBuffer {
    char* data = nullptr;
    size_t capacity = 0;

    LineBuffer() = default;
    LineBuffer(const LineBuffer&) = delete;
    LineBuffer& operator=(const LineBuffer&) = delete;
    ~LineBuffer() { std::free(data); }
};

// On every way out but a successful rename: closes the temporary stream if still open,
// then removes the temporary file.
class TemporaryFileDiscarder {
public:
    explicit TemporaryFileDiscarder(Stream& temporary) noexcept : temporary_{temporary} {}
    TemporaryFileDiscarder(const TemporaryFileDiscarder&) = delete;
    TemporaryFileDiscarder& operator=(const TemporaryFileDiscarder&) = delete;
    ~TemporaryFileDiscarder()
    {
        if (!armed_)
            return;
        temporary_.reset();
        // A copy left behind harms nothing: the configuration file is intact either way.
        (void)std::remove(temporary_path);
    }

    void dismiss() noexcept { armed_ = false; }

private:
    Stream& temporary_;
    bool armed_ = true;
};

bool contains(std::string_view line, std::string_view text)
{
    return line.find(text) != std::string_view::npos;
}

// Flushed line by line, so that no part of the copy is held back in memory.
bool write_line(std::FILE* out, std::string_view line)
{
    return std::fwrite(line.data(), 1, line.size(), out) == line.size() &&
           std::fputc('\n', out) != EOF && std::fflush(out) == 0;
}

// Gives the copy the owner, group and mode of the file it replaces, puts it on disk and
// closes it; the rename may follow only if all of that succeeded.
bool finish_copy(Stream temporary, const struct stat& original)
{
    const int fd = ::fileno(temporary.get());
    // fchown may clear set-id bits, so the mode is set after it.
    if (::fchown(fd, original.st_uid, original.st_gid) != 0 ||
        ::fchmod(fd, original.st_mode & 07777) != 0)
        return false;
    // Without this, a crash soon after the rename can leave an empty configuration file.
    if (::fsync(fd) != 0)
        return false;
    return std::fclose(temporary.release()) == 0;
}

} // namespace

RewriteOutcome rewrite_client_conf(Stream client_conf, Stream temporary, int pulse_directory)
{
    TemporaryFileDiscarder discarder{temporary};

    struct stat original {};
    if (::fstat(::fileno(client_conf.get()), &original) != 0)
        return RewriteOutcome::read_failed;

    bool copy_written = true;           // false from the first failed write on
    bool key_mentioned = false;         // some line mentions the key, commented or not
    bool last_setting_disabled = false; // the last uncommented mention says "autospawn = no"
    LineBuffer line;
    ssize_t length = 0;
    while ((length = ::getline(&line.data, &line.capacity, client_conf.get())) != -1) {
        std::string_view text{line.data, static_cast<size_t>(length)};
        if (!text.empty() && text.back() == '\n')
            text.remove_suffix(1);

        const bool mentions_key = contains(text, autospawn_key);
        if (mentions_key && text.find_first_of(comment_marks) == std::string_view::npos)
            last_setting_disabled = contains(text, disabled_line);
        key_mentioned = key_mentioned || mentions_key;
        // Reading goes on after a failed write: a file that is already disabled needs no copy.
        if (copy_written)
            copy_written = write_line(temporary.get(), mentions_key ? disabled_line : text);
    }
    // getline also stops on a failed allocation, which sets neither flag but is no end of file.
    if (std::ferror(client_conf.get()) || !std::feof(client_conf.get()))
        return RewriteOutcome::read_failed;
    client_conf.reset();

    if (last_setting_disabled)
        return RewriteOutcome::already_disabled;

    if (!key_mentioned && copy_written)
        copy_written = write_line(temporary.get(), disabled_line);
    if (!copy_written || !finish_copy(std::move(temporary), original))
        return RewriteOutcome::write_failed;

    if (std::rename(temporary_path, client_conf_path) != 0)
        return RewriteOutcome::replace_failed;
    discarder.dismiss();
    // The new directory entry is on disk only once the directory itself is synced.
    if (::fsync(pulse_directory) != 0)
        return RewriteOutcome::replace_failed;
    return RewriteOutcome::disabled_now;
}
