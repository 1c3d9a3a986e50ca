// pulse-autospawn-off: switches off the sound server's automatic start for every user: in
// /etc/pulse/client.conf and a drop-in of its own read after it, so that the client library
// ends up with autospawn off, and by masking the per-user units that the service manager
// would start; then says in one sentence what happened.
#include "config_files.hpp"
#include "rewrite.hpp"
#include "user_units.hpp"

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

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

void say(const Failure& failure)
{
    switch (failure.step) {
    case Failed::opening:
        return say(open_failed_prefix, failure.path);
    case Failed::reading:
        return say(read_failed_prefix, failure.path);
    case Failed::listing:
        return say(directory_failed_prefix, failure.path);
    case Failed::replacing:
        return say(replace_failed_prefix, failure.path);
    }
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

    // Everything is learnt before anything is written, so that a refusal, or an error found
    // while looking, leaves every file as it was.
    ClientFiles client_files;
    UserUnits user_units;
    std::optional<Failure> failure = learn_client_files(pulse_directory.get(), client_files);
    if (!failure)
        failure = learn_user_units(user_units);
    if (failure) {
        say(*failure);
        return 0;
    }
    if (client_files.targets.empty() && user_units.to_mask.empty()) {
        say(already_disabled_message);
        return 0;
    }

    // One by one, client.conf first and the masks last; the first failure ends the run, and
    // what was done before it stays done for the next run to build on.
    bool changed = false;
    for (const RewriteTarget& target : client_files.targets) {
        OpenedFile file = open_regular(target.path.c_str());
        if (!file.stream && !(file.state == FileState::missing && target.create_when_missing)) {
            say(open_failed_prefix, target.path);
            return 0;
        }
        Stream temporary = open_temporary(target.temporary_path);
        if (!temporary) {
            file.stream.reset();
            say(temporary_failed_message);
            return 0;
        }
        const RewriteOutcome outcome =
            rewrite_client_conf(std::move(file.stream), std::move(temporary), target);
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
    for (const char* unit : user_units.to_mask) {
        if (const std::optional<Failure> mask_failure = mask_unit(user_units, unit)) {
            say(*mask_failure);
            return 0;
        }
        changed = true;
    }
    say(changed ? disabled_now_message : already_disabled_message);
    return 0;
}
