#include "sandbox.hpp"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

const std::string tool_binary = TOOL_BINARY;
const std::string strace_command =
    "ASAN_OPTIONS=detect_leaks=0 timeout 20 strace -f -qq --seccomp-bpf ";
const std::string already_disabled = printed(already_disabled_text);
const std::vector<std::string> judged_locales = [] {
    std::vector<std::string> locales = {"C"};
    std::istringstream built{JUDGED_LOCALES};
    for (std::string locale; built >> locale;)
        locales.push_back(locale + ".UTF-8");
    return locales;
}();
const std::string disabled_now = printed(disabled_now_text);

std::string printed(const std::string& message)
{
    return "\n\n" + message + "\n";
}

std::string collected(const std::string& command)
{
    return command + R"( >"$D/out" 2>"$D/err"; echo $? >"$D/status")";
}

bool have(const std::string& program)
{
    return std::system(("command -v " + program + " >/dev/null").c_str()) == 0;
}

bool client_library_judges_elsewhere()
{
    const char* where = std::getenv("CLIENT_LIBRARY_JUDGES");
    return where != nullptr && std::string{where} == "elsewhere";
}

bool client_library_can_judge()
{
    return !client_library_judges_elsewhere() && ::geteuid() == 0 && have("pactl") &&
           fs::is_directory(LOCALES_DIR);
}

std::string client_library_judges(Judge judge)
{
    // The user's runtime directory, the locales (which the build made readable by all), the
    // judge and its logs, where that user can reach them, in the run's own /run, beside
    // whatever the layout put there; then as a user in no group, and as one in each group other
    // than root's that a file has under /etc/pulse or /etc/run (where the rows put what links
    // and includes lead to). One user's judges share one clean environment and one time limit,
    // which kills them all; the logs go to $D.
    std::string locales;
    for (const std::string& locale : judged_locales)
        locales += ' ' + locale;
    const std::string each_user =
        judge == Judge::pactl
            ? "sh -c 'for l in" + locales +
                  "; do LC_ALL=$l pactl info >\"$0.$l\" 2>&1 & done; wait' /run/judges/log.$g"
            : "/run/judges/client_judge /run/judges/log.$g" + locales;
    return "mkdir -p -m 700 /run/user && chown 65534 /run/user && mkdir -p /run/locales && "
           "{ mountpoint -q /run/locales || mount --bind -o ro " LOCALES_DIR " /run/locales; } && "
           "rm -rf /run/judges \"$D\"/log.* && mkdir -m 700 /run/judges && "
           "cp " CLIENT_JUDGE " /run/judges/ && chown -R 65534 /run/judges\n"
           "for g in none $(find -L /etc/pulse /etc/run -printf '%G\\n' 2>/dev/null | "
           "grep -vx 0 | sort -u); do\n"
           "  if [ $g = none ]; then groups=--clear-groups; else groups=--groups=$g; fi\n"
           "  env -i HOME=/run/user XDG_RUNTIME_DIR=/run/user LOCPATH=/run/locales PULSE_LOG=4 "
           "timeout -s KILL 5 setpriv --reuid=65534 --regid=65534 $groups " +
           each_user + "\ndone; cp /run/judges/log.* \"$D\"/; true";
}

namespace {

// Real root gets a plain mount namespace; anyone else needs a user namespace around it.
std::string unshare_command()
{
    return ::geteuid() == 0 ? "unshare -m" : "unshare -Urm";
}

bool namespace_available()
{
    static const bool available =
        std::system((unshare_command() + " true >/dev/null 2>&1").c_str()) == 0;
    return available;
}

std::string shell_quoted(const std::string& text)
{
    std::string result = "'";
    for (const char c : text)
        result += c == '\'' ? std::string{"'\\''"} : std::string{c};
    return result + "'";
}

} // namespace

void Sandbox::SetUp()
{
    if (!namespace_available())
        GTEST_SKIP() << "no private mount namespace here (`" << unshare_command()
                     << " true` failed): the tool's fixed paths cannot be tested safely";
    std::string pattern = (fs::temp_directory_path() / "pulse-autospawn-test.XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    scratch = pattern;
    dir = scratch + "/etc";
    start_afresh();
}

void Sandbox::make_directory(const std::string& path) const
{
    fs::create_directory(path);
    fs::permissions(path, fs::perms(0755));
}

void Sandbox::start_afresh() const
{
    fs::remove_all(dir);
    make_directory(dir);
    make_directory(dir + "/pulse");
}

void Sandbox::TearDown()
{
    if (!scratch.empty())
        fs::remove_all(scratch);
}

std::string Sandbox::pulse(const std::string& name) const
{
    return dir + "/pulse/" + name;
}

std::optional<std::string> Sandbox::read(const std::string& path) const
{
    std::ifstream in{path, std::ios::binary};
    if (!in)
        return std::nullopt;
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void Sandbox::write(const std::string& path, const std::string& bytes) const
{
    std::ofstream{path, std::ios::binary | std::ios::trunc} << bytes;
    fs::permissions(path, fs::perms(0644));
}

bool Sandbox::temporary_left() const
{
    return fs::exists(fs::symlink_status(pulse("client.conf.tmp")));
}

std::vector<std::string> Sandbox::autospawning_locales() const
{
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator{scratch}) {
        const std::string name = entry.path().filename().string();
        if (!name.starts_with("log."))
            continue;
        // log.GROUP.LOCALE, GROUP "none" for the user in no group.
        const auto dot = name.find('.', 4);
        const std::string group = name.substr(4, dot - 4);
        const std::string who =
            name.substr(dot + 1) + (group == "none" ? "" : " in group " + group);
        const std::string log = read(entry.path()).value_or("");
        if (log.find("Parsing configuration file '/etc/pulse/client.conf'") == std::string::npos)
            found.push_back(who + " (did not read client.conf)");
        else if (log.find("Trying to autospawn...") != std::string::npos)
            found.push_back(who);
    }
    std::sort(found.begin(), found.end());
    return found;
}

std::map<std::string, std::string> Sandbox::files() const
{
    std::map<std::string, std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator{dir}) {
        const std::string path = entry.path().lexically_relative(dir).string();
        if (entry.is_symlink())
            found[path] = "-> " + fs::read_symlink(entry.path()).string();
        else if (entry.is_regular_file())
            found[path] = read(entry.path()).value_or("<unreadable>");
        else if (!entry.is_directory())
            found[path] = "<other>";
    }
    found.erase("pulse/client.conf");
    return found;
}

RunResult Sandbox::run(const std::string& setup, const std::string& body)
{
    write(scratch + "/run.sh",
          // A private /run holds the tool's lock; files are made as the judges can read them.
          "set -e\numask 022\nmount --bind \"$D/etc\" /etc\nmount -t tmpfs -o mode=755 tmpfs "
          "/run\ncd /\n" +
              setup + "\nset +e\n" + body + "\n");
    fs::remove(scratch + "/out");
    fs::remove(scratch + "/err");
    fs::remove(scratch + "/status");
    const std::string command = "D=" + shell_quoted(scratch) + " BIN=" + shell_quoted(tool_binary) +
                                " " + unshare_command() + " sh " +
                                shell_quoted(scratch + "/run.sh");
    const int script = std::system(command.c_str());
    EXPECT_TRUE(WIFEXITED(script) && WEXITSTATUS(script) == 0) << "sandbox script failed";
    RunResult result;
    result.out = read(scratch + "/out").value_or("");
    result.err = read(scratch + "/err").value_or("");
    result.status = std::stoi(read(scratch + "/status").value_or("-1"));
    return result;
}
