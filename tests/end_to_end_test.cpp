#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "sandbox.hpp"

using namespace std::string_literals;

namespace {

const std::string needs_real_root = "needs real root, not a user namespace";

// Every run: three lines on standard output, nothing on standard error, exit status 0.
void expect_said(const RunResult& run, const std::string& output)
{
    EXPECT_EQ(run.out, output);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
}

using Files = std::map<std::string, std::string>;

struct RuleCase {
    const char* name;
    std::string before;
    std::string after; // the same as before when nothing may change
    bool changed;
    // Run first, in /etc/pulse/client.conf.d, beside an empty /etc/run for link targets.
    std::string setup = "";
    Files others_after = {};  // everything else under /etc afterwards, as Sandbox::files()
    std::string message = ""; // when it is neither of the two outcomes
};

void PrintTo(const RuleCase& c, std::ostream* os)
{
    *os << c.name;
}

// Line rules, including the two comment marks and the last setting winning, over client.conf
// and the drop-ins read after it.
const RuleCase rule_cases[] = {
    {"empty", "", "autospawn = no\n", true},
    {"no_mention_appends", "a = 1\nb = 2", "a = 1\nb = 2\nautospawn = no\n", true},
    {"first_line_active", "autospawn = no\n; x\n", "autospawn = no\n; x\n", false},
    {"commented_mention", "a\n; autospawn = yes\nb\n", "a\nautospawn = no\nb\n", true},
    {"trailing_comment", "autospawn = no ; note\n", "autospawn = no\n", true},
    {"hash_is_a_comment", "# autospawn = no\n", "autospawn = no\n", true},
    {"hash_comment_after", "autospawn = no # note\nx\n", "autospawn = no\nx\n", true},
    {"capitals_match_nothing", "AUTOSPAWN = NO\n", "AUTOSPAWN = NO\nautospawn = no\n", true},
    {"carriage_return_active", "autospawn = no\r\n", "autospawn = no\r\n", false},
    {"carriage_return_kept", "a = 1\r\n", "a = 1\r\nautospawn = no\n", true},
    {"last_setting_no", "autospawn = yes\nautospawn = no\n", "autospawn = yes\nautospawn = no\n",
     false},
    {"last_setting_yes", "autospawn = no\nautospawn = yes\n", "autospawn = no\nautospawn = no\n",
     true},
    {"commented_after_active", "autospawn = no\n; autospawn = yes\n# autospawn = yes\n",
     "autospawn = no\n; autospawn = yes\n# autospawn = yes\n", false},
    {"unspaced_and_commented", "; autospawn = yes\nx\nautospawn=no",
     "autospawn = no\nx\nautospawn = no\n", true},
    {"key_in_longer_word", "noautospawn = 1\n", "autospawn = no\n", true},
    {"zero_byte_copied", "a\0b\n"s, "a\0b\nautospawn = no\n"s, true},
    // The drop-ins: the link that a boot script fills, replaced while its target is kept.
    // clang-format off
    {"debian_enabling_link", "; autospawn = yes\n", "autospawn = no\n", true,
     "echo autospawn=yes >/etc/run/enable; ln -s /etc/run/enable 01-enable-autospawn.conf",
     {{"pulse/client.conf.d/01-enable-autospawn.conf", "autospawn = no\n"},
      {"run/enable", "autospawn=yes\n"}}},
    {"dangling_link_skipped", "; autospawn = yes\n", "autospawn = no\n", true,
     "ln -s /etc/run/enable 01.conf", {{"pulse/client.conf.d/01.conf", "-> /etc/run/enable"}}},
    {"drop_in_disables", "; autospawn = yes\n", "; autospawn = yes\n", false,
     "echo 'autospawn = no' >50.conf", {{"pulse/client.conf.d/50.conf", "autospawn = no\n"}}},
    // Byte order puts "B" before "a", so a.conf is read last and wins.
    {"later_drop_in_enables", "autospawn = no\n", "autospawn = no\n", true,
     "echo 'autospawn = no' >B.conf; printf '# x\\nautospawn = yes\\n' >a.conf",
     {{"pulse/client.conf.d/B.conf", "autospawn = no\n"},
      {"pulse/client.conf.d/a.conf", "# x\nautospawn = no\n"}}},
    {"later_drop_in_disables", "; autospawn = yes\n", "; autospawn = yes\n", false,
     "echo 'autospawn = yes' >B.conf; echo 'autospawn = no' >a.conf",
     {{"pulse/client.conf.d/B.conf", "autospawn = yes\n"},
      {"pulse/client.conf.d/a.conf", "autospawn = no\n"}}},
    {"silent_drop_in_left_alone", "autospawn = yes\n", "autospawn = no\n", true,
     "printf '; autospawn = yes' >01.conf", {{"pulse/client.conf.d/01.conf", "; autospawn = yes"}}},
    {"other_names_ignored", "autospawn = no\n", "autospawn = no\n", false,
     "echo 'autospawn = yes' | tee 01.conf.bak 01.conf.tmp >/dev/null",
     {{"pulse/client.conf.d/01.conf.bak", "autospawn = yes\n"},
      {"pulse/client.conf.d/01.conf.tmp", "autospawn = yes\n"}}},
    {"non_regular_drop_ins_skipped", "autospawn = no\n", "autospawn = no\n", false,
     "mkfifo 10.conf; mkdir 20.conf; ln -s /dev/zero 30.conf",
     {{"pulse/client.conf.d/10.conf", "<other>"}, {"pulse/client.conf.d/30.conf", "-> /dev/zero"}}},
    {"drop_in_path_not_a_directory", "; autospawn = yes\n", "autospawn = no\n", true,
     "cd .. && rmdir client.conf.d && echo 'autospawn = yes' >client.conf.d",
     {{"pulse/client.conf.d", "autospawn = yes\n"}}},
    // A failure on a drop-in: client.conf, done before it, stays done for the next run.
    {"drop_in_temporary_unusable", "; autospawn = yes\n", "autospawn = no\n", false,
     "echo 'autospawn = yes' >01.conf; mkdir 01.conf.tmp",
     {{"pulse/client.conf.d/01.conf", "autospawn = yes\n"}}, "Error creating temporary file"},
    // clang-format on
};

class Rules : public Sandbox, public ::testing::WithParamInterface<RuleCase> {};

TEST_P(Rules, RewritesOrLeavesAlone)
{
    const RuleCase& c = GetParam();
    write_conf(c.before);
    const std::string setup =
        "mkdir -p /etc/run /etc/pulse/client.conf.d\ncd /etc/pulse/client.conf.d\n";
    const std::string message = !c.message.empty() ? c.message
                                : c.changed        ? disabled_now_text
                                                   : already_disabled_text;
    expect_said(run(setup + c.setup, collected(R"(timeout 10 "$BIN")")), printed(message));
    EXPECT_EQ(conf(), c.after);
    EXPECT_EQ(files(), c.others_after);
    EXPECT_FALSE(temporary_left());
}

INSTANTIATE_TEST_SUITE_P(Table, Rules, ::testing::ValuesIn(rule_cases),
                         [](const auto& info) { return std::string{info.param.name}; });

using RunSequence = Sandbox;

TEST_F(RunSequence, SecondRunFindsTheFirstRunsWork)
{
    write_conf("; autospawn = yes\n");
    // A stale copy, longer than the new file, is emptied and reused.
    expect_said(run(R"(printf '%4000s\n' stale >/etc/pulse/client.conf.tmp)"), disabled_now);
    expect_said(run("", collected(R"("$BIN" extra --args)")), already_disabled);
    EXPECT_EQ(conf(), "autospawn = no\n");
    EXPECT_FALSE(temporary_left());
}

TEST_F(RunSequence, RefusesOrdinaryUsers)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << needs_real_root;
    write_conf("; autospawn = yes\n");
    expect_said(run("", collected(R"(setpriv --reuid=65534 --regid=65534 --clear-groups "$BIN")")),
                printed("Error! Please run this program as Root User!"));
    EXPECT_EQ(conf(), "; autospawn = yes\n");
}

