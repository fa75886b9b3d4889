// Another writer between an open and its save: the file keeps one whole
// version, never a mix, and the save says truly whether it was ours.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <functional>
#include <string>
#include <thread>

#include "loop_mount.h"
#include "process.h"
#include "store_case.h"
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
    void SetUp() override { ASSERT_EQ(store.write("DVR_CFG.NET.GATEWAY", "10.0.0.42"), 0); }

    // The save fails, and the file is theirs, whole, with nothing beside it.
    void expect_save_refused() {
        EXPECT_NE(store.save(), 0);
        EXPECT_EQ(store.bytes(), kTheirs);
        EXPECT_EQ(store.files(), kJustTheFile);
    }

    StoreFile store{kConfig};
};

// Rewrites path in place with bytes, as an editor without rename would.
void rewrite_in_place(const std::string &path, const std::string &bytes = kTheirs) {
    const int fd = open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
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

// strace's options that hold the save program in its temporary file's first
// flush for delay microseconds.
std::vector<std::string> held_in_flush(const std::string &delay) {
    return {"-f",
            "-o",
            "/dev/null",
            "-e",
            "trace=fsync",
            "-e",
            "inject=fsync:delay_enter=" + delay + ":when=1"};
}

// Waits up to three seconds for a save's temporary file to appear in folder.
bool temporary_appears(const std::string &folder) {
    const std::string path = folder + "/.config.xml.tmp";
    for (int i = 0; i < 300 && !exists(path); ++i) usleep(10000);
    return exists(path);
}

TEST_F(OtherWriter, RewriteInPlaceWithTheModificationTimePutBack) {
    const struct stat before = store.status();
    rewrite_in_place(store.path);
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, store.path.c_str(), times, 0), 0);
    expect_save_refused();
}

TEST_F(OtherWriter, ReplacementByRename) {
    write_file(store.dir / "theirs", kTheirs);
    ASSERT_EQ(rename((store.dir / "theirs").c_str(), store.path.c_str()), 0);
    expect_save_refused();
}

