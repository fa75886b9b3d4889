// Another writer between an open and its save: the file keeps one whole
// version, never a mix, and the save says truly whether it was ours.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <string>
#include <thread>

#include "loop_mount.h"
#include "process.h"
#include "store_helpers.h"
#include "strace_log.h"

using namespace testing_support;

namespace {

const std::string kConfig =
    "<DVR_CFG>\n  <NET>\n    <GATEWAY>192.168.1.1</GATEWAY>\n    <PORT>80</PORT>\n  </NET>\n"
    "</DVR_CFG>\n";
// Another writer's version: the same size, so only the change time tells.
const std::string kTheirs =
    "<DVR_CFG>\n  <NET>\n    <GATEWAY>192.168.1.9</GATEWAY>\n    <PORT>81</PORT>\n  </NET>\n"
    "</DVR_CFG>\n";

class OtherWriter : public testing::Test {
  protected:
    void SetUp() override {
        write_file(path_, kConfig);
        handle_ = xml_file_open(path_.c_str());
        ASSERT_GT(handle_, 0);
        ASSERT_EQ(write_value(handle_, "10.0.0.42", "DVR_CFG.NET.GATEWAY"), 0);
    }
    void TearDown() override { xml_file_close(handle_); }

    // The save fails, and the file is theirs, whole, with nothing beside it.
    void expect_save_refused() {
        EXPECT_NE(xml_file_save(handle_), 0);
        EXPECT_EQ(read_file(path_), kTheirs);
        EXPECT_EQ(list_dir(dir_.path()), std::vector<std::string>{"config.xml"});
    }

    ScratchDir dir_;
    const std::string path_ = dir_ / "config.xml";
    int handle_ = 0;
};

// Rewrites path in place with kTheirs, as an editor without rename would.
void rewrite_in_place(const std::string &path) {
    const int fd = open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, kTheirs.data(), kTheirs.size(), 0), static_cast<ssize_t>(kTheirs.size()));
    close(fd);
}

// The save program in a thread of its own, under strace with a call held
// back (options); join() gives what it printed.
class HeldSave {
  public:
    HeldSave(const std::vector<std::string> &options, const std::string &path,
             const std::string &entry, const std::string &value)
        : thread_([=] {
              outcome_ = run_program(under_strace(options, {SAVE_PROGRAM, path, entry, value}));
          }) {}
    ~HeldSave() {
        if (thread_.joinable()) thread_.join();
    }
    std::string join() {
        thread_.join();
        return outcome_.out;
    }

  private:
    Outcome outcome_;
    std::thread thread_;
};

// Waits up to three seconds for path to appear.
bool appears(const std::string &path) {
    for (int i = 0; i < 300 && !exists(path); ++i) usleep(10000);
    return exists(path);
}

TEST_F(OtherWriter, RewriteInPlaceWithTheModificationTimePutBack) {
    struct stat before;
    ASSERT_EQ(stat(path_.c_str(), &before), 0);
    rewrite_in_place(path_);
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, path_.c_str(), times, 0), 0);
    expect_save_refused();
}

TEST_F(OtherWriter, ReplacementByRename) {
    write_file(dir_ / "theirs", kTheirs);
    ASSERT_EQ(rename((dir_ / "theirs").c_str(), path_.c_str()), 0);
    expect_save_refused();
}

