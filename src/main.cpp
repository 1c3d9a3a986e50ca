// pulse-autospawn-off: switches off the sound server's client autospawn for every user by
// rewriting /etc/pulse/client.conf, and the drop-ins read after it where they switch it back
// on, and says in one sentence what happened.
#include "config_files.hpp"
#include "rewrite.hpp"

#include <cerrno>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

constexpr std::string_view not_root_message = "Error! Please run this program as Root User!";
constexpr std::string_view not_installed_message = "Pulseaudio is not installed. It's all right.";
constexpr std::string_view temporary_failed_message = "Error creating temporary file";
constexpr std::string_view already_disabled_message =
    "Pulseaudio autostart has been disabled before. It's all right.";
constexpr std::string_view disabled_now_message =
    "Pulseaudio autostart is disabled. Please reboot the computer!";
constexpr std::string_view write_failed_message = "Error writing temporary file";
// Followed by the path of the file concerned.
constexpr std::string_view open_failed_prefix = "Error opening file ";
constexpr std::string_view read_failed_prefix = "Error reading file ";
constexpr std::string_view replace_failed_prefix = "Error replacing file ";
constexpr std::string_view directory_failed_prefix = "Error reading directory ";

// Standard output is the tool's only channel, so a failed message has nowhere to be reported.
void say(std::string_view text)
{
    (void)std::printf("%.*s\n", static_cast<int>(text.size()), text.data());
    (void)std::fflush(stdout);
}

void say(std::string_view prefix, std::string_view path)
{
    say(std::string{prefix} + std::string{path});
}

} // namespace

int main()
{
    say("");
    say("");

    if (::geteuid() != 0) {
        say(not_root_message);
        return 0;
    }
    // Only a missing file means the sound server is absent. Whatever else is there must be a
    // regular file, and is not opened otherwise: a FIFO would block, a device never end.
    switch (inspect(client_conf_path)) {
    case FileState::regular:
        break;
    case FileState::missing:
        say(not_installed_message);
        return 0;
    case FileState::not_regular:
    case FileState::unusable:
        say(open_failed_prefix, client_conf_path);
        return 0;
    }
    // Runs share the temporary paths: a second run waits here, then reads the finished files.
    // Held until main returns, after every rename or removal.
    const FileDescriptor pulse_directory{
        ::open(pulse_directory_path, O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (!pulse_directory.valid() || ::flock(pulse_directory.get(), LOCK_EX) != 0) {
        say(temporary_failed_message);
        return 0;
    }

    // The drop-ins are read after client.conf, so the last of them that sets autospawn has
    // the final word; when it disables autospawn, nothing needs to change.
    std::vector<RewriteTarget> targets{{.path = client_conf_path,
                                        .temporary_path = temporary_path,
                                        .directory = pulse_directory.get(),
                                        .rewrite_when_silent = true}};
    Setting drop_ins_setting = Setting::silent;
    const Directory drop_in_directory{::opendir(drop_in_directory_path)};
    // No directory means no drop-ins; one that cannot be listed hides their settings.
    const bool no_directory = !drop_in_directory && (errno == ENOENT || errno == ENOTDIR);
    const auto names = no_directory ? std::optional{std::vector<std::string>{}}
                                    : list_drop_ins(drop_in_directory.get());
    if (!names) {
        say(directory_failed_prefix, drop_in_directory_path);
        return 0;
    }
    for (const std::string& name : *names) {
        const std::string path = std::string{drop_in_directory_path} + '/' + name;
        OpenedFile drop_in = open_regular(path.c_str());
        // The library gets no setting from these; one it cannot read is another matter.
        if (drop_in.state == FileState::missing || drop_in.state == FileState::not_regular)
            continue;
        if (!drop_in.stream) {
            say(open_failed_prefix, path);
            return 0;
        }
        const std::optional<Setting> setting = read_setting(std::move(drop_in.stream));
        if (!setting) {
            say(read_failed_prefix, path);
            return 0;
        }
        if (*setting != Setting::silent)
            drop_ins_setting = *setting;
        if (*setting == Setting::not_disabled)
            targets.push_back({.path = path,
                               .temporary_path = path + std::string{temporary_suffix},
                               .directory = ::dirfd(drop_in_directory.get()),
                               .rewrite_when_silent = false});
    }
    if (drop_ins_setting == Setting::disabled) {
        say(already_disabled_message);
        return 0;
    }

    // One by one, client.conf first; the first failure ends the run, and a file replaced
    // before it stays replaced for the next run to build on.
    bool changed = false;
    for (const RewriteTarget& target : targets) {
        Stream file = open_regular(target.path.c_str()).stream;
        if (!file) {
            say(open_failed_prefix, target.path);
            return 0;
        }
        Stream temporary = open_temporary(target.temporary_path);
        if (!temporary) {
            file.reset();
            say(temporary_failed_message);
            return 0;
        }
        const RewriteOutcome outcome =
            rewrite_client_conf(std::move(file), std::move(temporary), target);
        switch (outcome) {
        case RewriteOutcome::already_disabled:
            break;
        case RewriteOutcome::disabled_now:
            changed = true;
            break;
        case RewriteOutcome::read_failed:
            say(read_failed_prefix, target.path);
            return 0;
        case RewriteOutcome::write_failed:
            say(write_failed_message);
            return 0;
        case RewriteOutcome::replace_failed:
            say(replace_failed_prefix, target.path);
            return 0;
        }
    }
    say(changed ? disabled_now_message : already_disabled_message);
    return 0;
}
