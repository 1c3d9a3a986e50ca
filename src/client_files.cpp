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
    FileSetting setting; // by the line rule
    FileReading as_is;
    FileReading rewritten; // as the line rule would leave it
    bool rewrite = false;  // part of the plan
    bool being_read = false;
    bool everyone = false; // every user may read it, as a drop-in, once the plan is carried out
};
using Files = std::map<std::string, File>;

// Reads the file at path, and what it includes, once each.
std::optional<Outcome> read_file(const std::string& path, Files& files)
{
    const auto [at, added] = files.try_emplace(path, path);
    File& file = at->second;
    if (file.being_read) // the library would follow this circle until it crashed
        return Outcome{RewriteOutcome::error_reading, path};
    if (!added)
        return std::nullopt;
    OpenedFile opened = open_regular(path.c_str());
    file.state = opened.state;
    if (opened.state == FileState::unusable)
        return Outcome{RewriteOutcome::error_opening, path};
    // The library model reads each line as it is and as the rewrite would leave it.
    if (opened.stream) {
        LineReader lines{opened.stream.get()};
        while (const std::optional<std::string_view> line = lines.next()) {
            const RuleLine rule = by_line_rule(*line);
            file.setting.add(rule);
            if (rule.mentions_key) {
                file.as_is.add_line(*line);
                file.rewritten.add_line(rule.written);
            } else {
                file.as_is.add_line(*line, file.rewritten); // which the rewrite leaves as it is
            }
        }
        if (!lines.read_to_end())
            return Outcome{RewriteOutcome::error_reading, path};
    }
    file.being_read = true;
    for (const FileReading::Part& part : file.as_is.includes())
        if (std::optional<Outcome> failure = read_file(part.include, files))
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

// Adds to reached, once each, every file that path includes, directly or not.
void add_included(const std::string& path, const Files& files, std::vector<std::string>& reached)
{
    for (const FileReading::Part& part : files.at(path).as_is.includes())
        if (std::find(reached.begin(), reached.end(), part.include) == reached.end()) {
            reached.push_back(part.include);
            add_included(part.include, files, reached);
        }
}

std::string drop_in_path(std::string_view name)
{
    return std::string{drop_in_directory_path} + '/' + std::string{name};
}

// What the library may read, as learnt, and then as the plan will leave it.
struct Reading {
    Files files;
    std::vector<DropIn> drop_ins;   // in byte order, then the own ones that were missing
    bool no_directory = false;      // without it, the library reads client.conf alone
    bool listed_by_everyone = true; // else some users read no drop-in at all
    // By the line rule: the last file in byte order that speaks decides.
    Setting effective = Setting::silent;
};

// client.conf, which every user must be able to read: one who may not reads no file at all,
// and the library's built-in default decides.
std::optional<Outcome> read_client_conf(Reading& reading)
{
    if (std::optional<Outcome> failure = read_file(client_conf_path, reading.files))
        return failure;
    const File& conf = reading.files.at(client_conf_path);
    // As it was at the probe a moment ago.
    if (conf.state != FileState::regular ||
        readable_by_everyone(client_conf_path) != Readers::everyone)
        return Outcome{RewriteOutcome::error_opening, client_conf_path};
    reading.effective = conf.setting.setting;
    return std::nullopt;
}

std::optional<std::size_t> own_index(std::string_view name)
{
    const auto at = std::find(own_drop_in_names.begin(), own_drop_in_names.end(), name);
    if (at == own_drop_in_names.end())
        return std::nullopt;
    return static_cast<std::size_t>(at - own_drop_in_names.begin());
}

// One drop-in, and who may read it.
std::optional<Outcome> read_drop_in(const std::string& name, Reading& reading)
{
    const std::string path = drop_in_path(name);
    if (std::optional<Outcome> failure = read_file(path, reading.files))
        return failure;
    File& drop_in = reading.files.at(path);
    const std::optional<std::size_t> own = own_index(name);
    // The library skips what is missing or holds no settings; but the tool's own must be a
    // file that it can replace.
    if (own && drop_in.state == FileState::not_regular)
        return Outcome{RewriteOutcome::error_opening, path};
    if (drop_in.state == FileState::regular) {
        const Readers readers = readable_by_everyone(path.c_str());
        if (readers == Readers::unknown)
            return Outcome{RewriteOutcome::error_opening, path};
        drop_in.everyone = reading.listed_by_everyone && readers == Readers::everyone;
    }
    if (drop_in.setting.setting != Setting::silent)
        reading.effective = drop_in.setting.setting;
    reading.drop_ins.push_back({path, own, read_before_own_in_every_locale(name)});
    return std::nullopt;
}

// The drop-ins that directory lists; it may be null, because it could not be opened.
std::optional<Outcome> read_drop_ins(DIR* directory, Reading& reading)
{
    reading.no_directory = directory == nullptr && is_absent(errno);
    if (reading.no_directory)
        return std::nullopt;
    const auto names = list_drop_ins(directory);
    const Readers listers = names ? readable_by_everyone(drop_in_directory_path) : Readers::unknown;
    if (listers == Readers::unknown)
        return Outcome{RewriteOutcome::error_reading_directory, drop_in_directory_path};
    reading.listed_by_everyone = listers == Readers::everyone;
    for (const std::string& name : *names)
        if (std::optional<Outcome> failure = read_drop_in(name, reading))
            return failure;
    return std::nullopt;
}

// By the line rule, and for every user in every locale.
bool nothing_to_do(const Reading& reading)
{
    return reading.effective == Setting::disabled &&
           surely_off(reading.files, reading.drop_ins, reading.listed_by_everyone);
}

// Read after both own drop-ins in some locale, or one of them.
bool follows_own(const DropIn& drop_in)
{
    return drop_in.own || (!drop_in.before_own[0] && !drop_in.before_own[1]);
}

// Builds the list of targets from what was read, in the order to rewrite them, and leaves the
// reading as the targets will be once rewritten.
class Planner {
public:
    Planner(Reading& reading, int pulse_directory, int drop_in_directory,
            std::vector<RewriteTarget>& targets)
        : reading_{reading}, pulse_directory_{pulse_directory},
          drop_in_directory_{drop_in_directory}, targets_{targets}
    {
    }

    std::optional<Outcome> plan();

private:
    void add(const std::string& path, int directory, bool tool_owned = false);
    void plan_client_conf();
    std::optional<Outcome> plan_own_drop_ins();
    void plan_later_drop_ins();
    std::optional<Outcome> plan_included();

    Reading& reading_;
    int pulse_directory_;
    int drop_in_directory_;
    std::vector<RewriteTarget>& targets_;
};

void Planner::add(const std::string& path, int directory, bool tool_owned)
{
    File& file = reading_.files.at(path);
    if (file.rewrite)
        return;
    file.rewrite = true;
    if (!file.setting.key_mentioned)
        file.rewritten.add_line(appended_line());
    targets_.push_back({.path = path,
                        .directory = directory,
                        .name = path.substr(path.rfind('/') + 1),
                        .tool_owned = tool_owned});
}

// By the line rule; where there is no own drop-in to override it, also wherever the library
// may read autospawn on in it.
void Planner::plan_client_conf()
{
    const File& conf = reading_.files.at(client_conf_path);
    if (conf.setting.setting != Setting::disabled ||
        (reading_.no_directory && conf.as_is.may_enable()))
        add(client_conf_path, pulse_directory_);
}

// Each made or rewritten unless it says autospawn = no as the tool writes it: root's and
// readable by all. Where some user may not list the drop-ins, they would not reach everyone.
std::optional<Outcome> Planner::plan_own_drop_ins()
{
    if (!reading_.listed_by_everyone)
        return Outcome{RewriteOutcome::error_reading_directory, drop_in_directory_path};
    for (const std::string_view name : own_drop_in_names)
        if (reading_.files.count(drop_in_path(name)) == 0)
            if (std::optional<Outcome> failure = read_drop_in(std::string{name}, reading_))
                return failure; // missing, it is made anew
    for (const DropIn& drop_in : reading_.drop_ins) {
        if (!drop_in.own)
            continue;
        File& file = reading_.files.at(drop_in.path);
        const bool as_written =
            file.state == FileState::missing ||
            (file.everyone && has_attributes(drop_in.path.c_str(), own_attributes));
        if (file.setting.setting != Setting::disabled || file.as_is.may_enable() || !as_written)
            add(drop_in.path, drop_in_directory_, true);
        file.everyone = true;
    }
    return std::nullopt;
}

// Those that some locale may read after both own drop-ins, where they may switch it on.
void Planner::plan_later_drop_ins()
{
    for (const DropIn& drop_in : reading_.drop_ins) {
        const File& file = reading_.files.at(drop_in.path);
        if (!drop_in.own && follows_own(drop_in) && file.state == FileState::regular &&
            (file.setting.setting == Setting::not_disabled || file.as_is.may_enable()))
            add(drop_in.path, drop_in_directory_);
    }
}

// What those files include is read where they include it: switched off too where the library
// may read it on, but only in the two directories that the tool changes.
std::optional<Outcome> Planner::plan_included()
{
    std::vector<std::string> reached;
    if (reading_.no_directory)
        add_included(client_conf_path, reading_.files, reached);
    for (const DropIn& drop_in : reading_.drop_ins)
        if (follows_own(drop_in))
            add_included(drop_in.path, reading_.files, reached);
    for (const std::string& path : reached) {
        const File& file = reading_.files.at(path);
        if (!file.as_is.may_enable() || file.state != FileState::regular)
            continue;
        const std::string_view directory{path.data(), path.rfind('/')};
        if (directory == pulse_directory_path)
            add(path, pulse_directory_);
        else if (directory == drop_in_directory_path && !reading_.no_directory)
            add(path, drop_in_directory_);
        else
            return Outcome{RewriteOutcome::error_replacing, path};
    }
    return std::nullopt;
}

std::optional<Outcome> Planner::plan()
{
    plan_client_conf();
    // Without the directory the library reads no drop-in, so there is no place for own ones.
    if (!reading_.no_directory)
        if (std::optional<Outcome> failure = plan_own_drop_ins())
            return failure;
    plan_later_drop_ins();
    return plan_included();
}

// Where the library would still not read autospawn off, for some user or in some locale,
// nothing is changed.
std::optional<Outcome> check_plan(const Reading& reading)
{
    if (surely_off(reading.files, reading.drop_ins, reading.listed_by_everyone))
        return std::nullopt;
    return Outcome{RewriteOutcome::error_reading, reading.no_directory
                                                      ? std::string{client_conf_path}
                                                      : drop_in_path(own_drop_in_names[1])};
}

} // namespace

std::optional<Outcome> learn_client_files(int pulse_directory, ClientFiles& files)
{
    Reading reading;
    if (std::optional<Outcome> failure = read_client_conf(reading))
        return failure;
    files.drop_in_directory.reset(::opendir(drop_in_directory_path));
    if (std::optional<Outcome> failure = read_drop_ins(files.drop_in_directory.get(), reading))
        return failure;
    if (nothing_to_do(reading))
        return std::nullopt;
    const int drop_in_directory =
        reading.no_directory ? -1 : ::dirfd(files.drop_in_directory.get());
    Planner planner{reading, pulse_directory, drop_in_directory, files.targets};
    if (std::optional<Outcome> failure = planner.plan())
        return failure;
    return check_plan(reading);
}