// A save of this library under way holds a lock on the file: a second one
// fails at once instead of racing it for the temporary file.
TEST_F(OtherWriter, SaveUnderWay) {
    const int fd = open(path_.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    EXPECT_NE(xml_file_save(handle_), 0);
    EXPECT_EQ(read_file(path_), kConfig);
    EXPECT_EQ(list_dir(dir_.path()), std::vector<std::string>{"config.xml"});
    close(fd);
    EXPECT_EQ(xml_file_save(handle_), 0) << "once the lock is gone";
    EXPECT_NE(read_file(path_).find("10.0.0.42"), std::string::npos);
}

// The file is the one named at open: a relative path is not looked up again
// in another working folder.
TEST(OpenedFile, StaysTheSameWhenTheWorkingFolderChanges) {
    ScratchDir first, second;
    write_file(first / "config.xml", kConfig);
    write_file(second / "config.xml", kTheirs);
    char here[4096];
    ASSERT_NE(getcwd(here, sizeof here), nullptr);
    ASSERT_EQ(chdir(first.path().c_str()), 0);
    const int handle = xml_file_open("config.xml");
    ASSERT_EQ(chdir(second.path().c_str()), 0);
    EXPECT_EQ(write_value(handle, "10.0.0.42", "DVR_CFG.NET.GATEWAY"), 0);
    EXPECT_EQ(xml_file_save(handle), 0);
    xml_file_close(handle);
    ASSERT_EQ(chdir(here), 0);
    EXPECT_EQ(read_file(second / "config.xml"), kTheirs);
    EXPECT_NE(read_file(first / "config.xml").find("10.0.0.42"), std::string::npos);
}

// Two processes save the same version at the same moment; the first is held
// inside its save (its temporary file's fsync delayed) while the second
// tries.  One wins whole, the other says it failed.
TEST(TwoProcesses, SavingOneFileAtOnceLeaveOneWholeVersion) {
    if (!strace_note().empty()) GTEST_SKIP() << strace_note();
    ScratchDir dir;
    const std::string path = dir / "config.xml";
    write_file(path, kConfig);
    HeldSave first({"-f", "-o", "/dev/null", "-e", "inject=fsync:delay_enter=1500000:when=1"}, path,
                   "DVR_CFG.NET.GATEWAY", "10.0.0.1");
    // Until the slow one holds its temporary file, the quick one waits.
    ASSERT_TRUE(appears(dir / ".config.xml.tmp"));
    const Outcome quick = run_program({SAVE_PROGRAM, path, "DVR_CFG.NET.PORT", "8080"});
    EXPECT_EQ(first.join(), "saved\n");
    EXPECT_EQ(quick.out, "save failed\n");
    EXPECT_EQ(read_file(path), apply(kConfig, {{"DVR_CFG.NET.GATEWAY", "10.0.0.1"}}));
    EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"config.xml"});

    // Once the first has saved, the second's version is gone: a late save
    // fails too, and does not undo the first.
    const std::string first_saved = read_file(path);
    const int handle = xml_file_open(path.c_str());
    ASSERT_GT(handle, 0);
    EXPECT_EQ(run_program({SAVE_PROGRAM, path, "DVR_CFG.NET.PORT", "81"}).out, "saved\n");
    const std::string second_saved = read_file(path);
    EXPECT_EQ(write_value(handle, "8080", "DVR_CFG.NET.PORT"), 0);
    EXPECT_NE(xml_file_save(handle), 0);
    xml_file_close(handle);
    EXPECT_EQ(read_file(path), second_saved);
    EXPECT_NE(second_saved, first_saved);
}

// A writer that takes no lock replaces the file, or rewrites it in place,
// while a save is under way (held in its temporary file's flush): the save
// fails rather than rename over their version.
TEST(TwoProcesses, AFileReplacedOrRewrittenDuringASaveIsNotOverwritten) {
    if (!strace_note().empty()) GTEST_SKIP() << strace_note();
    for (const bool by_rename : {true, false}) {
        ScratchDir dir;
        const std::string path = dir / "config.xml";
        write_file(path, kConfig);
        HeldSave save({"-o", "/dev/null", "-e", "inject=fsync:delay_enter=1500000:when=1"}, path,
                      "DVR_CFG.NET.GATEWAY", "10.0.0.1");
        ASSERT_TRUE(appears(dir / ".config.xml.tmp"));
        if (by_rename) {
            write_file(dir / "theirs", kTheirs);
            ASSERT_EQ(rename((dir / "theirs").c_str(), path.c_str()), 0);
        } else {
            rewrite_in_place(path);
        }
        EXPECT_EQ(save.join(), "save failed\n") << (by_rename ? "renamed" : "rewritten");
        EXPECT_EQ(read_file(path), kTheirs);
        EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"config.xml"});
    }
}

// A writer rewrites the file in place while the open reads it (the read held
// back by strace, which logs its start): what the open read may be part old,
// part new; it refuses it.
TEST(TwoProcesses, AFileChangedWhileTheOpenReadsItIsRefused) {
    if (!strace_note().empty()) GTEST_SKIP() << strace_note();
    ScratchDir dir;
    const std::string path = dir / "config.xml", trace = dir / "trace";
    write_file(path, kConfig);
    HeldSave save(
        {"-o", trace, "-P", path, "-e", "trace=read", "-e", "inject=read:delay_enter=1500000"},
        path, "DVR_CFG.NET.GATEWAY", "10.0.0.1");
    for (int i = 0; i < 300 && read_file(trace).find("read(") == std::string::npos; ++i)
        usleep(10000);
    rewrite_in_place(path);
    EXPECT_EQ(save.join(), "open failed\n");
    EXPECT_EQ(read_file(path), kTheirs);
}

// On a file system that keeps whole seconds, a rewrite in place at the same
// size within the second of the last change leaves every time stamp as it
// was: only the bytes show it.  HTTP 81 becomes 82 there.
const std::string kHttp81 =
    "<DVR_CFG>\n  <NET>\n    <GATEWAY>192.168.1.1</GATEWAY>\n    <HTTP>81</HTTP>\n  </NET>\n"
    "</DVR_CFG>\n";

class WholeSecondTimes : public testing::Test {
  protected:
    void SetUp() override {
        if (!fs_.mounted()) GTEST_SKIP() << fs_.why();
        ASSERT_EQ(mkdir(dir_.c_str(), 0755), 0);
    }

