// The one edit this tool exists for: a copy of the client configuration in which every
// line that mentions autospawn says "autospawn = no", put in place of the original.
#pragma once

#include <cstdio>
#include <memory>
#include <utility>

#include <unistd.h>

inline constexpr const char* client_conf_path = "/etc/pulse/client.conf";
// Beside the configuration file, so that the rename onto it stays within one file system.
inline constexpr const char* temporary_path = "/etc/pulse/client.conf.tmp";
// Locked to serialise runs, and synced so that the rename survives a crash.
inline constexpr const char* pulse_directory_path = "/etc/pulse";

enum class RewriteOutcome {
    already_disabled, // the last setting already disables autospawn; nothing changed
    disabled_now,     // the rewritten copy has replaced the configuration file
    read_failed,      // the configuration file could not be read to its end; nothing changed
    write_failed,     // the copy could not be written and made durable; nothing changed
    replace_failed,   // the copy could not be renamed into place, or the rename made durable
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

// Takes over both streams: the configuration file open for reading at its start, and the
// empty temporary file open for writing. Before it returns, both are closed and the
// temporary file has been renamed onto the configuration file or removed.
// pulse_directory is the locked directory descriptor; it is only synced, never closed.
RewriteOutcome rewrite_client_conf(Stream client_conf, Stream temporary, int pulse_directory);
