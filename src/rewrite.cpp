#include "rewrite.hpp"

#include <cstdlib>
#include <string_view>

#include <sys/stat.h>
#include <sys/types.h>

namespace {

constexpr std::string_view disabled_line = "autospawn = no";
constexpr std::string_view autospawn_key = "autospawn";
// A line with either mark anywhere does not count as the file's own setting.
constexpr std::string_view comment_marks = ";#";
// The tool's own files are root's and readable by all.
constexpr mode_t new_file_mode = 0644;
constexpr uid_t root_user = 0;
constexpr gid_t root_group = 0;

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
    TemporaryFileDiscarder(Stream& temporary, const std::string& path) noexcept
        : temporary_{temporary}, path_{path}
    {
    }
    TemporaryFileDiscarder(const TemporaryFileDiscarder&) = delete;
    TemporaryFileDiscarder& operator=(const TemporaryFileDiscarder&) = delete;
    ~TemporaryFileDiscarder()
    {
        if (!armed_)
            return;
        temporary_.reset();
        // A copy left behind harms nothing: the file it was made from is intact either way.
        (void)std::remove(path_.c_str());
    }

    void dismiss() noexcept { armed_ = false; }

private:
    Stream& temporary_;
    const std::string& path_;
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

// What one pass over a file's lines found.
struct LinePass {
    Setting setting = Setting::silent;
    bool key_mentioned = false; // some line mentions the key, commented or not
    bool copy_written = true;   // false from the first failed write on
    bool read_to_end = false;
};

// Reads in to its end, one line in memory at a time. When copy is given, each line is written
// to it, every line that mentions the key replaced by the disabled line; when visit is given,
// each line is shown to it with its replacement.
LinePass pass_over_lines(std::FILE* in, std::FILE* copy, const LineVisitor* visit = nullptr)
{
    LinePass pass;
    LineBuffer line;
    ssize_t length = 0;
    while ((length = ::getline(&line.data, &line.capacity, in)) != -1) {
        std::string_view text{line.data, static_cast<size_t>(length)};
        if (!text.empty() && text.back() == '\n')
            text.remove_suffix(1);

        const bool mentions_key = contains(text, autospawn_key);
        if (mentions_key && text.find_first_of(comment_marks) == std::string_view::npos)
            pass.setting =
                contains(text, disabled_line) ? Setting::disabled : Setting::not_disabled;
        pass.key_mentioned = pass.key_mentioned || mentions_key;
        if (visit != nullptr)
            (*visit)(text, mentions_key ? disabled_line : text);
        // Reading goes on after a failed write: a file that is already disabled needs no copy.
        if (copy != nullptr && pass.copy_written)
            pass.copy_written = write_line(copy, mentions_key ? disabled_line : text);
    }
    // getline also stops on a failed allocation, which sets neither flag but is no end of file.
    pass.read_to_end = !std::ferror(in) && std::feof(in);
    return pass;
}

} // namespace

std::string_view appended_line()
{
    return disabled_line;
}

std::optional<FileSetting> read_setting(Stream file, const LineVisitor& visit)
{
    const LinePass pass = pass_over_lines(file.get(), nullptr, &visit);
    if (!pass.read_to_end)
        return std::nullopt;
    return FileSetting{pass.setting, pass.key_mentioned};
}

RewriteOutcome rewrite_client_conf(Stream file, Stream temporary, const RewriteTarget& target)
{
    TemporaryFileDiscarder discarder{temporary, target.temporary_path};

    struct stat original {};
    original.st_mode = new_file_mode;
    original.st_uid = root_user;
    original.st_gid = root_group;
    if (file && !target.tool_owned && ::fstat(::fileno(file.get()), &original) != 0)
        return RewriteOutcome::read_failed;
    LinePass pass =
        file ? pass_over_lines(file.get(), temporary.get()) : LinePass{.read_to_end = true};
    if (!pass.read_to_end)
        return RewriteOutcome::read_failed;
    file.reset();

    if (!target.must_change && (pass.setting == Setting::disabled ||
                                (pass.setting == Setting::silent && !target.rewrite_when_silent)))
        return RewriteOutcome::already_disabled;

    if (!pass.key_mentioned && pass.copy_written)
        pass.copy_written = write_line(temporary.get(), disabled_line);
    if (!pass.copy_written || !finish_copy(std::move(temporary), original))
        return RewriteOutcome::write_failed;

    if (std::rename(target.temporary_path.c_str(), target.path.c_str()) != 0)
        return RewriteOutcome::replace_failed;
    discarder.dismiss();
    // The new directory entry is on disk only once the directory itself is synced.
    if (::fsync(target.directory) != 0)
        return RewriteOutcome::replace_failed;
    return RewriteOutcome::disabled_now;
}

TargetResult rewrite_target(const RewriteTarget& target)
{
    OpenedFile file = open_regular(target.path.c_str());
    if (!file.stream && !(file.state == FileState::missing && target.tool_owned))
        return {Failure{Failed::opening, target.path}};
    Stream temporary = open_temporary(target.temporary_path);
    if (!temporary)
        return {Failure{Failed::creating_temporary, target.temporary_path}};
    switch (rewrite_client_conf(std::move(file.stream), std::move(temporary), target)) {
    case RewriteOutcome::already_disabled:
        return {};
    case RewriteOutcome::disabled_now:
        return {.failure = std::nullopt, .changed = true};
    case RewriteOutcome::read_failed:
        return {Failure{Failed::reading, target.path}};
    case RewriteOutcome::write_failed:
        return {Failure{Failed::writing_temporary, target.temporary_path}};
    case RewriteOutcome::replace_failed:
        return {Failure{Failed::replacing, target.path}};
    }
    return {}; // not reached: every outcome is handled above
}