    // Writes the first version just after a second begins, so that what
    // follows can fall within the same second.
    void start() {
        timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        usleep(static_cast<useconds_t>((1000000000L - now.tv_nsec) / 1000 + 20000));
        write_file(path_, kHttp81);
    }

    // The other writer: HTTP 81 -> 82 in place, as a program that keeps the
    // file open would do it.  False when its time stamps show the rewrite
    // (the second had passed): the case is then not this one.
    bool rewrite_within_the_second() {
        theirs_ = read_file(path_);
        const size_t at = theirs_.find("<HTTP>81<");
        EXPECT_NE(at, std::string::npos);
        theirs_.replace(at, 9, "<HTTP>82<");
        struct stat before, after;
        EXPECT_EQ(stat(path_.c_str(), &before), 0);
        const int fd = open(path_.c_str(), O_WRONLY);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(pwrite(fd, theirs_.data(), theirs_.size(), 0),
                  static_cast<ssize_t>(theirs_.size()));
        close(fd);
        EXPECT_EQ(stat(path_.c_str(), &after), 0);
        return after.st_ctim.tv_sec == before.st_ctim.tv_sec &&
               after.st_ctim.tv_nsec == before.st_ctim.tv_nsec &&
               after.st_mtim.tv_sec == before.st_mtim.tv_sec &&
               after.st_mtim.tv_nsec == before.st_mtim.tv_nsec && after.st_size == before.st_size;
    }

    // The save failed; the other writer's bytes are there, with nothing beside.
    void expect_theirs_kept() {
        EXPECT_EQ(read_file(path_), theirs_);
        EXPECT_EQ(list_dir(dir_), std::vector<std::string>{"config.xml"});
    }

    WholeSecondFileSystem fs_;
    const std::string dir_ = fs_ / "config";
    const std::string path_ = dir_ + "/config.xml";
    std::string theirs_;
};

TEST_F(WholeSecondTimes, RewriteBetweenOpenAndSave) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        start();
        const int handle = xml_file_open(path_.c_str());
        ASSERT_GT(handle, 0);
        ASSERT_EQ(write_value(handle, "10.0.0.42", "DVR_CFG.NET.GATEWAY"), 0);
        const bool same_second = rewrite_within_the_second();
        const int saved = xml_file_save(handle);
        xml_file_close(handle);
        if (!same_second) continue;
        EXPECT_NE(saved, 0);
        expect_theirs_kept();
        return;
    }
    FAIL() << "the rewrite never fell within the second of the file's creation";
}

// The other writer comes while the save writes its temporary file (its
// fsync held back by strace): the bytes are read again after that, just
// before the rename.
TEST_F(WholeSecondTimes, RewriteWhileTheSaveIsUnderWay) {
    if (!shell_succeeds("command -v strace")) GTEST_SKIP() << "strace is not installed";
    if (!emulation_note().empty()) GTEST_SKIP() << emulation_note();
    for (int attempt = 0; attempt < 3; ++attempt) {
        start();
        Outcome save;
        std::thread saver([&] {
            save = run_program({"/usr/bin/env", "strace", "-f", "-qq", "-o", "/dev/null", "-E",
                                "ASAN_OPTIONS=detect_leaks=0", "-e", "trace=fsync", "-e",
                                "inject=fsync:delay_enter=700000:when=1", SAVE_PROGRAM, path_,
                                "DVR_CFG.NET.GATEWAY", "10.0.0.42"});
        });
        for (int i = 0; i < 300 && !exists(dir_ + "/.config.xml.tmp"); ++i) usleep(2000);
        const bool same_second = exists(dir_ + "/.config.xml.tmp") && rewrite_within_the_second();
        saver.join();
        if (!same_second) continue;
        EXPECT_EQ(save.out, "save failed\n");
        expect_theirs_kept();
        return;
    }
    FAIL() << "the rewrite never fell within the second of the file's creation";
}

// After a first save of the handle the file holds what that save wrote,
// which is not kept in memory: a second save compares with its fingerprint.
TEST_F(WholeSecondTimes, RewriteAfterAnEarlierSaveOfTheHandle) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        start();
        const int handle = xml_file_open(path_.c_str());
        ASSERT_GT(handle, 0);
        ASSERT_EQ(write_value(handle, "10.0.0.42", "DVR_CFG.NET.GATEWAY"), 0);
        ASSERT_EQ(xml_file_save(handle), 0);
        ASSERT_EQ(write_value(handle, "10.0.0.43", "DVR_CFG.NET.GATEWAY"), 0);
        const bool same_second = rewrite_within_the_second();
        const int saved = xml_file_save(handle);
        xml_file_close(handle);
        if (!same_second) continue;
        EXPECT_NE(saved, 0);
        expect_theirs_kept();
        EXPECT_NE(theirs_.find("10.0.0.42"), std::string::npos);
        return;
    }
    FAIL() << "the rewrite never fell within the second of the save";
}

}  // namespace
