// pulse-autospawn-off: switches off the sound server's client autospawn for every user by
// rewriting /etc/pulse/client.conf, and says in one sentence what happened.
#include "rewrite.hpp"

#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char* not_root_message = "Error! Please run this program as Root User!";
constexpr const char* not_installed_message = "Pulseaudio is not installed. It's all right.";
constexpr const char* open_failed_message = "Error opening file /etc/pulse/client.conf";
constexpr const char* temporary_failed_message = "Error creating temporary file";
constexpr const char* already_disabled_message =
    "Pulseaudio autostart has been disabled before. It's all right.";
constexpr const char* disabled_now_message =
    "Pulseaudio autostart is disabled. Please reboot the computer!";
constexpr const char* read_failed_message = "Error reading file /etc/pulse/client.conf";
constexpr const char* write_failed_message = "Error writing temporary file";
constexpr const char* replace_failed_message = "Error replacing file /etc/pulse/client.conf";

// Standard output is the tool's only channel, so a failed message has nowhere to be reported.
void say(const char* text)
{
    (void)std::fputs(text, stdout);
    (void)std::fputc('\n', stdout);
    (void)std::fflush(stdout);
}

// Opens the temporary path for writing without following a symbolic link or waiting on a
// FIFO, and accepts only a regular file with no other name: a copy left by an earlier run.
Stream open_temporary()
{
    FileDescriptor fd{
        ::open(temporary_path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0600)};
    struct stat status {};
    if (!fd.valid() || ::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
        status.st_nlink != 1)
        return {};
    // Emptied only now that it is known to be a file of ours alone.
    if (::ftruncate(fd.get(), 0) != 0)
        return {};
    Stream stream{::fdopen(fd.get(), "w")};
    if (stream)
        (void)fd.release(); // now owned by the stream
    return stream;
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
    // Only whether the file opens matters; the descriptor is closed again at once. Only a
    // missing file means the sound server is absent: any other failure is not "all right".
    if (const FileDescriptor probe{::open(client_conf_path, O_RDONLY)}; !probe.valid()) {
        say(errno == ENOENT || errno == ENOTDIR ? not_installed_message : open_failed_message);
        return 0;
    }
    // Runs share the temporary path: a second run waits here, then reads the finished file.
    // Held until main returns, after the rename or removal.
    const FileDescriptor pulse_directory{::open(pulse_directory_path, O_RDONLY | O_DIRECTORY)};
    if (!pulse_directory.valid() || ::flock(pulse_directory.get(), LOCK_EX) != 0) {
        say(temporary_failed_message);
        return 0;
    }

    Stream client_conf{std::fopen(client_conf_path, "r")};
    if (!client_conf) {
        say(open_failed_message);
        return 0;
    }
    Stream temporary = open_temporary();
    if (!temporary) {
        client_conf.reset();
        say(temporary_failed_message);
        return 0;
    }

    const RewriteOutcome outcome =
        rewrite_client_conf(std::move(client_conf), std::move(temporary), pulse_directory.get());
    switch (outcome) {
    case RewriteOutcome::already_disabled:
        say(already_disabled_message);
        break;
    case RewriteOutcome::disabled_now:
        say(disabled_now_message);
        break;
    case RewriteOutcome::read_failed:
        say(read_failed_message);
        break;
    case RewriteOutcome::write_failed:
        say(write_failed_message);
        break;
    case RewriteOutcome::replace_failed:
        say(replace_failed_message);
        break;
    }
    return 0;
}
