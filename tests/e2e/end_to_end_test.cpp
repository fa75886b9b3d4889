// The built tool with the real store over a copy of the sample device tree.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

#include <regex>
#include <string>
#include <vector>

#include "device_tree.h"
#include "process.h"
#include "scratch.h"
#include "strace_log.h"

using namespace testing_support;

namespace {

// The sample run's output for one store.
std::string one_pass() {
    const std::string out = expected("stdout.txt");
    return out.substr(11, (out.size() - 11) / 3);
}

class EndToEnd : public testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(copy_sample_tree(dir_.path())); }
    Outcome run(const std::vector<std::string> &args = {}) {
        std::vector<std::string> argv = built_program(ROOTED_TOOL);
        argv.insert(argv.end(), args.begin(), args.end());
        return run_program(argv, dir_.path());
    }
    // The tool under strace with the traced calls; the trace.
    std::string trace(const std::string &calls) {
        const std::string log = dir_ / "trace";
        EXPECT_EQ(
            run_program(under_strace({"-f", "-o", log, "-e", "trace=" + calls}, {ROOTED_TOOL}),
                        dir_.path())
                .status,
            0);
        return read_file(log);
    }
    void expect_updated(size_t which) {
        EXPECT_EQ(read_file(dir_ / kConfigs[which]), expected(kConfigs[which])) << kConfigs[which];
    }
    ScratchDir dir_;
};

TEST_F(EndToEnd, SampleRunUpdatesAllThreeAndConsumesTheUpdateFile) {
    const Outcome outcome = run({"--ignored", "arguments"});
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out, expected("stdout.txt"));
    for (size_t i = 0; i < kConfigs.size(); ++i) expect_updated(i);
    EXPECT_FALSE(exists(dir_ / kUpdate));
    EXPECT_EQ(list_dir(dir_ / "mnt/mtd/app"),
              (std::vector<std::string>{"config.xml", "config.xml.default"}));
}

TEST_F(EndToEnd, ThirdTargetMissing) {
    ASSERT_EQ(unlink((dir_ / kConfigs[2]).c_str()), 0);
    EXPECT_EQ(run().out, "main enter\n" + one_pass() + one_pass() +
                             "open ./config/config.xml.default  failed!\n");
    expect_updated(0);
    expect_updated(1);
    EXPECT_FALSE(exists(dir_ / kUpdate));
}

TEST_F(EndToEnd, CorruptConfigurationIsNeverWrittenBack) {
    const std::string truncated = read_file(dir_ / kConfigs[0]).substr(0, 200);
    write_file(dir_ / kConfigs[0], truncated);
    const Outcome outcome = run();
    EXPECT_NE(outcome.out.find("open ./mnt/mtd/app/config.xml  failed!\n"), std::string::npos);
    EXPECT_EQ(read_file(dir_ / kConfigs[0]), truncated);
    expect_updated(1);
    expect_updated(2);
    EXPECT_TRUE(exists(dir_ / kUpdate)) << "kept for the store that did not take it";
}

TEST_F(EndToEnd, FailedSaveKeepsTheUpdateFileAndTheNextRunFinishes) {
    std::string why;
    if (!private_mounts(why)) GTEST_SKIP() << why;
    ASSERT_TRUE(remount_read_only(dir_ / "config"));
    const Outcome first = run();
    EXPECT_NE(first.out.find("save ./config/config.xml.default  failed!\n"
                             "keep ./mnt/mtd/app/update.cfg for the next run\n"),
              std::string::npos)
        << first.out;
    EXPECT_EQ(read_file(dir_ / kConfigs[2]), sample(kConfigs[2]));
    EXPECT_EQ(list_dir(dir_ / "config"), std::vector<std::string>{"config.xml.default"});
    ASSERT_TRUE(exists(dir_ / kUpdate));

    ASSERT_TRUE(shell_succeeds("umount '" + dir_ / "config" + "'"));
    EXPECT_EQ(run().out,
              "main enter\n./mnt/mtd/app/config.xml has this update already, skipped\n"
              "./mnt/mtd/app/config.xml.default has this update already, skipped\n" +
                  one_pass());
    for (size_t i = 0; i < kConfigs.size(); ++i) expect_updated(i);
    EXPECT_FALSE(exists(dir_ / kUpdate));
}

