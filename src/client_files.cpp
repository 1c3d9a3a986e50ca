#include "client_files.hpp"

#include <algorithm>
#include <cerrno>
#include <map>
#include <string>

#include "library_reading.hpp"
#include "readers.hpp"

namespace {

// One file that the library reads: client.conf, a drop-in, or a file one of them includes.
// Learnt once, and never changed after.
struct File {
    explicit File(const std::string& path) : as_is{path}, rewritten{path} {}
    FileState state = FileState::missing;
    FileSetting setting; // by the line rule
    FileReading as_is;
    FileReading rewritten; // as the rewrite would leave it, or make it where it is missing
};
using Files = std::map<std::string, File>;

// Which of the tool's own drop-ins a drop-in is, if any.
enum class Own { none, the_99, the_zz };

struct DropIn {
    std::string path;
    Own own;
    BeforeOwn before;    // read before each own one in every locale
    bool everyone;       // every user may list and read it
    bool as_tool_writes; // an own one, missing or root's, 0644 and read by everyone
};

// What the plan is made from: every file the library may read, as it is.
struct Facts {
    Files files;
    bool no_directory = false;      // without it, the library reads client.conf alone
    bool listed_by_everyone = true; // else some users read no drop-in at all
    std::vector<DropIn> drop_ins;   // in byte order, then the own ones that are missing
    // By the line rule: the last file in byte order that speaks decides.
    Setting effective = Setting::silent;
};

// The paths of the files to rewrite, in the order to rewrite them.
struct Plan {
    std::vector<std::string> paths;

