// Looking at and opening the files and directories a run works in: opens that never block on
// a FIFO, never follow a link where one could be planted, and tell "nothing there" from a
// failure.
#pragma once

#include <cerrno>

#include <sys/stat.h>
#include <sys/types.h>

#include "descriptors.hpp"

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

// The one look at what stands at name in directory, links followed; status is set where
// something is there.
FileState look_at(int directory, const char* name, struct stat& status);

struct OpenedFile {
    FileState state;
    Stream stream; // set only when state is regular
};

// Looks at what stands at path without opening it.
FileState inspect(const char* path);
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
