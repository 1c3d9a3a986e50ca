// The files the client library reads its settings from, and how they are opened safely.
#pragma once

#include <cerrno>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <dirent.h>

#include "rewrite.hpp"

// Read after client.conf, each file overriding what came before it.
inline constexpr const char* drop_in_directory_path = "/etc/pulse/client.conf.d";
// The library reads only the names that end in it; the temporary copies do not.
inline constexpr std::string_view drop_in_suffix = ".conf";
inline constexpr std::string_view temporary_suffix = ".tmp";
// The tool's own drop-in. Its name sorts after those that packages and administrators use
// ("00-...", "01-...", "local.conf"), so the library reads it last among them; and no package
// owns it, so upgrades leave it alone.
inline constexpr std::string_view own_drop_in_name = "zz-pulse-autospawn-off.conf";

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
// Opens path for reading only if it is a regular file: a FIFO would block the run and a
// device would never end.
OpenedFile open_regular(const char* path);
// Opens a temporary path for writing without following a symbolic link or waiting on a
// FIFO, and accepts only a regular file with no other name: a copy left by an earlier run,
// which is emptied. Null otherwise.
Stream open_temporary(const std::string& path);

struct DirectoryCloser {
    // Only read from, so its close has nothing to report.
    void operator()(DIR* directory) const noexcept { (void)::closedir(directory); }
};
using Directory = std::unique_ptr<DIR, DirectoryCloser>;

// The files to rewrite so that the library ends up with autospawn off, in the order to rewrite
// them: none when it is off already.
struct ClientFiles {
    Directory drop_in_directory; // null when there is none; the drop-ins' renames are synced in it
    std::vector<RewriteTarget> targets;
};

// Reads client.conf and every drop-in, and changes nothing.
std::optional<Failure> learn_client_files(int pulse_directory, ClientFiles& files);