TEST_F(RunSequence, MissingConfigurationIsFineButUnopenableIsNot)
{
    expect_said(run(), printed("Pulseaudio is not installed. It's all right."));
    EXPECT_FALSE(temporary_left());
    // There, but not a regular file: never opened, so nothing blocks, grows or is left behind.
    const std::vector<std::string> setups = {
        R"(ln -s client.conf /etc/pulse/client.conf)", R"(mkfifo /etc/pulse/client.conf)",
        R"(ln -s /dev/zero /etc/pulse/client.conf)", R"(ln -s /dev/urandom /etc/pulse/client.conf)",
        R"(mkdir /etc/pulse/client.conf)"};
    for (const std::string& setup : setups) {
        SCOPED_TRACE(setup);
        expect_said(run(setup, collected(R"(timeout 10 "$BIN")")),
                    printed("Error opening file /etc/pulse/client.conf"));
        EXPECT_EQ(files(), Files{});
        std::filesystem::remove_all(pulse("client.conf"));
    }
    std::filesystem::remove_all(dir + "/pulse");
    write(dir + "/pulse", "");
    expect_said(run(), printed("Pulseaudio is not installed. It's all right."));
}

// Anything but a regular file of our own at the temporary path is left exactly as it is.
TEST_F(RunSequence, TemporaryPathMustBeAPlainFile)
{
    const std::vector<std::string> setups = {
        R"(mkdir /etc/pulse/client.conf.tmp)",
        R"(ln -s /etc/victim /etc/pulse/client.conf.tmp)",
        R"(mkfifo /etc/pulse/client.conf.tmp)",
        R"(ln /etc/victim /etc/pulse/client.conf.tmp)",
        R"(mknod /etc/pulse/client.conf.tmp c 1 3)",
    };
    for (const std::string& setup : setups) {
        SCOPED_TRACE(setup);
        if (setup.starts_with("mknod") && ::geteuid() != 0)
            continue; // devices cannot be made in a user namespace
        write_conf("; autospawn = yes\n");
        write(dir + "/victim", "precious\n");
        expect_said(run(setup, collected(R"(timeout 10 "$BIN")")),
                    printed("Error creating temporary file"));
        EXPECT_EQ(conf(), "; autospawn = yes\n");
        EXPECT_EQ(read(dir + "/victim"), "precious\n");
        std::filesystem::remove_all(pulse("client.conf.tmp"));
    }
}

