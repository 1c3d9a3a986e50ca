#include "client_files.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <map>
#include <string>

#include "library_reading.hpp"

namespace {

// The names in directory that the library reads: those ending in drop_in_suffix, sorted
// bytewise, as the library does in the C locale. Nothing when the directory, which may be null
// because it could not be opened, cannot be read to its end.
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
    std::sort(names.begin(), names.end());
    return names;
}

// One file that the library reads: client.conf, a drop-in, or a file one of them includes.
struct File {
    explicit File(const std::string& path) : as_is{path}, rewritten{path} {}
    FileState state = FileState::missing;
    FileSetting setting{Setting::silent, false}; // by the line rule
    FileReading as_is;
    FileReading rewritten; // as the line rule would leave it
    bool rewrite = false;  // part of the plan
    bool being_read = false;
    bool everyone = false; // every user may read it, as a drop-in, once the plan is carried out
};
using Files = std::map<std::string, File>;

// Reads the file at path, and what it includes, once each.
std::optional<Failure> read_file(const std::string& path, Files& files)
{
    const auto [at, added] = files.try_emplace(path, path);
    File& file = at->second;
    if (file.being_read) // the library would follow this circle until it crashed
        return Failure{Failed::reading, path};
    if (!added)
        return std::nullopt;
    OpenedFile opened = open_regular(path.c_str());
    file.state = opened.state;
    if (opened.state == FileState::unusable)
        return Failure{Failed::opening, path};
    if (opened.stream) {
        const auto setting = read_setting(std::move(opened.stream),
                                          [&](std::string_view line, std::string_view written) {
                                              // Read once where the rewrite leaves the line.
                                              if (written.data() == line.data()) {
                                                  file.as_is.add_line(line, &file.rewritten);
                                              } else {
                                                  file.as_is.add_line(line);
                                                  file.rewritten.add_line(written);
                                              }
                                          });
        if (!setting)
            return Failure{Failed::reading, path};
        file.setting = *setting;
    }
    file.being_read = true;
    for (const FileReading::Part& part : file.as_is.includes())
        if (std::optional<Failure> failure = read_file(part.include, files))
            return failure;
    file.being_read = false;
    return std::nullopt;
}

// What reading the file does to autospawn, with the files planned to be rewritten as they
// will be.
Effect effect_of(const std::string& path, const Files& files)
{
    const File& file = files.at(path);
    if (!file.rewrite && file.state == FileState::not_regular)
        return Effect::rejected(); // read as a directory, or never to its end
    const FileReading& reading = file.rewrite ? file.rewritten : file.as_is;
    Effect effect = Effect::nothing();
    for (const FileReading::Part& part : reading.includes())
        // A client, which is not root, may not be allowed to open it.
        effect = effect.then(part.before)
                     .then(Effect::maybe_rejected())
                     .then(effect_of(part.include, files));
    return effect.then(reading.rest());
}

struct DropIn {
    std::string path;
    std::optional<std::size_t> own; // which of own_drop_in_names it is
    std::array<bool, 2> before_own; // read before each of them in every locale
};

// Whether autospawn ends up off for every user, in whatever order their locale reads the
// drop-ins and whichever of them they may read: client.conf first, then the drop-ins, those
// that listed_by_everyone is false for read by some users only.
bool surely_off(const Files& files, const std::vector<DropIn>& drop_ins, bool listed_by_everyone)
{
    constexpr Values either = autospawn_on | autospawn_off;
    std::array<bool, 2> own_disables{};
    std::vector<std::array<bool, 2>> enabling; // of each drop-in that may switch it on
    bool any_disables = false;
    for (const DropIn& drop_in : drop_ins) {
        const File& file = files.at(drop_in.path);
        if (file.state != FileState::regular && !file.rewrite)
            continue; // the library finds nothing there
        Effect effect = effect_of(drop_in.path, files);
        // A user who may not read it reads on as if it were not there.
        if (!listed_by_everyone || !file.everyone)
            effect = Effect::maybe_rejected().then(effect);
        const bool disables = effect.after(either) == autospawn_off;
        if (drop_in.own)
            own_disables.at(*drop_in.own) = disables;
        if ((effect.after(autospawn_off) & autospawn_on) != 0)
            enabling.push_back(drop_in.before_own);
        any_disables = any_disables || disables;
    }
    // Each that may switch it on is followed, in every locale, by an own one that switches it
    // off for everyone.
    const bool own_have_last_word =
        (own_disables[0] || own_disables[1]) &&
        std::all_of(enabling.begin(), enabling.end(), [&](const std::array<bool, 2>& before) {
            return (before[0] && own_disables[0]) || (before[1] && own_disables[1]);
        });
    if (own_have_last_word)
        return true;
    // In any order: nothing switches it on, and something switches it off for sure. A client
    // that reads no setting at all may start the server.
    return enabling.empty() &&
           (any_disables ||
            effect_of(client_conf_path, files).after(autospawn_on) == autospawn_off);
}

