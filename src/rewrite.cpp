#include "rewrite.hpp"

#include <cstdlib>

#include <sys/stat.h>
#include <sys/types.h>

#include "library_reading.hpp"

namespace {

constexpr std::string_view disabled_line = "autospawn = no";
// A line with either mark anywhere does not count as the file's own setting.
constexpr std::string_view comment_marks = ";#";

bool contains(std::string_view line, std::string_view text)
{
    return line.find(text) != std::string_view::npos;
}

} // namespace

RuleLine by_line_rule(std::string_view line)
{
    if (!contains(line, autospawn_key))
        return {.mentions_key = false, .counts = false, .says = Setting::silent, .written = line};
    const bool counts = line.find_first_of(comment_marks) == std::string_view::npos;
    return {.mentions_key = true,
            .counts = counts,
            .says =
                counts && contains(line, disabled_line) ? Setting::disabled : Setting::not_disabled,
            .written = disabled_line};
}

std::string_view appended_line()
{
    return disabled_line;
}

LineReader::~LineReader()
{
    std::free(buffer_);
}

std::optional<std::string_view> LineReader::next()
{
    const ssize_t length = ::getline(&buffer_, &capacity_, file_);
    if (length == -1)
        return std::nullopt;
    std::string_view line{buffer_, static_cast<size_t>(length)};
    if (line.back() == '\n')
        line.remove_suffix(1);
    return line;
}

bool LineReader::read_to_end() const
{
    // getline also stops on a failed allocation, which sets neither flag but is no end of file.
    return !std::ferror(file_) && std::feof(file_);
}

RewriteOutcome rewrite_client_conf(Stream file, PendingFile copy, const RewriteTarget& target)
{
    Attributes attributes = own_attributes;
    FileSetting read;
    if (file) {
        struct stat original {};
        if (!target.tool_owned) {
            if (::fstat(::fileno(file.get()), &original) != 0)
                return RewriteOutcome::error_reading;
            attributes = {
                .owner = original.st_uid, .group = original.st_gid, .mode = original.st_mode};
        }
        LineReader lines{file.get()};
        while (const std::optional<std::string_view> line = lines.next()) {
            const RuleLine rule = by_line_rule(*line);
            read.add(rule);
            if (!copy.write(rule.written))
                return RewriteOutcome::error_writing_temporary;
        }
        if (!lines.read_to_end())
            return RewriteOutcome::error_reading;
        file.reset();
    }
    if (!read.key_mentioned && !copy.write(disabled_line))
        return RewriteOutcome::error_writing_temporary;
    switch (copy.commit(attributes)) {
    case PendingFile::Commit::done:
        return RewriteOutcome::disabled_now;
    case PendingFile::Commit::not_written:
        return RewriteOutcome::error_writing_temporary;
    case PendingFile::Commit::not_replaced:
        return RewriteOutcome::error_replacing;
    }
    return RewriteOutcome::error_replacing; // not reached: every value is handled above
}

std::optional<Outcome> rewrite_target(const RewriteTarget& target)
{
    OpenedFile file = open_regular_at(target.directory, target.name.c_str());
    if (!file.stream && !(file.state == FileState::missing && target.tool_owned))
        return Outcome{RewriteOutcome::error_opening, target.path};
    std::optional<PendingFile> copy = PendingFile::create(target.directory, target.name);
    if (!copy)
        return Outcome{RewriteOutcome::error_creating_temporary, target.path};
    const RewriteOutcome outcome =
        rewrite_client_conf(std::move(file.stream), std::move(*copy), target);
    if (outcome == RewriteOutcome::disabled_now)
        return std::nullopt;
    return Outcome{outcome, target.path};
}