// Each changed file: its temporary copy, made in the folder opened with the
// store, flushed, renamed over it, and then that folder flushed.  A run that
// finds every store holding the update already (as a run stopped after its
// renames leaves them) renames no configuration, but flushes both folders
// before it deletes the update file, and the deletion after.
TEST_F(EndToEnd, SavesAreFlushedRenamedAndTheirFolderFlushed) {
    if (!strace_note().empty()) GTEST_SKIP() << strace_note();
    const std::string calls = "openat,fsync,rename,renameat,renameat2,unlink";
    const std::string log = trace(calls);
    for (const std::string &config : kConfigs) {
        const std::string base = config.substr(config.rfind('/') + 1);
        const std::regex sequence(
            "openat\\([^\\n]*O_DIRECTORY[^\\n]* = (\\d+)\\n(?:.*\\n)*?.*openat\\(\\1, \"\\." +
            base +
            "\\.tmp\", O_WRONLY\\|O_CREAT\\|O_EXCL[^\\n]* = (\\d+)\\n(?:.*\\n)*?.*fsync\\(\\2\\) +"
            "= 0\\n(?:.*\\n)*?.*renameat\\(\\1, \"\\." +
            base + "\\.tmp\", \\1, \"" + base + "\"\\) = 0\\n.*fsync\\(\\1\\) += 0");
        EXPECT_TRUE(std::regex_search(log, sequence)) << config << "\n" << log;
    }
    // The progress record likewise, the same way in its own folder.
    const std::regex record(
        "openat\\(AT_FDCWD, \"\\./mnt/mtd/app\", [^\\n]*O_DIRECTORY[^\\n]* = (\\d+)\\n"
        "(?:.*\\n)*?.*openat\\(\\1, \"update\\.cfg\\.progress\\.tmp\", O_WRONLY\\|O_CREAT\\|O_EXCL"
        "[^\\n]* = (\\d+)\\n(?:(?!.*rename).*\\n)*?.*fsync\\(\\2\\) += 0\\n(?:(?!.*rename).*\\n)*?"
        ".*renameat\\(\\1, \"update\\.cfg\\.progress\\.tmp\", \\1, \"update\\.cfg\\.progress\"\\) "
        "= 0\\n"
        ".*fsync\\(\\1\\) += 0");
    EXPECT_TRUE(std::regex_search(log, record)) << log;

    write_file(dir_ / kUpdate, sample(kUpdate));
    const std::string unchanged = trace(calls);
    EXPECT_EQ(unchanged.find("config.xml.tmp"), std::string::npos) << unchanged;
    const std::regex flushed_then_deleted(
        "openat\\([^\\n]*\"\\./config\", O_RDONLY[^\\n]*O_DIRECTORY[^\\n]* = (\\d+)\\n"
        "(?:.*\\n)*?.*fsync\\(\\1\\) += "
        "0\\n(?:.*\\n)*?.*unlink\\(\"\\./mnt/mtd/app/update\\.cfg\"\\) = 0\\n"
        "(?:.*\\n)*?.*openat\\([^\\n]*\"\\./mnt/mtd/app\", [^\\n]*O_DIRECTORY[^\\n]* = (\\d+)\\n"
        "(?:.*\\n)*?.*fsync\\(\\2\\) += 0\\n");
    EXPECT_TRUE(std::regex_search(unchanged, flushed_then_deleted)) << unchanged;
}

// The flushes before and after the update file's deletion, with the third
// configuration behind a link to another folder and every store up to date
// already (as a run stopped after its renames leaves them): the folder
// flushed for that store is the link target's, which holds the file its
// save replaced, not the link's; and the deletion itself is flushed before
// the progress record goes, so that no power cut keeps the update file and
// loses the record.
TEST_F(EndToEnd, DeletionAfterTheReplacedFilesFoldersAndFlushedBeforeTheRecordGoes) {
    if (!strace_note().empty()) GTEST_SKIP() << strace_note();
    ScratchDir other;
    char real[PATH_MAX];
    ASSERT_NE(realpath(other.path().c_str(), real), nullptr);
    ASSERT_EQ(rename((dir_ / kConfigs[2]).c_str(), (other / "config.xml.default").c_str()), 0);
    ASSERT_EQ(symlink((other / "config.xml.default").c_str(), (dir_ / kConfigs[2]).c_str()), 0);
    ASSERT_EQ(run().out, expected("stdout.txt"));
    write_file(dir_ / kUpdate, sample(kUpdate));
    const std::string log = trace("openat,fsync,unlink");
    EXPECT_FALSE(exists(dir_ / kUpdate));
    const std::regex target_folder_flushed(
        "openat\\(AT_FDCWD, \"" + std::string(real) +
        "\", O_RDONLY[^\\n]*O_DIRECTORY[^\\n]* = (\\d+)\\n(?:.*\\n)*?.*fsync\\(\\1\\) += "
        "0\\n(?:.*\\n)*?.*unlink\\(\"\\./mnt/mtd/app/update\\.cfg\"\\) = 0\\n");
    EXPECT_TRUE(std::regex_search(log, target_folder_flushed)) << real << "\n" << log;
    const std::regex deletion_flushed_first(
        "unlink\\(\"\\./mnt/mtd/app/update\\.cfg\"\\) = "
        "0\\n(?:(?!.*update\\.cfg\\.progress).*\\n)*?"
        ".*fsync\\(\\d+\\) += "
        "0\\n(?:.*\\n)*?.*unlink\\(\"\\./mnt/mtd/app/update\\.cfg\\.progress\"\\)");
    EXPECT_TRUE(std::regex_search(log, deletion_flushed_first)) << log;
}

// The installed binary with its real fixed paths, in a sandbox whose /mnt and
// /config are scratch folders.
TEST(Sandbox, DefaultBinaryUpdatesTheRealPaths) {
    if (!shell_succeeds("command -v bwrap")) GTEST_SKIP() << "bubblewrap is not installed";
    if (!emulation_note().empty()) GTEST_SKIP() << emulation_note();
    ScratchDir dir;
    ASSERT_TRUE(copy_sample_tree(dir.path()));
    std::vector<std::string> argv = sandbox_with_system();
    argv.insert(argv.end(),
                {"--ro-bind", BUILD_TREE, BUILD_TREE, "--bind", dir / "mnt", "/mnt", "--bind",
                 dir / "config", "/config", "--proc", "/proc", "--dev", "/dev", DEFAULT_TOOL});
    if (run_program({"/usr/bin/bwrap", "--ro-bind", "/", "/", "true"}).status != 0)
        GTEST_SKIP() << "bubblewrap cannot start a sandbox here (no namespaces)";

    const Outcome outcome = run_program(argv);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out, std::regex_replace(expected("stdout.txt"), std::regex("\\./"), "/"));
    for (const std::string &config : kConfigs)
        EXPECT_EQ(read_file(dir / config), expected(config)) << config;
    EXPECT_FALSE(exists(dir / kUpdate));
}

}  // namespace