// A save of this library under way holds a lock on the file: a second one
// fails at once instead of racing it for the temporary file.
TEST_F(OtherWriter, SaveUnderWay) {
    const int fd = open(store.path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    EXPECT_NE(store.save(), 0);
    EXPECT_EQ(store.bytes(), kConfig);
    EXPECT_EQ(store.files(), kJustTheFile);
    close(fd);
    EXPECT_EQ(store.save(), 0) << "once the lock is gone";
    EXPECT_NE(store.bytes().find("10.0.0.42"), std::string::npos);
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
    StoreFile late(kConfig);
    HeldSave first(held_in_flush("1500000"), late.path, "DVR_CFG.NET.GATEWAY", "10.0.0.1");
    // Until the slow one holds its temporary file, the quick one waits.
    ASSERT_TRUE(temporary_appears(late.dir.path()));
    const Outcome quick = run_program({SAVE_PROGRAM, late.path, "DVR_CFG.NET.PORT", "8080"});
    EXPECT_EQ(first.join(), "saved\n");
    EXPECT_EQ(quick.out, "save failed\n");
    EXPECT_EQ(late.bytes(), apply(kConfig, {{"DVR_CFG.NET.GATEWAY", "10.0.0.1"}}));
    EXPECT_EQ(late.files(), kJustTheFile);

    // Once the first has saved, the second's version is gone: a late save
    // fails too, and does not undo the first.
    const std::string first_saved = late.bytes();
    ASSERT_GT(late.reopen(), 0);
    EXPECT_EQ(run_program({SAVE_PROGRAM, late.path, "DVR_CFG.NET.PORT", "81"}).out, "saved\n");
    const std::string second_saved = late.bytes();
    EXPECT_EQ(late.write("DVR_CFG.NET.PORT", "8080"), 0);
    EXPECT_NE(late.save(), 0);
    EXPECT_EQ(late.bytes(), second_saved);
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
        HeldSave save(held_in_flush("1500000"), path, "DVR_CFG.NET.GATEWAY", "10.0.0.1");
        ASSERT_TRUE(temporary_appears(dir.path()));
        if (by_rename) {
            write_file(dir / "theirs", kTheirs);
            ASSERT_EQ(rename((dir / "theirs").c_str(), path.c_str()), 0);
        } else {
            rewrite_in_place(path);
        }
        EXPECT_EQ(save.join(), "save failed\n") << (by_rename ? "renamed" : "rewritten");
        EXPECT_EQ(read_file(path), kTheirs);
        EXPECT_EQ(list_dir(dir.path()), kJustTheFile);
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
        theirs_ = replaced(read_file(path_), "<HTTP>81<", "<HTTP>82<");
        const struct stat before = stat_of(path_);
        rewrite_in_place(path_, theirs_);
        const struct stat after = stat_of(path_);
        return after.st_ctim.tv_sec == before.st_ctim.tv_sec &&
               after.st_ctim.tv_nsec == before.st_ctim.tv_nsec &&
               after.st_mtim.tv_sec == before.st_mtim.tv_sec &&
               after.st_mtim.tv_nsec == before.st_mtim.tv_nsec && after.st_size == before.st_size;
    }

    // Runs one (which tells whether its rewrite fell within the second of the
    // last change) after start(), three times at most, until it does; the
    // other writer's bytes are then there, with nothing beside.
    void within_the_second(const std::function<bool()> &one) {
        for (int attempt = 0; attempt < 3; ++attempt) {
            start();
            if (!one()) continue;
            EXPECT_EQ(read_file(path_), theirs_);
            EXPECT_EQ(list_dir(dir_), kJustTheFile);
            return;
        }
        FAIL() << "the rewrite never fell within the second of the last change";
    }

    // Opens the file and writes a new gateway.
    int opened_and_written(const std::string &gateway) {
        const int handle = xml_file_open(path_.c_str());
        EXPECT_EQ(write_value(handle, gateway, "DVR_CFG.NET.GATEWAY"), 0);
        return handle;
    }

    // The save fails once the rewrite fell within the second.
    bool refused_within_the_second(int handle) {
        const bool same_second = rewrite_within_the_second();
        const int saved = xml_file_save(handle);
        xml_file_close(handle);
        EXPECT_TRUE(!same_second || saved != 0);
        return same_second;
    }

    WholeSecondFileSystem fs_;
    const std::string dir_ = fs_ / "config";
    const std::string path_ = dir_ + "/config.xml";
    std::string theirs_;
};

TEST_F(WholeSecondTimes, RewriteBetweenOpenAndSave) {
    within_the_second([&] { return refused_within_the_second(opened_and_written("10.0.0.42")); });
}

// The other writer comes while the save writes its temporary file (its
// fsync held back by strace): the bytes are read again after that, just
// before the rename.
TEST_F(WholeSecondTimes, RewriteWhileTheSaveIsUnderWay) {
    if (!strace_note().empty()) GTEST_SKIP() << strace_note();
    within_the_second([&] {
        HeldSave save(held_in_flush("700000"), path_, "DVR_CFG.NET.GATEWAY", "10.0.0.42");
        const bool same_second = temporary_appears(dir_) && rewrite_within_the_second();
        const std::string printed = save.join();
        EXPECT_TRUE(!same_second || printed == "save failed\n") << printed;
        return same_second;
    });
}

// After a first save of the handle the file holds what that save wrote,
// which is not kept in memory: a second save compares with its fingerprint.
TEST_F(WholeSecondTimes, RewriteAfterAnEarlierSaveOfTheHandle) {
    within_the_second([&] {
        const int handle = opened_and_written("10.0.0.42");
        EXPECT_EQ(xml_file_save(handle), 0);
        EXPECT_EQ(write_value(handle, "10.0.0.43", "DVR_CFG.NET.GATEWAY"), 0);
        const bool same_second = refused_within_the_second(handle);
        EXPECT_TRUE(!same_second || theirs_.find("10.0.0.42") != std::string::npos);
        return same_second;
    });
}

}  // namespace
