// Runs the real binary as root in a private mount namespace, with a scratch directory
// bind-mounted over /etc, so that no test ever sees the machine's own /etc/pulse.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

struct RunResult {
    std::string out;
    std::string err;
    int status = -1;
};

// The three lines a run prints: two empty ones, then the message.
std::string printed(const std::string& message);
// `command`, which runs the tool as "$BIN", with its standard output, standard error and exit
// status collected in $D/out, $D/err and $D/status.
std::string collected(const std::string& command = R"("$BIN")");

extern const std::string tool_binary;
// Starts strace on the tool; leak checking stops the process from outside, which cannot work
// under a tracer, so it is off there.
extern const std::string strace_command;
// Whether program is on the PATH.
bool have(const std::string& program);
// Constants, so that other files may build their own tables from them at start-up.
inline constexpr const char* already_disabled_text =
    "Pulseaudio autostart has been disabled before. It's all right.";
inline constexpr const char* disabled_now_text =
    "Pulseaudio autostart is disabled. Please reboot the computer!";
inline constexpr const char* not_installed_text = "Pulseaudio is not installed. It's all right.";
// The refusals: to anyone but root, and of each step, naming what it could not do.
inline constexpr const char* not_root_text = "Error! Please run this program as Root User!";
inline const std::string creating_failed = "Error creating temporary file";
inline const std::string writing_failed = "Error writing temporary file";
inline std::string opening_failed(const std::string& path)
{
    return "Error opening file " + path;
}
inline std::string reading_failed(const std::string& path)
{
    return "Error reading file " + path;
}
inline std::string reading_directory_failed(const std::string& path)
{
    return "Error reading directory " + path;
}
inline std::string replacing_failed(const std::string& path)
{
    return "Error replacing file " + path;
}
// Debian's layouts, as shell lines for a run: the package's drop-in link into /run, left
// dangling where systemd runs the machine; its sysvinit boot script fills what it leads to.
inline const std::string debian_link = "mkdir -p /etc/pulse/client.conf.d && ln -sfn "
                                       "/run/pulseaudio-enable-autospawn "
                                       "/etc/pulse/client.conf.d/01-enable-autospawn.conf";
inline const std::string sysvinit_fills_it = "echo autospawn=yes >/run/pulseaudio-enable-autospawn";
// The link as Sandbox::files() shows it.
inline const std::pair<std::string, std::string> debian_link_entry = {
    "pulse/client.conf.d/01-enable-autospawn.conf", "-> /run/pulseaudio-enable-autospawn"};
extern const std::string already_disabled; // as printed
extern const std::string disabled_now;     // as printed

// The locales in which the real client library judges a layout: C, and those the build makes,
// one of each order in which the C library's locales sort drop-ins.
extern const std::vector<std::string> judged_locales;
// Whether another build's tests judge the same layouts (CLIENT_LIBRARY_JUDGES=elsewhere), as
// the plain build does for the sanitizers' one.
bool client_library_judges_elsewhere();
// Whether it can judge here: not elsewhere; it autospawns only for an ordinary user, whom only
// real root can become; and pactl must be installed.
bool client_library_can_judge();
// Shell lines, for a run's body, that ask the client library in each judged locale, as an
// ordinary user in no group and as one in the group of each file under /etc/pulse or /etc/run
// that is not root's. The judge is the library loaded once for all locales, or pactl, once for
// each; on a FIFO among the drop-ins the library waits for ever, with its signal handling in
// that wait, so the judges are killed after a while.
enum class Judge { one_load, pactl };
std::string client_library_judges(Judge judge = Judge::one_load);

class Sandbox : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Scratch path of something that the tool sees under /etc/pulse.
    [[nodiscard]] std::string pulse(const std::string& name) const;
    [[nodiscard]] std::optional<std::string> read(const std::string& path) const;
    // A directory that the ordinary user who judges can read, whatever the umask.
    void make_directory(const std::string& path) const;
    // Empties the scratch /etc but for an empty /etc/pulse.
    void start_afresh() const;
    void write(const std::string& path, const std::string& bytes) const;
    void write_conf(const std::string& bytes) const { write(pulse("client.conf"), bytes); }
    [[nodiscard]] std::optional<std::string> conf() const { return read(pulse("client.conf")); }
    [[nodiscard]] bool temporary_left() const;
    // After client_library_judges(): the judged locales in which the library tried to
    // autospawn, or did not even read client.conf, sorted, each followed by " in group G"
    // where the user was in that group.
    [[nodiscard]] std::vector<std::string> autospawning_locales() const;
    // Every file under the scratch /etc but client.conf, by path below it: a symbolic link as
    // "-> target", a regular file as its bytes, anything else as "<other>".
    [[nodiscard]] std::map<std::string, std::string> files() const;

    // Runs `body` in the namespace after `setup`, with $BIN the tool and $D the scratch
    // directory; the result is read from what collected() leaves in $D.
    RunResult run(const std::string& setup = "", const std::string& body = collected());
    // $D/etc, the directory that stands in for /etc.
    std::string dir;
    std::string scratch;
};
