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
    already_disabled, // no change needed: it disables autospawn, or is a silent drop-in
    disabled_now,     // the rewritten copy has replaced the file
    read_failed,      // the file could not be read to its end; nothing changed
    write_failed,     // the copy could not be written and made durable; nothing changed
    replace_failed,   // the copy could not be renamed into place, or the rename made durable
};

// A file of settings that the rewrite may replace, and where its copy is made.
struct RewriteTarget {
    std::string path;
    std::string temporary_path; // beside it, so that the rename stays within one file system
    int directory;              // holds both; synced after the rename, never closed here
    // client.conf is where the default is overridden, so it gains "autospawn = no" even when
    // it says nothing; a drop-in that says nothing is left alone.
    bool rewrite_when_silent;
    // One of the tool's own drop-ins: made from nothing where it is missing, and always owned
    // by root and readable by all, as the packages' files are, so that every user reads it.
    // Any other file keeps its owner, group and mode.
    bool tool_owned;
    // The client library may read autospawn on in it, whatever the line rule says.
    bool must_change = false;
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

// Takes over both streams: the target open for reading at its start (null when it is to be
// made from nothing, which reads as an empty file), and its empty temporary file open for
// writing. Before it returns, both are closed and the temporary file has been renamed onto
// the target or removed.
RewriteOutcome rewrite_client_conf(Stream file, Stream temporary, const RewriteTarget& target);

// What carrying out one target came to.
struct TargetResult {
    std::optional<Failure> failure; // what ends the run, if anything did
    bool changed = false;           // whether the file now holds the rewritten copy
};

// Opens the target and its copy beside it, rewrites it, and reports the step that failed.
TargetResult rewrite_target(const RewriteTarget& target);
