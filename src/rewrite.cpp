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

// Owns the line buffer that getline grows, so that a line of any length fits.
struct LineBuffer {
    char* data = nullptr;
    size_t capacity = 0;

    LineBuffer() = default;
    LineBuffer(const LineBuffer&) = delete;
    LineBuffer& operator=(const LineBuffer&) = delete;
    ~LineBuffer() { std::free(data); }
};

bool contains(std::string_view line, std::string_view text)
{
    return line.find(text) != std::string_view::npos;
}

// What one pass over a file's lines found.
struct LinePass {
    Setting setting = Setting::silent;
    bool key_mentioned = false; // some line mentions the key, commented or not
    bool copy_written = true;   // false from the first failed write on
    bool read_to_end = false;
};

// Reads in to its end, one line in memory at a time. When copy is given, each line is written
// to it, every line that mentions the key replaced by the disabled line, until a write fails;
// when visit is given, each line is shown to it with its replacement.
LinePass pass_over_lines(std::FILE* in, PendingFile* copy, const LineVisitor* visit = nullptr)
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
        if (copy != nullptr &&
            !(pass.copy_written = copy->write(mentions_key ? disabled_line : text)))
            break;
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

RewriteOutcome rewrite_client_conf(Stream file, PendingFile copy, const RewriteTarget& target)
{
    Attributes attributes = own_attributes;
    struct stat original {};
    if (file && !target.tool_owned) {
        if (::fstat(::fileno(file.get()), &original) != 0)
            return RewriteOutcome::read_failed;
        attributes = {.owner = original.st_uid, .group = original.st_gid, .mode = original.st_mode};
    }
    const LinePass pass = file ? pass_over_lines(file.get(), &copy) : LinePass{.read_to_end = true};
    if (!pass.copy_written)
        return RewriteOutcome::write_failed;
    if (!pass.read_to_end)
        return RewriteOutcome::read_failed;
    file.reset();
    if ((!pass.key_mentioned && !copy.write(disabled_line)) || !copy.sync(attributes) ||
        !copy.close())
        return RewriteOutcome::write_failed;
    if (!copy.replace(target.name))
        return RewriteOutcome::replace_failed;
    return RewriteOutcome::disabled_now;
}

std::optional<Failure> rewrite_target(const RewriteTarget& target)
{
    OpenedFile file = open_regular_at(target.directory, target.name.c_str());
    if (!file.stream && !(file.state == FileState::missing && target.tool_owned))
        return Failure{Failed::opening, target.path};
    std::optional<PendingFile> copy =
        PendingFile::create(target.directory, target.name + std::string{temporary_suffix});
    if (!copy)
        return Failure{Failed::creating_temporary, target.path};
    switch (rewrite_client_conf(std::move(file.stream), std::move(*copy), target)) {
    case RewriteOutcome::disabled_now:
        return std::nullopt;
    case RewriteOutcome::read_failed:
        return Failure{Failed::reading, target.path};
    case RewriteOutcome::write_failed:
        return Failure{Failed::writing_temporary, target.path};
    case RewriteOutcome::replace_failed:
        return Failure{Failed::replacing, target.path};
    case RewriteOutcome::already_disabled:
        break; // a run's outcome, not a rewrite's
    }
    return std::nullopt;
}
