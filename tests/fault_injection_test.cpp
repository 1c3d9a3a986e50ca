// Fails every file-related system call the tool makes, one at a time, and checks that no
// configuration file ever ends up damaged and that no failure is reported as success.
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <vector>

#include "sandbox.hpp"

namespace {

// An older strace does not know the Landlock calls by name, nor can it fail them.
bool strace_knows_landlock()
{
    static const bool knows =
        std::system("strace -qq -o /dev/null -e trace=landlock_add_rule true 2>/dev/null") == 0;
    return knows;
}
std::string traced_calls()
{
    return std::string{"openat,read,write,close,newfstatat,fstat,fsync,fdatasync,rename,renameat,"
                       "renameat2,fchmod,fchown,unlink,unlinkat,ftruncate,flock,fcntl,lseek,"
                       "getdents64,symlink,symlinkat,readlink,readlinkat,getxattr,prctl"} +
           (strace_knows_landlock()
                ? ",landlock_create_ruleset,landlock_add_rule,landlock_restrict_self"
                : "");
}
// Five files change: client.conf, the two own drop-ins and both masks; the package's enabling
// link stays.
const std::string debian_layout = "mkdir -p /etc/systemd/user && " + debian_link;
const std::string units_masked = "mkdir -p /etc/systemd/user && "
                                 "ln -s /dev/null /etc/systemd/user/pulseaudio.socket && "
                                 "ln -s /dev/null /etc/systemd/user/pulseaudio.service";
// Both masked by the package's own scripts, which noted so: each is replaced by an empty file.
const std::string package_noted = "mount -t tmpfs tmpfs /var/lib/systemd && "
                                  "mkdir /var/lib/systemd/deb-systemd-user-helper-masked && "
                                  "cd /var/lib/systemd/deb-systemd-user-helper-masked && "
                                  "touch pulseaudio.socket pulseaudio.service";
// One mask, and a link of the administrator's at the other unit: refused whatever else fails.
const std::string administrators_link = "mkdir -p /etc/systemd/user && "
                                        "ln -s /dev/null /etc/systemd/user/pulseaudio.socket && "
                                        "ln -s /etc/run/unit /etc/systemd/user/pulseaudio.service";
// Without drop-ins: client.conf and the file it includes, which switches autospawn on.
const std::string included_layout = "echo 'autospawn = yes' >/etc/pulse/site.conf";
const std::string administrators_link_refused =
    replacing_failed("/etc/systemd/user/pulseaudio.service");
const std::vector<std::string> known_messages = [] {
    std::vector<std::string> messages = {already_disabled_text,
                                         disabled_now_text,
                                         creating_failed,
                                         writing_failed,
                                         reading_directory_failed("/etc/pulse/client.conf.d"),
                                         reading_directory_failed("/etc/systemd/user")};
    for (const auto refusal : {opening_failed, reading_failed, replacing_failed})
        for (const char* path :
             {"/etc/pulse/client.conf", "/etc/pulse/client.conf.d/01-enable-autospawn.conf",
              "/etc/pulse/client.conf.d/99-pulse-autospawn-off.conf",
              "/etc/pulse/client.conf.d/zz-pulse-autospawn-off.conf",
              "/etc/systemd/user/pulseaudio.socket", "/etc/systemd/user/pulseaudio.service",
              "/etc/pulse/site.conf"})
            messages.push_back(refusal(path));
    return messages;
}();

// One system call of the tool's own, as the N-th call of its name in the whole run.
struct Call {
    std::string name;
    std::string descriptor; // the first argument, as printed
    int n;
    // Its failure cannot matter to the file: it touches standard output, closes a descriptor
    // that was only read or a ruleset, or is the C library sizing a stream's buffer (it falls
    // back to a default size).
    bool harmless;
    // One step of the confinement: should it fail, the run goes on unconfined, as before.
    bool confining;
};

// The tool's own calls in one traced run; those before its first touch of standard output
// belong to the dynamic loader and are counted but not returned.
std::vector<Call> program_calls(const std::string& trace)
{
    std::vector<Call> calls;
    std::map<std::string, int> seen;
    std::set<std::string> quiet; // descriptors whose close has nothing to report, as printed
    bool in_program = false;
    std::istringstream lines{trace};
    for (std::string line; std::getline(lines, line);) {
        // "PID name(arguments) = result"; signal and exit lines have no parenthesis there.
        const auto name_start = line.find_first_not_of("0123456789 ");
        const auto paren = line.find('(', name_start);
        if (name_start == std::string::npos || paren == std::string::npos ||
            line.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_", name_start) != paren)
            continue;
        const std::string name = line.substr(name_start, paren - name_start);
        const std::string descriptor =
            line.substr(paren + 1, line.find_first_of(",)", paren) - paren - 1);
        const int n = ++seen[name];
        in_program = in_program || descriptor == "1";
        if (!in_program)
            continue;
        const std::string result = line.substr(line.rfind(" = ") + 3);
        // What is only read, and the lock, which holds nothing.
        if (name == "openat" && (line.find("O_RDONLY") != std::string::npos ||
                                 line.find("\"/run/") != std::string::npos))
            quiet.insert(result);
        // Asked with NULL, it returns the kernel's version, not a descriptor. An older strace
        // prints it unnamed, with the result in hex; what it cannot name, it cannot fail.
        if ((name == "landlock_create_ruleset" && descriptor != "NULL") ||
            (name == "syscall_0x1bc" && descriptor != "0"))
            quiet.insert(std::to_string(std::stol(result, nullptr, 0)));
        if (name.starts_with("syscall_"))
            continue;
        const bool closes_quietly = name == "close" && quiet.erase(descriptor) == 1;
        if ((name == "read" || name == "write") && !calls.empty() &&
            (calls.back().name == "newfstatat" || calls.back().name == "fstat") &&
            calls.back().descriptor == descriptor)
            calls.back().harmless = true;
        const bool confining = name == "prctl" || name.starts_with("landlock_");
        calls.push_back({name, descriptor, n, descriptor == "1" || closes_quietly, confining});
    }
    return calls;
}

// The one message line among the empty ones, or "" when its write was the one that failed.
std::string message_of(const std::string& out)
{
    std::string message;
    std::istringstream lines{out};
    for (std::string line; std::getline(lines, line);)
        if (!line.empty())
            message += line;
    return message;
}

// Every file under the scratch /etc, as Sandbox::files() describes them.
using State = std::map<std::string, std::string>;
const std::string conf_path = "pulse/client.conf";

class FaultInjection : public Sandbox {
protected:
    std::filesystem::perms conf_mode{}; // as laid out: a rewrite keeps it
    // Lays out client.conf and whatever setup makes, runs the tool once cleanly, which must say
    // expected, then once per injected failure, each run after each_run in its namespace.
    // Returns the number of injections made.
    int sweep(const std::string& expected, const std::string& before_conf,
              const std::string& setup = "", const std::string& each_run = "")
    {
        const State before = lay_out(before_conf, setup);
        const RunResult clean = run(each_run, strace_command + R"(-o "$D/trace" -e trace=)" +
                                                  traced_calls() + R"( "$BIN" >"$D/out")");
        const State after = state();
        EXPECT_EQ(message_of(clean.out), expected);
        EXPECT_EQ(after != before, expected == disabled_now_text);
        const std::vector<Call> calls = program_calls(read(scratch + "/trace").value_or(""));
        EXPECT_GT(calls.size(), 20U) << "the trace shows too few of the tool's own calls";

        int injections = 0;
        for (const Call& call : calls) {
            const bool can_fill = call.name == "write" || call.name == "fsync" ||
                                  call.name == "fdatasync" || call.name == "close";
            for (const std::string error : {"EIO", "ENOSPC"}) {
                // The tool tells no error of a failed write, sync or close from another, so
                // under the sanitizers, which look only at its memory, EIO stands for both.
                if (error == "ENOSPC" && (!can_fill || SANITIZED))
                    continue;
                const std::string inject =
                    call.name + ":error=" + error + ":when=" + std::to_string(call.n);
                SCOPED_TRACE(inject);
                // Laid out as before, the setup in the run's own namespace.
                start_afresh();
                write_conf(before_conf);
                std::string command = strace_command;
                command += "-o /dev/null -e trace=" + call.name + " -e inject=" + inject;
                command += R"( "$BIN")";
                std::string layout = setup;
                layout.append("\n").append(each_run);
                const RunResult result = run(layout, collected(command));
                check(result, call, before, after, expected);
                ++injections;
            }
        }
        return injections;
    }

    // client.conf included.
    State state() const
    {
        State files = this->files();
        if (const auto bytes = conf())
            files[conf_path] = *bytes;
        return files;
    }

    // Lays out the scratch /etc afresh: setup runs in the namespace, where it sees /etc.
    State lay_out(const std::string& conf_bytes, const std::string& setup)
    {
        start_afresh();
        write_conf(conf_bytes);
        conf_mode = std::filesystem::status(pulse("client.conf")).permissions();
        if (!setup.empty())
            run(setup, "true");
        return state();
    }

    void check(const RunResult& result, const Call& call, const State& before, const State& after,
               const std::string& expected)
    {
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.err, "");
        const std::string message = message_of(result.out);
        // Only a failed write may lose a line, and then only a line of the tool's own output.
        if (call.name != "write") {
            EXPECT_EQ(result.out, printed(message));
        }
        if (!message.empty()) {
            EXPECT_NE(std::find(known_messages.begin(), known_messages.end(), message),
                      known_messages.end())
                << message;
        }
        if (!call.harmless && !call.confining) {
            EXPECT_NE(message, disabled_now_text) << "a failure reported as success";
        }

        // Each file holds its old bytes or its new ones; a copy left behind is judged below.
        State now = state();
        bool copy_left = false;
        for (auto it = now.begin(); it != now.end();) {
            const bool copy = it->first.ends_with(".tmp");
            copy_left = copy_left || copy;
            it = copy ? now.erase(it) : std::next(it);
        }
        const auto at = [](const State& files, const std::string& path) {
            const auto found = files.find(path);
            return found == files.end() ? std::nullopt : std::optional{found->second};
        };
        std::set<std::string> paths;
        for (const State& files : {before, after, now})
            for (const auto& entry : files)
                paths.insert(entry.first);
        for (const std::string& path : paths) {
            const auto bytes = at(now, path);
            EXPECT_TRUE(bytes == at(before, path) || bytes == at(after, path))
                << path << ": " << bytes.value_or("<missing>");
        }
        if (call.confining) {
            EXPECT_EQ(message, expected);
            EXPECT_EQ(state(), after);
        }
        // The change is reported only when all of it was made, and nothing to do only when
        // there was nothing to do; a run that refuses never says either.
        if (message == disabled_now_text) {
            EXPECT_TRUE(now == after && expected == disabled_now_text);
        }
        if (message == already_disabled_text) {
            EXPECT_TRUE(now == before && expected == already_disabled_text);
        }
        if (at(now, conf_path) != at(before, conf_path)) {
            EXPECT_EQ(std::filesystem::status(pulse("client.conf")).permissions(), conf_mode);
        }
        // A failed remove may leave a copy behind, and so may a failure right after the tool
        // created it; every other way out cleans up.
        if (call.name != "unlink" && message != creating_failed) {
            EXPECT_FALSE(copy_left);
        }
    }
};

// One sweep: client.conf, whatever setup lays out besides, what each run's namespace does
// first, and what a clean run says.
struct SweepCase {
    const char* name;
    std::string expected;
    std::string conf;
    std::string setup;
    std::string each_run;
};

void PrintTo(const SweepCase& row, std::ostream* out)
{
    *out << row.name;
}

const std::string stock_conf = [] {
    std::ifstream in{STOCK_CLIENT_CONF};
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}();

// Each a test of its own, so that they run side by side.
const SweepCase sweeps[] = {
    {"stock_file", disabled_now_text, stock_conf, "", ""},
    {"nothing_to_do", already_disabled_text, stock_conf + "autospawn = no\n", units_masked, ""},
    {"package_masks", disabled_now_text, "autospawn = no\n", units_masked, package_noted},
    {"debian_layout", disabled_now_text, stock_conf, debian_layout, sysvinit_fills_it},
    {"administrators_link", administrators_link_refused, stock_conf, administrators_link, ""},
    {"included_file", disabled_now_text, "autospawn = no\n.include /etc/pulse/site.conf\n",
     included_layout, ""},
};

class Sweeps : public FaultInjection, public ::testing::WithParamInterface<SweepCase> {};

TEST_P(Sweeps, NoFailingCallDamagesTheFileOrIsReportedAsSuccess)
{
    if (!have("strace"))
        GTEST_SKIP() << "strace is not installed";
    const SweepCase& row = GetParam();
    ASSERT_FALSE(stock_conf.empty());
    const int injections = sweep(row.expected, row.conf, row.setup, row.each_run);
    std::cout << "injections: " << injections << '\n';
    EXPECT_GT(injections, 20);
    if (!strace_knows_landlock())
        GTEST_SKIP() << "this strace cannot name the Landlock system calls, so their failures "
                        "were not injected (every other call's were)";
}

INSTANTIATE_TEST_SUITE_P(FaultInjection, Sweeps, ::testing::ValuesIn(sweeps),
                         [](const ::testing::TestParamInfo<SweepCase>& info) {
                             return std::string{info.param.name};
                         });

} // namespace
