// Safe access to system files: owners that close every descriptor, stream and directory, and
// opens that never block on a FIFO, never follow a link where one could be planted, and tell
// "nothing there" from a failure.
#pragma once

#include <cerrno>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <dirent.h>
#include <sys/types.h>
#include <unistd.h>

// Owns a POSIX file descriptor and closes it on every path that does not hand it on.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) noexcept : fd_{fd} {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd_{other.release()} {}
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

struct DirectoryCloser {
    // Only read from, so its close has nothing to report.
    void operator()(DIR* directory) const noexcept { (void)::closedir(directory); }
};
using Directory = std::unique_ptr<DIR, DirectoryCloser>;

// A directory that a run works in, opened once and held while it runs.
struct WorkDirectory {
    enum class State {
        open,
        absent,   // nothing there, or a dangling link
        unusable, // something there that could not be opened as a directory
    };
    State state;
    Directory handle; // set only when open

    [[nodiscard]] int fd() const { return ::dirfd(handle.get()); }
};
WorkDirectory open_work_directory(const char* path);

// Whether a failed lookup (its errno) means that nothing stands there.
inline bool is_absent(int error)
{
    return error == ENOENT || error == ENOTDIR;
}

enum class FileState {
    regular,     // a regular file, once links are followed
    missing,     // nothing there, or a dangling link
    not_regular, // a directory, FIFO, device or socket: it holds no settings
    unusable,    // there, but its state could not be learnt or it could not be opened
};

struct OpenedFile {
    FileState state;
    Stream stream; // set only when state is regular
};

// Looks at what stands at path without opening it.
FileState inspect(const char* path);
// Who may read a file: every user, whoever they are and whatever groups they are in, or not.
enum class Readers {
    everyone,
    not_everyone,
    unknown, // something of that could not be learnt
};
// Whether every user may read what stands at path (and, for a directory, also look inside it):
// it, and every directory that the kernel looks a name up in on the way, link by link, allows
// that to its owner, its group and others, and to every user and group its access control list
// names, where it has one.
Readers readable_by_everyone(const char* path);
// Opens path for reading only if it is a regular file: a FIFO would block the run and a
// device would never end.
OpenedFile open_regular(const char* path);
// The same for name in the open directory.
OpenedFile open_regular_at(int directory, const char* name);
// Takes an exclusive lock on a file at path that only root can open, made if missing, so that no
// other user can hold it; waits at most patience_ms for another holder to let go. An invalid
// descriptor when that fails; the lock lasts as long as the descriptor.
FileDescriptor lock_exclusively(const char* path, long patience_ms);

// Who owns a file and its permission bits.
struct Attributes {
    uid_t owner;
    gid_t group;
    mode_t mode;
};

// Whether path leads to a regular file with exactly these attributes.
bool has_attributes(const char* path, const Attributes& attributes);

// A new version of a file, made beside it in the same open directory as a copy named after it
// (".tmp" added: the library reads only names ending in ".conf", so never a copy), and put in
// its place whole or not at all by one commit. Until then, every way out removes the copy.
class PendingFile {
public:
    // Opens the copy of target in directory for writing without following a symbolic link or
    // waiting on a FIFO, and accepts only a regular file with no other name: a copy left by an
    // earlier run, which is emptied. Nothing otherwise.
    static std::optional<PendingFile> create(int directory, std::string target);
    PendingFile(PendingFile&& other) noexcept;
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;
    PendingFile& operator=(PendingFile&&) = delete;
    ~PendingFile();

    // One line and its newline, flushed, so that no part of it is held back in memory.
    bool write(std::string_view line);

    enum class Commit {
        done,         // the copy is the file now, on disk
        not_written,  // the copy could not be finished; the file is as it was
        not_replaced, // the rename failed, or could not be made durable
    };
    // Gives the copy its owner, group and mode (set-id bits are cleared by a change of owner,
    // so the mode comes last), syncs and closes it, renames it over the target and syncs the
    // directory: without the first sync a crash soon after the rename can leave an empty file,
    // without the last the new entry is not on disk.
    Commit commit(const Attributes& attributes);

private:
    PendingFile(int directory, std::string target, Stream stream) noexcept;
    [[nodiscard]] std::string copy_name() const;
    int directory_; // held by the caller for as long as this lives
    std::string target_;
    Stream stream_;
    bool pending_ = true;
};
