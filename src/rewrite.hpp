// The one edit this tool exists for: a copy of a client configuration file in which every
// line that mentions autospawn says "autospawn = no", put in place of the original.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "system_files.hpp"

// What one file says about autospawn: its last uncommented line that mentions the key.
enum class Setting {
    silent,       // no uncommented line mentions the key
    disabled,     // that line says "autospawn = no"
    not_disabled, // it says anything else
};

enum class RewriteOutcome {
    already_disabled, // a run's, where nothing needed changing
    disabled_now,     // the rewritten copy has replaced the file
    read_failed,      // the file could not be read to its end; nothing changed
    write_failed,     // the copy could not be written and made durable; nothing changed
    replace_failed,   // the copy could not be renamed into place, or the rename made durable
};

// The tool's own files are root's and readable by all, as the packages' files are.
inline constexpr Attributes own_attributes{.owner = 0, .group = 0, .mode = 0644};

// The copies are named after the file they replace; the library reads only the names that end
// in ".conf", so never a copy.
inline constexpr std::string_view temporary_suffix = ".tmp";

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

// What one reading of a file found.
struct FileSetting {
    Setting setting;
    bool key_mentioned; // some line mentions the key, commented or not
};
// Called for each line, without its newline, and the line the rewrite writes in its place.
using LineVisitor = std::function<void(std::string_view line, std::string_view written)>;
// The line the rewrite appends to a file that it rewrites and in which no line mentions the key.
std::string_view appended_line();

// Reads the file to its end; nothing when that fails.
std::optional<FileSetting> read_setting(Stream file, const LineVisitor& visit);

// Takes over the target, open for reading at its start (null when it is to be made from
// nothing, which reads as an empty file), and its empty copy. Before it returns, both are
// closed and the copy has replaced the target or been removed.
RewriteOutcome rewrite_client_conf(Stream file, PendingFile copy, const RewriteTarget& target);

// Opens the target and its copy beside it, rewrites it, and reports the step that failed.
std::optional<Failure> rewrite_target(const RewriteTarget& target);
