// The one edit this tool exists for: a copy of a client configuration file in which every
// line that mentions autospawn says "autospawn = no", put in place of the original.
#pragma once

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include <unistd.h>

inline constexpr const char* client_conf_path = "/etc/pulse/client.conf";
// Beside the configuration file, so that the rename onto it stays within one file system.
inline constexpr const char* temporary_path = "/etc/pulse/client.conf.tmp";
// Locked to serialise runs, and synced so that the rename survives a crash.
inline constexpr const char* pulse_directory_path = "/etc/pulse";

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

// What ends a run early: the step that failed and the path that its message names.
enum class Failed { opening, reading, listing, replacing };
struct Failure {
    Failed step;
    std::string path;
};

// Owns a POSIX file descriptor and closes it on every path that does not hand it on.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) noexcept : fd_{fd} {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor()
    {
        // Reached only for descriptors whose close has nothing left to report.
        if (fd_ >= 0)
            (void)::close(fd_);
    }

    [[nodiscard]] int get() const noexcept { return fd_; }
    [[nodiscard]] bool valid() const noexcept { return fd_ >= 0; }
    int release() noexcept { return std::exchange(fd_, -1); }

private:
    int fd_;
};

struct StreamCloser {
    // Closes streams abandoned on a failure path; a checked close uses release() instead.
    void operator()(std::FILE* stream) const noexcept { (void)std::fclose(stream); }
};
using Stream = std::unique_ptr<std::FILE, StreamCloser>;

// A file of settings that the rewrite may replace, and where its copy is made.
struct RewriteTarget {
    std::string path;
    std::string temporary_path; // beside it, so that the rename stays within one file system
    int directory;              // holds both; synced after the rename, never closed here
    // client.conf is where the default is overridden, so it gains "autospawn = no" even when
    // it says nothing; a drop-in that says nothing is left alone.
    bool rewrite_when_silent;
    // Only the tool's own drop-in may be missing: it is then made from nothing, owned by root
    // and readable by all, as the packages' files are.
    bool create_when_missing;
};

// Reads the file to its end; nothing when that fails.
std::optional<Setting> read_setting(Stream file);

// Takes over both streams: the target open for reading at its start (null when it is to be
// made from nothing, which reads as an empty file), and its empty temporary file open for
// writing. Before it returns, both are closed and the temporary file has been renamed onto
// the target or removed.
RewriteOutcome rewrite_client_conf(Stream file, Stream temporary, const RewriteTarget& target);