    [[nodiscard]] bool rewrites(const std::string& path) const
    {
        return std::find(paths.begin(), paths.end(), path) != paths.end();
    }
    void add(const std::string& path)
    {
        if (!rewrites(path))
            paths.push_back(path);
    }
};

std::string drop_in_path(std::string_view name)
{
    return std::string{drop_in_directory_path} + '/' + std::string{name};
}

Own own_of(std::string_view name)
{
    if (name == own_drop_in_99)
        return Own::the_99;
    if (name == own_drop_in_zz)
        return Own::the_zz;
    return Own::none;
}

// --- Learning: reads every file, and decides nothing.

// The names in the open directory that the library reads: those ending in drop_in_suffix,
// sorted bytewise, as the library does in the C locale. Nothing when it cannot be read to its
// end.
std::optional<std::vector<std::string>> list_drop_ins(DIR* directory)
{
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

// Reads the file at path, and what it includes, once each; including holds the files whose
// includes are being read, a circle through which the library would follow until it crashed.
std::optional<Outcome> read_file(const std::string& path, Files& files,
                                 std::vector<std::string>& including)
{
    if (std::find(including.begin(), including.end(), path) != including.end())
        return Outcome{RewriteOutcome::error_reading, path};
    const auto [at, added] = files.try_emplace(path, path);
    if (!added)
        return std::nullopt;
    File& file = at->second;
    OpenedFile opened = open_regular(path.c_str());
    file.state = opened.state;
    if (opened.state == FileState::unusable)
        return Outcome{RewriteOutcome::error_opening, path};
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
    if (!file.setting.key_mentioned)
        file.rewritten.add_line(appended_line());
    including.push_back(path);
    for (const FileReading::Part& part : file.as_is.includes())
        if (std::optional<Outcome> failure = read_file(part.include, files, including))
            return failure;
    including.pop_back();
    return std::nullopt;
}

std::optional<Outcome> read_file(const std::string& path, Files& files)
{
    std::vector<std::string> including;
    return read_file(path, files, including);
}

// client.conf, which every user must be able to read: one who may not reads no file at all,
// and the library's built-in default decides.
std::optional<Outcome> learn_client_conf(Facts& facts)
{
    if (std::optional<Outcome> failure = read_file(client_conf_path, facts.files))
        return failure;
    const File& conf = facts.files.at(client_conf_path);
    // As it was at the probe a moment ago.
    if (conf.state != FileState::regular ||
        readable_by_everyone(client_conf_path) != Readers::everyone)
        return Outcome{RewriteOutcome::error_opening, client_conf_path};
    facts.effective = conf.setting.setting;
    return std::nullopt;
}

// One drop-in, and who may read it.
std::optional<Outcome> learn_drop_in(const std::string& name, Facts& facts)
{
    const std::string path = drop_in_path(name);
    if (std::optional<Outcome> failure = read_file(path, facts.files))
        return failure;
    const File& file = facts.files.at(path);
    const Own own = own_of(name);
    // The library skips what is missing or holds no settings; but the tool's own must be a
    // file that it can replace.
    if (own != Own::none && file.state == FileState::not_regular)
        return Outcome{RewriteOutcome::error_opening, path};
    bool everyone = false;
    if (file.state == FileState::regular) {
        const Readers readers = readable_by_everyone(path.c_str());
        if (readers == Readers::unknown)
            return Outcome{RewriteOutcome::error_opening, path};
        everyone = facts.listed_by_everyone && readers == Readers::everyone;
    }
    if (file.setting.setting != Setting::silent)
        facts.effective = file.setting.setting;
    const bool as_tool_writes =
        own != Own::none && (file.state == FileState::missing ||
                             (everyone && has_attributes(path.c_str(), own_attributes)));
    facts.drop_ins.push_back({.path = path,
                              .own = own,
                              .before = read_before_own_in_every_locale(name),
                              .everyone = everyone,
                              .as_tool_writes = as_tool_writes});
    return std::nullopt;
}

// The drop-ins that the directory lists, then the own ones that it does not, which are
// missing.
std::optional<Outcome> learn_drop_ins(const WorkDirectory& directory, Facts& facts)
{
    facts.no_directory = directory.state == WorkDirectory::State::absent;
    if (facts.no_directory)
        return std::nullopt;
    const auto names = directory.state == WorkDirectory::State::open
                           ? list_drop_ins(directory.handle.get())
                           : std::nullopt;
    const Readers listers = names ? readable_by_everyone(drop_in_directory_path) : Readers::unknown;
    if (listers == Readers::unknown)
        return Outcome{RewriteOutcome::error_reading_directory, drop_in_directory_path};
    facts.listed_by_everyone = listers == Readers::everyone;
    for (const std::string& name : *names)
        if (std::optional<Outcome> failure = learn_drop_in(name, facts))
            return failure;
    for (const std::string_view own : {own_drop_in_99, own_drop_in_zz})
        if (std::find(names->begin(), names->end(), own) == names->end())
            if (std::optional<Outcome> failure = learn_drop_in(std::string{own}, facts))
                return failure;
    return std::nullopt;
}

// --- Judging: what the library makes of the files, as they are or as a plan leaves them.

// What reading the file does to autospawn.
Effect effect_of(const std::string& path, const Files& files, const Plan& plan)
{
    const File& file = files.at(path);
    const bool rewritten = plan.rewrites(path);
    if (!rewritten && file.state == FileState::not_regular)
        return Effect::rejected(); // read as a directory, or never to its end
    const FileReading& reading = rewritten ? file.rewritten : file.as_is;
    Effect effect = Effect::nothing();
    for (const FileReading::Part& part : reading.includes())
        // A client, which is not root, may not be allowed to open it.
        effect = effect.then(part.before)
                     .then(Effect::maybe_rejected())
                     .then(effect_of(part.include, files, plan));
    return effect.then(reading.rest());
}

// Whether autospawn ends up off for every user, in whatever order their locale reads the
// drop-ins and whichever of them they may read, with the files as the plan leaves them:
// client.conf first, then the drop-ins, some of them read by some users only.
bool surely_off(const Facts& facts, const Plan& plan)
{
    constexpr Values either = autospawn_on | autospawn_off;
    bool disabled_by_99 = false;
    bool disabled_by_zz = false;
    std::vector<BeforeOwn> enabling; // of each drop-in that may switch it on
    bool any_disables = false;
    for (const DropIn& drop_in : facts.drop_ins) {
        const bool rewritten = plan.rewrites(drop_in.path);
        if (facts.files.at(drop_in.path).state != FileState::regular && !rewritten)
            continue; // the library finds nothing there
        Effect effect = effect_of(drop_in.path, facts.files, plan);
        // A user who may not read it reads on as if it were not there. The tool writes its
        // own for everyone to read.
        const bool everyone = drop_in.everyone || (drop_in.own != Own::none && rewritten);
        if (!facts.listed_by_everyone || !everyone)
            effect = Effect::maybe_rejected().then(effect);
        const bool disables = effect.after(either) == autospawn_off;
        disabled_by_99 = disabled_by_99 || (drop_in.own == Own::the_99 && disables);
        disabled_by_zz = disabled_by_zz || (drop_in.own == Own::the_zz && disables);
        if ((effect.after(autospawn_off) & autospawn_on) != 0)
            enabling.push_back(drop_in.before);
        any_disables = any_disables || disables;
    }
    // Each that may switch it on is followed, in every locale, by an own one that switches it
    // off for everyone.
    const bool own_have_last_word =
        (disabled_by_99 || disabled_by_zz) &&
        std::all_of(enabling.begin(), enabling.end(), [&](const BeforeOwn& before) {
            return (before.before_99 && disabled_by_99) || (before.before_zz && disabled_by_zz);
        });
    if (own_have_last_word)
        return true;
    // In any order: nothing switches it on, and something switches it off for sure. A client
    // that reads no setting at all may start the server.
    return enabling.empty() &&
           (any_disables ||
            effect_of(client_conf_path, facts.files, plan).after(autospawn_on) == autospawn_off);
}

// --- Planning: a function of the facts, which reads nothing.

// Read after both own drop-ins in some locale, or one of them.
bool follows_own(const DropIn& drop_in)
{
    return drop_in.own != Own::none || (!drop_in.before.before_99 && !drop_in.before.before_zz);
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

// client.conf by the line rule; where there is no own drop-in to override it, also wherever
// the library may read autospawn on in it.
void plan_client_conf(const Facts& facts, Plan& plan)
{
    const File& conf = facts.files.at(client_conf_path);
    if (conf.setting.setting != Setting::disabled ||
        (facts.no_directory && conf.as_is.may_enable()))
        plan.add(client_conf_path);
}

// Each made or rewritten unless it says autospawn = no as the tool writes it.
void plan_own_drop_ins(const Facts& facts, Plan& plan)
{
    for (const DropIn& drop_in : facts.drop_ins) {
        const File& file = facts.files.at(drop_in.path);
        if (drop_in.own != Own::none && (file.setting.setting != Setting::disabled ||
                                         file.as_is.may_enable() || !drop_in.as_tool_writes))
            plan.add(drop_in.path);
    }
}

// Those that some locale may read after both own drop-ins, where they may switch it on.
void plan_later_drop_ins(const Facts& facts, Plan& plan)
{
    for (const DropIn& drop_in : facts.drop_ins) {
        const File& file = facts.files.at(drop_in.path);
        if (drop_in.own == Own::none && follows_own(drop_in) && file.state == FileState::regular &&
            (file.setting.setting == Setting::not_disabled || file.as_is.may_enable()))
            plan.add(drop_in.path);
    }
}

// What those files include is read where they include it: switched off too where the library
// may read it on, but only in the two directories that the tool changes.
std::optional<Outcome> plan_included(const Facts& facts, Plan& plan)
{
    std::vector<std::string> reached;
    if (facts.no_directory)
        add_included(client_conf_path, facts.files, reached);
    for (const DropIn& drop_in : facts.drop_ins)
        if (follows_own(drop_in))
            add_included(drop_in.path, facts.files, reached);
    for (const std::string& path : reached) {
        const File& file = facts.files.at(path);
        if (!file.as_is.may_enable() || file.state != FileState::regular)
            continue;
        const std::string_view directory{path.data(), path.rfind('/')};
        if (directory != pulse_directory_path &&
            (directory != drop_in_directory_path || facts.no_directory))
            return Outcome{RewriteOutcome::error_replacing, path};
        plan.add(path);
    }
    return std::nullopt;
}

// The files to rewrite, in the order to rewrite them. Where some user may not list the
// drop-ins, the own ones would not reach everyone; without the directory the library reads
// no drop-in, so there is no place for them.
std::optional<Outcome> plan_rewrites(const Facts& facts, Plan& plan)
{
    plan_client_conf(facts, plan);
    if (!facts.no_directory && !facts.listed_by_everyone)
        return Outcome{RewriteOutcome::error_reading_directory, drop_in_directory_path};
    plan_own_drop_ins(facts, plan);
    plan_later_drop_ins(facts, plan);
    return plan_included(facts, plan);
}

} // namespace

std::optional<Outcome> learn_client_files(const WorkDirectory& pulse_directory,
                                          const WorkDirectory& drop_in_directory,
                                          std::vector<RewriteTarget>& targets)
{
    Facts facts;
    if (std::optional<Outcome> failure = learn_client_conf(facts))
        return failure;
    if (std::optional<Outcome> failure = learn_drop_ins(drop_in_directory, facts))
        return failure;
    // By the line rule, and for every user in every locale.
    if (facts.effective == Setting::disabled && surely_off(facts, Plan{}))
        return std::nullopt;
    Plan plan;
    if (std::optional<Outcome> failure = plan_rewrites(facts, plan))
        return failure;
    // Where the library would still not read autospawn off, for some user or in some locale,
    // nothing is changed.
    if (!surely_off(facts, plan))
        return Outcome{RewriteOutcome::error_reading, facts.no_directory
                                                          ? std::string{client_conf_path}
                                                          : drop_in_path(own_drop_in_zz)};
    // Each in its directory: client.conf's, or the drop-ins'.
    for (const std::string& path : plan.paths) {
        const std::size_t slash = path.rfind('/');
        const std::string name = path.substr(slash + 1);
        const bool in_pulse_directory =
            std::string_view{path}.substr(0, slash) == pulse_directory_path;
        targets.push_back(
            {.path = path,
             .directory = in_pulse_directory ? pulse_directory.fd() : drop_in_directory.fd(),
             .name = name,
             .tool_owned = !in_pulse_directory && own_of(name) != Own::none});
    }
    return std::nullopt;
}
