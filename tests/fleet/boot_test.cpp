// The start at boot as `cmake --install` puts it in place: the systemd unit
// passes systemd-analyze verify, and the BusyBox init script, run by busybox
// sh in a sandbox whose /usr/local holds the installed files, applies the
// sample update when the update file is there (its output to syslog when
// there is a logger, else to the console) and does nothing otherwise.  And
// the manual page reads without a warning.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sandbox.h"

using namespace testing_support;
using fleet_testing::snapshot;

namespace {

const std::string kPrefix = INSTALL_PREFIX;
const std::string kInitScript = INIT_DIR "/S10update-cfg";
const std::string kUnit = UNIT_DIR "/update-cfg.service";

// The tool, the store and the boot files installed under a scratch
// DESTDIR, shown in the sandbox at the build's own prefix.
class Boot : public testing::Test {
  protected:
    void SetUp() override {
        const std::string why = fleet_testing::sandbox_unavailable();
        if (!why.empty()) GTEST_SKIP() << why;
        if (kPrefix == "/usr" || kPrefix == "/" ||
            std::string(INIT_DIR).rfind(kPrefix + "/", 0) != 0 ||
            std::string(UNIT_DIR).rfind(kPrefix + "/", 0) != 0)
            GTEST_SKIP() << "the boot files must install under a prefix of their own, not "
                         << kPrefix;
        for (const char *component : {"tool", "store"})
            ASSERT_TRUE(shell_succeeds(
                "DESTDIR='" + installed_.path() +
                "' '" CMAKE_PROGRAM "' --install '" BUILD_TREE "' --component " + component));
        ASSERT_TRUE(copy_sample_tree(device_.path()));
    }

    // A command in the sandbox: the installed files at the prefix, the
    // device's /mnt and /config, the host's /etc for man and systemd.
    Outcome in_sandbox(const std::vector<std::string> &command,
                       const std::vector<std::string> &env = {}) const {
        std::vector<std::string> argv = sandbox_with_system();
        argv.insert(argv.end(), {"--ro-bind",
                                 installed_.path() + kPrefix,
                                 kPrefix,
                                 "--ro-bind",
                                 "/etc",
                                 "/etc",
                                 "--proc",
                                 "/proc",
                                 "--dev",
                                 "/dev",
                                 "--tmpfs",
                                 "/tmp",
                                 "--tmpfs",
                                 "/run",
                                 "--bind",
                                 device_ / "mnt",
                                 "/mnt",
                                 "--bind",
                                 device_ / "config",
                                 "/config",
                                 "--setenv",
                                 "LD_LIBRARY_PATH",
                                 kPrefix + "/" LIBDIR});
        for (size_t i = 0; i + 1 < env.size(); i += 2)
            argv.insert(argv.end(), {"--setenv", env[i], env[i + 1]});
        argv.insert(argv.end(), command.begin(), command.end());
        return run_program(argv);
    }

    std::map<std::string, std::string> device() const { return snapshot(device_.path()); }

    ScratchDir installed_, device_;
};

// Configurations as the sample update leaves them (the update file gone).
std::map<std::string, std::string> updated_sample() {
    return snapshot(kExpectedTree);
}

TEST_F(Boot, TheUnitPassesSystemdAnalyzeVerify) {
    const Outcome verified =
        in_sandbox({"/bin/sh", "-c", "systemd-analyze verify \"$0\" 2>&1", kUnit});
    EXPECT_EQ(verified.status, 0) << verified.out;
    EXPECT_EQ(verified.out, "");
    // It runs the installed tool, only when there is an update file, before
    // the recorder's service, into the journal.
    const std::string unit = read_file(installed_.path() + kUnit);
    for (const std::string &line : std::vector<std::string>{
             "ConditionPathExists=/mnt/mtd/app/update.cfg\n", "Before=recorder.service\n",
             "Type=oneshot\n", "ExecStart=" + kPrefix + "/bin/update_cfg\n",
             "StandardOutput=journal\n"})
        EXPECT_NE(unit.find(line), std::string::npos) << line;
}

TEST_F(Boot, TheInitScriptAppliesTheUpdateToTheConsoleWithoutALogger) {
    const Outcome started =
        in_sandbox({"/bin/busybox", "sh", kInitScript, "start"}, {"PATH", "/nonexistent"});
    EXPECT_EQ(started.status, 0);
    EXPECT_EQ(started.out, expected("stdout.txt"));
    std::map<std::string, std::string> expected = updated_sample();
    expected.erase("stdout.txt");
    EXPECT_EQ(device(), expected);
}

TEST_F(Boot, TheInitScriptSendsTheToolsLinesToSyslogThroughLogger) {
    const Outcome started =
        in_sandbox({"/bin/busybox", "sh", "-c",
                    "busybox syslogd -n -O /tmp/messages & sleep 0.3; busybox sh \"$0\" start; "
                    "sleep 0.5; echo ==; cat /tmp/messages",
                    kInitScript});
    EXPECT_EQ(started.status, 0);
    const std::string console = started.out.substr(0, started.out.find("==\n"));
    EXPECT_EQ(console, "");
    EXPECT_NE(started.out.find("update_cfg: main enter\n"), std::string::npos) << started.out;
    EXPECT_NE(started.out.find("update_cfg: SetValueToConfig value = private, len = 7\n"),
              std::string::npos)
        << started.out;
    EXPECT_FALSE(exists(device_ / "mnt/mtd/app/update.cfg"));
}

TEST_F(Boot, TheInitScriptDoesNothingWithoutAnUpdateFile) {
    ASSERT_EQ(unlink((device_ / "mnt/mtd/app/update.cfg").c_str()), 0);
    const auto before = device();
    for (const char *action : {"start", "stop", "restart"}) {
        const Outcome started =
            in_sandbox({"/bin/busybox", "sh", kInitScript, action}, {"PATH", "/nonexistent"});
        EXPECT_EQ(started.status, 0) << action;
        EXPECT_EQ(started.out, "") << action;  // not even the tool's "main enter"
    }
    EXPECT_EQ(device(), before);
    EXPECT_EQ(in_sandbox({"/bin/busybox", "sh", kInitScript, "bogus"}).status, 3);
}

TEST(Manual, ReadsWithoutAWarning) {
    const Outcome read = run_program({"/bin/sh", "-c",
                                      "man --warnings -l \"$0\" 2>&1 >/dev/null; man -l \"$0\" "
                                      "2>/dev/null | grep -c 'keep .* for the next run'",
                                      SOURCE_TREE "/man/update_cfg.8"});
    EXPECT_EQ(read.out, "1\n");
}

}  // namespace
