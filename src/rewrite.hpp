// The one edit this tool exists for: a copy of a client configuration file in which every
// line that mentions autospawn says "autospawn = no", put in place of the original; and the
// line rule it follows, as functions of one line.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "outcome.hpp"
#include "pending_file.hpp"
#include "regular_files.hpp"

// What a file says about autospawn by the line rule: its last uncommented line that mentions
// the key decides.
enum class Setting {
    silent,       // no uncommented line mentions the key
    disabled,     // that line says "autospawn = no"
    not_disabled, // it says anything else
};
// What the line rule makes of one line (without its newline).
struct RuleLine {
    bool mentions_key;        // it does, commented or not, and the rewrite replaces it
    bool counts;              // it is uncommented, so it is the file's setting until a later one
    Setting says;             // where it counts
    std::string_view written; // what the rewrite writes in its place
};
RuleLine by_line_rule(std::string_view line);
// The line the rewrite appends to a file in which no line mentions the key.
std::string_view appended_line();

struct FileSetting {
    Setting setting = Setting::silent;
    bool key_mentioned = false; // some line mentions the key, commented or not

    // What the file says once the next of its lines is read.
    void add(const RuleLine& line)
    {
        key_mentioned = key_mentioned || line.mentions_key;
        if (line.counts)
            setting = line.says;
    }
};

// Reads a file one line in memory at a time, a line of any length.
class LineReader {
public:
    explicit LineReader(std::FILE* file) : file_{file} {}
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;
    ~LineReader();
    // The next line without its newline, valid until the next call; nothing at the end or on
    // a failure.
    std::optional<std::string_view> next();
    // Once next() gave nothing: whether that was the end of the file.
    [[nodiscard]] bool read_to_end() const;

private:
    std::FILE* file_;
    char* buffer_ = nullptr; // grown by getline
    size_t capacity_ = 0;
};

// The tool's own files are root's and readable by all, as the packages' files are.
inline constexpr Attributes own_attributes{.owner = 0, .group = 0, .mode = 0644};

// A file of settings that the rewrite replaces, as the plan decided: every line that mentions
// autospawn becomes "autospawn = no", which is appended where no line mentions it.
struct RewriteTarget {
    std::string path; // as messages name it
    // Holds the file and its copy; the file is opened, replaced and synced through it, and the
    // run is confined to it, so that all three are one directory. Never closed here.
    int directory;
    std::string name; // in directory
    // One of the tool's own drop-ins: made from nothing where it is missing, and always owned
    // by root and readable by all, as the packages' files are, so that every user reads it.
    // Any other file keeps its owner, group and mode.
    bool tool_owned;
};

// Takes over the target, open for reading at its start (null when it is to be made from
// nothing, which reads as an empty file), and its empty copy. Before it returns, both are
// closed and the copy has replaced the target (disabled_now) or been removed (an error).
RewriteOutcome rewrite_client_conf(Stream file, PendingFile copy, const RewriteTarget& target);

// Opens the target and its copy beside it and rewrites it; how the run ends, where it fails.
std::optional<Outcome> rewrite_target(const RewriteTarget& target);