TEST_F(RunSequence, KeepsModeAndOwnershipWhateverTheUmask)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << needs_real_root;
    write_conf("autospawn = yes\n");
    ASSERT_EQ(::chown(pulse("client.conf").c_str(), 1234, 4321), 0);
    ASSERT_EQ(::chmod(pulse("client.conf").c_str(), 0640), 0);
    expect_said(run("umask 077"), disabled_now);
    struct stat status {};
    ASSERT_EQ(::stat(pulse("client.conf").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640U);
    EXPECT_EQ(status.st_uid, 1234U);
    EXPECT_EQ(status.st_gid, 4321U);
}

TEST_F(RunSequence, SymbolicLinkIsReplacedAndItsTargetKept)
{
    write(scratch + "/target", "autospawn = yes\n");
    ASSERT_EQ(::chmod((scratch + "/target").c_str(), 0604), 0);
    std::filesystem::create_symlink(scratch + "/target", pulse("client.conf"));
    expect_said(run(), disabled_now);
    EXPECT_TRUE(
        std::filesystem::is_regular_file(std::filesystem::symlink_status(pulse("client.conf"))));
    EXPECT_EQ(conf(), "autospawn = no\n");
    EXPECT_EQ(read(scratch + "/target"), "autospawn = yes\n");
    EXPECT_EQ(std::filesystem::status(pulse("client.conf")).permissions(),
              std::filesystem::perms(0604));
}

TEST_F(RunSequence, ConcurrentRunsTakeTurns)
{
    write_conf("; autospawn = yes\nx = 1\n");
    run("", R"(for i in $(seq 12); do "$BIN" >"$D/out.$i" 2>>"$D/err" & done; wait)");
    int changed = 0;
    int already = 0;
    for (int i = 1; i <= 12; ++i) {
        const auto out = read(scratch + "/out." + std::to_string(i));
        changed += out == disabled_now;
        already += out == already_disabled;
    }
    EXPECT_EQ(changed, 1);
    EXPECT_EQ(already, 11);
    EXPECT_EQ(read(scratch + "/err"), "");
    EXPECT_EQ(conf(), "autospawn = no\nx = 1\n");
    EXPECT_FALSE(temporary_left());
}

TEST_F(RunSequence, SyncsCopyBeforeRenameAndDirectoryAfter)
{
    if (!have_strace())
        GTEST_SKIP() << "strace is not installed";
    write_conf("autospawn = yes\n");
    run("", strace_command + R"(-e trace=fsync,rename -o "$D/trace" "$BIN" >"$D/out")");
    const std::string trace = read(scratch + "/trace").value_or("");
    const auto sync_copy = trace.find("fsync(");
    const auto rename =
        trace.find("rename(\"/etc/pulse/client.conf.tmp\", \"/etc/pulse/client.conf\") = 0");
    ASSERT_NE(rename, std::string::npos) << trace;
    EXPECT_LT(sync_copy, rename) << trace;
    EXPECT_NE(trace.find("fsync(", rename), std::string::npos) << trace;
}

// Injected failures: the configuration keeps its bytes, no copy stays, the error is named.
TEST_F(RunSequence, WriteFailureIsReported)
{
    const std::string conf_text = "; autospawn = yes\n" + std::string(2000, ';') + "\n";
    write(scratch + "/conf", conf_text);
    expect_said(run(R"(mount -t tmpfs -o size=4k tmpfs /etc/pulse
cp "$D/conf" /etc/pulse/client.conf)",
                    collected() + R"(
cat /etc/pulse/client.conf >"$D/after"; ls -A /etc/pulse >"$D/listing")"),
                printed("Error writing temporary file"));
    EXPECT_EQ(read(scratch + "/after"), conf_text);
    EXPECT_EQ(read(scratch + "/listing"), "client.conf\n");
}

TEST_F(RunSequence, RenameFailureIsReported)
{
    write_conf("");
    write(scratch + "/mounted", "autospawn = yes\n");
    expect_said(run(R"(mount --bind "$D/mounted" /etc/pulse/client.conf)"),
                printed("Error replacing file /etc/pulse/client.conf"));
    EXPECT_EQ(read(scratch + "/mounted"), "autospawn = yes\n");
    EXPECT_FALSE(temporary_left());
}

} // namespace
