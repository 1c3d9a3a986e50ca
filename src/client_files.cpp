#include "client_files.hpp"

#include <algorithm>
#include <cerrno>
#include <string>

namespace {

// The names in directory that the library reads, in its order: those ending in
// drop_in_suffix, sorted bytewise. Nothing when the directory, which may be null because it
// could not be opened, cannot be read to its end.
std::optional<std::vector<std::string>> list_drop_ins(DIR* directory)
{
    if (directory == nullptr)
        return std::nullopt;
    std::vector<std::string> names;
    for (;;) {
        errno = 0; // readdir tells the end from a failure only through errno
        const dirent* entry = ::readdir(directory);
        if (entry == nullptr)
            break;
        if (const std::string_view name = entry->d_name; name.ends_with(drop_in_suffix))
            names.emplace_back(name);
    }
    if (errno != 0)
        return std::nullopt;
    // std::string compares bytes as unsigned, as strcmp does in the library's C locale.
    std::sort(names.begin(), names.end());
    return names;
}

// What the library gets from the file at path: a regular file's own setting, or nothing from
// one it skips (missing or not regular). No setting when the file could not be read.
struct Reading {
    FileState state;
    std::optional<Setting> setting;
};

Reading read_at(const std::string& path)
{
    OpenedFile file = open_regular(path.c_str());
    if (!file.stream)
        return {file.state, Setting::silent};
    return {FileState::regular, read_setting(std::move(file.stream))};
}

std::string drop_in_path(std::string_view name)
{
    return std::string{drop_in_directory_path} + '/' + std::string{name};
}

RewriteTarget drop_in_target(const std::string& path, int directory, bool own)
{
    return {.path = path,
            .temporary_path = path + std::string{temporary_suffix},
            .directory = directory,
            .rewrite_when_silent = own,
            .create_when_missing = own};
}

} // namespace

std::optional<Failure> learn_client_files(int pulse_directory, ClientFiles& files)
{
    const Reading conf = read_at(client_conf_path);
    if (conf.state != FileState::regular) // as it was at the probe a moment ago
        return Failure{Failed::opening, client_conf_path};
    if (!conf.setting)
        return Failure{Failed::reading, client_conf_path};
    // The library reads client.conf, then the drop-ins in order; the last that speaks wins.
    Setting effective = *conf.setting;

    files.drop_in_directory.reset(::opendir(drop_in_directory_path));
    const bool no_directory = !files.drop_in_directory && is_absent(errno);
    const auto names = no_directory ? std::optional{std::vector<std::string>{}}
                                    : list_drop_ins(files.drop_in_directory.get());
    if (!names)
        return Failure{Failed::listing, drop_in_directory_path};
    Setting own_setting = Setting::silent;
    // Read after the own drop-in, so that it cannot override them.
    std::vector<std::string> later_enabling;
    for (const std::string& name : *names) {
        const std::string path = drop_in_path(name);
        const Reading drop_in = read_at(path);
        const bool own = name == own_drop_in_name;
        // The library skips what is missing or holds no settings; but one that it cannot read
        // hides its setting, and the tool's own must be a file that it can replace.
        if (drop_in.state == FileState::unusable ||
            (own && drop_in.state == FileState::not_regular))
            return Failure{Failed::opening, path};
        if (!drop_in.setting)
            return Failure{Failed::reading, path};
        if (*drop_in.setting != Setting::silent)
            effective = *drop_in.setting;
        if (own)
            own_setting = *drop_in.setting;
        else if (name > own_drop_in_name && *drop_in.setting == Setting::not_disabled)
            later_enabling.push_back(path);
    }
    if (effective == Setting::disabled)
        return std::nullopt;

    if (*conf.setting != Setting::disabled)
        files.targets.push_back({.path = client_conf_path,
                                 .temporary_path = temporary_path,
                                 .directory = pulse_directory,
                                 .rewrite_when_silent = true,
                                 .create_when_missing = false});
    // Without the directory the library reads no drop-in, so there is no place for the own one.
    if (no_directory)
        return std::nullopt;
    const int directory = ::dirfd(files.drop_in_directory.get());
    if (own_setting != Setting::disabled)
        files.targets.push_back(
            drop_in_target(drop_in_path(own_drop_in_name), directory, /*own=*/true));
    for (const std::string& path : later_enabling)
        files.targets.push_back(drop_in_target(path, directory, /*own=*/false));
    return std::nullopt;
}