std::string drop_in_path(std::string_view name)
{
    return std::string{drop_in_directory_path} + '/' + std::string{name};
}

// A drop-in, or a file included from one: changed only where the library may read it on.
RewriteTarget target_for(const std::string& path, int directory, bool must_change)
{
    return {.path = path,
            .temporary_path = path + std::string{temporary_suffix},
            .directory = directory,
            .rewrite_when_silent = false,
            .tool_owned = false,
            .must_change = must_change};
}

// Adds to reached, once each, every file that path includes, directly or not.
void add_included(const std::string& path, const Files& files, std::vector<std::string>& reached)
{
    for (const FileReading::Part& part : files.at(path).as_is.includes())
        if (std::find(reached.begin(), reached.end(), part.include) == reached.end()) {
            reached.push_back(part.include);
            add_included(part.include, files, reached);
        }
}

} // namespace

std::optional<Failure> learn_client_files(int pulse_directory, ClientFiles& files)
{
    Files read;
    if (std::optional<Failure> failure = read_file(client_conf_path, read))
        return failure;
    File& conf = read.at(client_conf_path);
    // As it was at the probe a moment ago; and a user who may not open it reads no file at
    // all, so that the library's built-in default decides.
    if (conf.state != FileState::regular || readable_by_everyone(client_conf_path) != true)
        return Failure{Failed::opening, client_conf_path};

    files.drop_in_directory.reset(::opendir(drop_in_directory_path));
    const bool no_directory = !files.drop_in_directory && is_absent(errno);
    const auto names = no_directory ? std::optional{std::vector<std::string>{}}
                                    : list_drop_ins(files.drop_in_directory.get());
    if (!names)
        return Failure{Failed::listing, drop_in_directory_path};
    // A user who may not list it reads none of the drop-ins.
    const std::optional<bool> listed_by_everyone =
        no_directory ? true : readable_by_everyone(drop_in_directory_path);
    if (!listed_by_everyone)
        return Failure{Failed::listing, drop_in_directory_path};
    std::vector<DropIn> drop_ins;
    std::array<bool, 2> own_listed{};
    // By the line rule, the last file in byte order that speaks decides.
    Setting effective = conf.setting.setting;
    for (const std::string& name : *names) {
        const std::string path = drop_in_path(name);
        const auto own_at = std::find(own_drop_in_names.begin(), own_drop_in_names.end(), name);
        const auto own = own_at == own_drop_in_names.end()
                             ? std::nullopt
                             : std::optional{std::size_t(own_at - own_drop_in_names.begin())};
        if (std::optional<Failure> failure = read_file(path, read))
            return failure;
        File& drop_in = read.at(path);
        // The library skips what is missing or holds no settings; but the tool's own must be
        // a file that it can replace.
        if (own && drop_in.state == FileState::not_regular)
            return Failure{Failed::opening, path};
        if (own)
            own_listed.at(*own) = true;
        if (drop_in.state == FileState::regular) {
            const std::optional<bool> readable = readable_by_everyone(path.c_str());
            if (!readable)
                return Failure{Failed::opening, path};
            drop_in.everyone = *listed_by_everyone && *readable;
        }
        if (drop_in.setting.setting != Setting::silent)
            effective = drop_in.setting.setting;
        drop_ins.push_back({path, own, read_before_own_in_every_locale(name)});
    }
    if (effective == Setting::disabled && surely_off(read, drop_ins, *listed_by_everyone))
        return std::nullopt;

    // Without the directory the library reads no drop-in, so there is no place for the own ones;
    // where some user may not list it, they would not reach everyone.
    if (!no_directory && !*listed_by_everyone)
        return Failure{Failed::listing, drop_in_directory_path};
    for (std::size_t own = 0; own < own_drop_in_names.size(); ++own) {
        const std::string path = drop_in_path(own_drop_in_names.at(own));
        if (no_directory || own_listed.at(own))
            continue;
        if (std::optional<Failure> failure = read_file(path, read)) // missing: made anew
            return failure;
        drop_ins.push_back({path, own, read_before_own_in_every_locale(own_drop_in_names.at(own))});
    }
    const int drop_in_directory = no_directory ? -1 : ::dirfd(files.drop_in_directory.get());
    const auto plan = [&](const RewriteTarget& target) {
        File& file = read.at(target.path);
        if (file.rewrite)
            return;
        file.rewrite = true;
        files.targets.push_back(target);
        if (!file.setting.key_mentioned && target.rewrite_when_silent)
            file.rewritten.add_line(appended_line());
    };
    // client.conf by the line rule; where there is no own drop-in to override it, also
    // wherever the library may read autospawn on in it.
    if (conf.setting.setting != Setting::disabled || (no_directory && conf.as_is.may_enable()))
        plan({.path = client_conf_path,
              .temporary_path = temporary_path,
              .directory = pulse_directory,
              .rewrite_when_silent = true,
              .tool_owned = false,
              .must_change = conf.as_is.may_enable()});
    // Then the own drop-ins, which override those read before them, each root's and readable
    // by all; then those that some locale may read after both.
    for (const DropIn& drop_in : drop_ins) {
        if (!drop_in.own)
            continue;
        File& file = read.at(drop_in.path);
        const bool as_written =
            file.state == FileState::missing ||
            (file.everyone && is_roots_with_mode(drop_in.path.c_str(), own_drop_in_mode));
        if (file.setting.setting != Setting::disabled || file.as_is.may_enable() || !as_written) {
            RewriteTarget own =
                target_for(drop_in.path, drop_in_directory, file.as_is.may_enable() || !as_written);
            own.rewrite_when_silent = own.tool_owned = true;
            plan(own);
            file.everyone = true;
        }
    }
    const auto follows_own = [](const DropIn& drop_in) {
        return drop_in.own || (!drop_in.before_own[0] && !drop_in.before_own[1]);
    };
    for (const DropIn& drop_in : drop_ins) {
        const File& file = read.at(drop_in.path);
        if (!drop_in.own && follows_own(drop_in) && file.state == FileState::regular &&
            (file.setting.setting == Setting::not_disabled || file.as_is.may_enable()))
            plan(target_for(drop_in.path, drop_in_directory, file.as_is.may_enable()));
    }
    // What they include is read where they include it: switched off too where the library may
    // read it on, but only in the two directories that the tool changes.
    std::vector<std::string> reached;
    if (no_directory)
        add_included(client_conf_path, read, reached);
    for (const DropIn& drop_in : drop_ins)
        if (follows_own(drop_in))
            add_included(drop_in.path, read, reached);
    for (const std::string& path : reached) {
        const File& file = read.at(path);
        if (!file.as_is.may_enable() || file.state != FileState::regular)
            continue;
        const std::string_view directory{path.data(), path.rfind('/')};
        if (directory == pulse_directory_path)
            plan(target_for(path, pulse_directory, true));
        else if (directory == drop_in_directory_path && !no_directory)
            plan(target_for(path, drop_in_directory, true));
        else
            return Failure{Failed::replacing, path};
    }
    if (!surely_off(read, drop_ins, *listed_by_everyone))
        return Failure{Failed::reading,
                       no_directory ? client_conf_path : drop_in_path(own_drop_in_names[1])};
    return std::nullopt;
}
