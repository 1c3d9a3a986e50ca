// The files the client library reads its settings from, and how they are opened safely.
#pragma once

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

// The names in directory that the library reads, in its order: those ending in
// drop_in_suffix, sorted bytewise. Nothing when the directory, which may be null because it
// could not be opened, cannot be read to its end.
std::optional<std::vector<std::string>> list_drop_ins(DIR* directory);
