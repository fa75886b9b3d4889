// Opening only whole documents, and saves that leave either the old or the
// new file, with its mode, owner and links, and nothing else behind.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <string>

#include "process.h"
#include "store_helpers.h"

using namespace testing_support;

namespace {

const std::string kConfig = "<DVR_CFG>\n  <NET>\n    <IP>1.2.3.4</IP>\n  </NET>\n</DVR_CFG>\n";
const std::string kUpdated = "<DVR_CFG>\n  <NET>\n    <IP>5.6.7.8</IP>\n  </NET>\n</DVR_CFG>\n";

// Opens path, writes a new IP and saves; returns the save's result.
int update_ip(const std::string &path) {
    const int handle = xml_file_open(path.c_str());
    if (handle <= 0) return -100;
    if (write_value(handle, "5.6.7.8", "DVR_CFG.NET.IP") != 0) return -101;
    const int saved = xml_file_save(handle);
    xml_file_close(handle);
    return saved;
}

struct stat stat_of(const std::string &path) {
    struct stat st {};
    lstat(path.c_str(), &st);
    return st;
}

TEST(Open, RefusesWhatIsNotOneWholeDocument) {
    ScratchDir dir;
    const std::pair<const char *, std::string> cases[] = {
        {"empty", ""},
        {"blanks only", "  \n"},
        {"truncated mid-element", "<DVR_CFG>\n  <NET>\n    <IP>1.2"},
        {"truncated after a start tag", "<DVR_CFG>\n  <NET>\n"},
        {"not XML", "NET.IP=1.2.3.4\n"},
        {"comment only", "<!-- no root -->\n"},
        {"two roots", "<DVR_CFG/><DVR_CFG/>"},
        {"text after the root", "<DVR_CFG/>\ntrailing"},
        {"text before the root", "junk<DVR_CFG/>"},
        {"mismatched tags", "<DVR_CFG><A></B></DVR_CFG>"},
        {"unquoted attribute", "<DVR_CFG a=1/>"},
        {"NUL byte after the root", std::string("<DVR_CFG/>\0", 11)},
    };
    for (const auto &[what, content] : cases) {
        const std::string path = dir / "config.xml";
        write_file(path, content);
        EXPECT_EQ(xml_file_open(path.c_str()), 0) << what;
    }
    EXPECT_EQ(xml_file_open((dir / "missing.xml").c_str()), 0) << "missing";
    EXPECT_EQ(xml_file_open(dir.path().c_str()), 0) << "a folder";
    const std::string fifo = dir / "fifo.xml";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(xml_file_open(fifo.c_str()), 0) << "a FIFO, without waiting for a writer";
}

TEST(Open, RefusesAnUnreadableFile) {
    ScratchDir dir;
    const std::string path = dir / "config.xml";
    write_file(path, kConfig);
    ASSERT_EQ(chmod(path.c_str(), 0), 0);
    // Root reads anything; look at the file as an ordinary user would.
    const bool as_root = geteuid() == 0;
    if (as_root) {
        ASSERT_EQ(seteuid(65534), 0);
    }
    const int handle = xml_file_open(path.c_str());
    if (as_root) {
        ASSERT_EQ(seteuid(0), 0);
    }
    EXPECT_EQ(handle, 0);
}

TEST(Save, ReplacesTheFileAndLeavesNoTemporaryFile) {
    ScratchDir dir;
    const std::string path = dir / "config.xml";
    write_file(path, kConfig);
    const ino_t before = stat_of(path).st_ino;
    EXPECT_EQ(update_ip(path), 0);
    EXPECT_EQ(read_file(path), kUpdated);
    EXPECT_NE(stat_of(path).st_ino, before) << "renamed over, not rewritten in place";
    EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"config.xml"});
}

TEST(Save, WithoutChangeLeavesTheFileAlone) {
    ScratchDir dir;
    const std::string path = dir / "config.xml";
    write_file(path, kConfig);
    const struct stat before = stat_of(path);
    const int handle = xml_file_open(path.c_str());
    ASSERT_GT(handle, 0);
    EXPECT_EQ(xml_file_save(handle), 0) << "no write at all";
    EXPECT_EQ(write_value(handle, "1.2.3.4", "DVR_CFG.NET.IP"), 0);
    EXPECT_EQ(xml_file_save(handle), 0) << "an equal value";
    EXPECT_EQ(write_value(handle, "9.9.9.9", "DVR_CFG.NET.IP"), 0);
    EXPECT_EQ(write_value(handle, "1.2.3.4", "DVR_CFG.NET.IP"), 0);
    EXPECT_EQ(xml_file_save(handle), 0) << "a change undone";
    xml_file_close(handle);
    const struct stat after = stat_of(path);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
}

TEST(Save, SavesAgainAfterFurtherWrites) {
    ScratchDir dir;
    const std::string path = dir / "config.xml";
    write_file(path, kConfig);
    const int handle = xml_file_open(path.c_str());
    ASSERT_EQ(write_value(handle, "5.6.7.8", "DVR_CFG.NET.IP"), 0);
    ASSERT_EQ(xml_file_save(handle), 0);
    EXPECT_EQ(read_file(path), kUpdated);
    ASSERT_EQ(write_value(handle, "1.2.3.4", "DVR_CFG.NET.IP"), 0);
    ASSERT_EQ(xml_file_save(handle), 0);
    EXPECT_EQ(read_file(path), kConfig);
    xml_file_close(handle);
}

// Flash wears with every write: a save with nothing written since the last
// one leaves the file as that one wrote it.
TEST(Save, ASecondSaveWithNothingWrittenSinceLeavesTheFileAlone) {
    ScratchDir dir;
    const std::string path = dir / "config.xml";
    write_file(path, kConfig);
    const int handle = xml_file_open(path.c_str());
    ASSERT_EQ(write_value(handle, "5.6.7.8", "DVR_CFG.NET.IP"), 0);
    ASSERT_EQ(xml_file_save(handle), 0);
    const struct stat first = stat_of(path);
    EXPECT_EQ(xml_file_save(handle), 0);
    xml_file_close(handle);
    const struct stat second = stat_of(path);
    EXPECT_EQ(second.st_ino, first.st_ino);
    EXPECT_EQ(second.st_ctim.tv_sec, first.st_ctim.tv_sec);
    EXPECT_EQ(second.st_ctim.tv_nsec, first.st_ctim.tv_nsec);
    EXPECT_EQ(read_file(path), kUpdated);
}

// A save lets go of the indexes of crowded elements; later writes must find
// the same elements again, and the new element made before the save.
TEST(Save, WritesAfterASaveFindCrowdedElementsAgain) {
    std::string doc = "<DVR_CFG><S>";
    for (int i = 0; i < 40; ++i)
        doc += "<K" + std::to_string(i) + ">0</K" + std::to_string(i) + ">";
    doc += "</S></DVR_CFG>";
    ScratchDir dir;
    const std::string path = dir / "config.xml";
    write_file(path, doc);
    const int handle = xml_file_open(path.c_str());
    ASSERT_EQ(write_value(handle, "1", "DVR_CFG.S.K5"), 0);
    ASSERT_EQ(write_value(handle, "n", "DVR_CFG.S.NEW"), 0);
    ASSERT_EQ(xml_file_save(handle), 0);
    ASSERT_EQ(write_value(handle, "2", "DVR_CFG.S.K5"), 0);
    ASSERT_EQ(write_value(handle, "3", "DVR_CFG.S.K39"), 0);
    ASSERT_EQ(write_value(handle, "m", "DVR_CFG.S.NEW"), 0);
    ASSERT_EQ(xml_file_save(handle), 0);
    xml_file_close(handle);

    std::string expected = doc;
    expected.replace(expected.find("<K5>0<"), 6, "<K5>2<");
    expected.replace(expected.find("<K39>0<"), 7, "<K39>3<");
    expected.insert(expected.find("</S>"), "<NEW>m</NEW>");
    EXPECT_EQ(read_file(path), expected);
}

TEST(Save, KeepsModeAndOwner) {
    ScratchDir dir;
    const std::string path = dir / "config.xml";
    write_file(path, kConfig);
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    const bool as_root = geteuid() == 0;
    if (as_root) {
        ASSERT_EQ(chown(path.c_str(), 1234, 5678), 0);
    }
    ASSERT_EQ(update_ip(path), 0);
    const struct stat st = stat_of(path);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    if (as_root) {
        EXPECT_EQ(st.st_uid, 1234u);
        EXPECT_EQ(st.st_gid, 5678u);
    }
}

TEST(Save, ASymbolicLinkStaysALinkAndItsTargetGetsTheContent) {
    ScratchDir dir;
    ASSERT_EQ(mkdir((dir / "real").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir / "app").c_str(), 0755), 0);
    write_file(dir / "real/config.xml", kConfig);
    ASSERT_EQ(symlink("../real/config.xml", (dir / "app/config.xml").c_str()), 0);
    ASSERT_EQ(update_ip(dir / "app/config.xml"), 0);
    EXPECT_TRUE(S_ISLNK(stat_of(dir / "app/config.xml").st_mode));
    EXPECT_EQ(read_file(dir / "real/config.xml"), kUpdated);
    EXPECT_EQ(list_dir(dir / "real"), std::vector<std::string>{"config.xml"});
    EXPECT_EQ(list_dir(dir / "app"), std::vector<std::string>{"config.xml"});
}

// A file directly under "/": its folder is "/" itself.  The child process
// that saves it sees a scratch folder as its root.
TEST(Save, AFileDirectlyUnderTheRootFolder) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to change the root folder";
    if (!emulation_note().empty()) GTEST_SKIP() << emulation_note();
    ScratchDir dir;
    write_file(dir / "config.xml", kConfig);
    EXPECT_EQ(in_child([&] {
                  if (chroot(dir.path().c_str()) != 0 || chdir("/") != 0) return 100;
                  return update_ip("/config.xml");
              }),
              0);
    EXPECT_EQ(read_file(dir / "config.xml"), kUpdated);
    EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"config.xml"});
}

TEST(Save, ReplacesATemporaryFileLeftByAnInterruptedSave) {
    ScratchDir dir;
    const std::string path = dir / "config.xml";
    write_file(path, kConfig);
    write_file(dir / ".config.xml.tmp", "<DVR_CFG><half");
    ASSERT_EQ(update_ip(path), 0);
    EXPECT_EQ(read_file(path), kUpdated);
    EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"config.xml"});
}

TEST(Save, FileRewrittenByOthersSinceOpenIsNotOverwritten) {
    ScratchDir dir;
    const std::string path = dir / "config.xml";
    write_file(path, kConfig);
    const int handle = xml_file_open(path.c_str());
    ASSERT_EQ(write_value(handle, "5.6.7.8", "DVR_CFG.NET.IP"), 0);
    {
        FILE *f = fopen(path.c_str(), "r+");  // in place, as an editor without rename would
        ASSERT_NE(f, nullptr);
        fputs("<DVR_CFG><NET><IP>theirs</IP></NET></DVR_CFG>\n", f);
        fclose(f);
    }
    const std::string theirs = read_file(path);
    EXPECT_NE(xml_file_save(handle), 0);
    xml_file_close(handle);
    EXPECT_EQ(read_file(path), theirs);
    EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"config.xml"});
}

TEST(Save, FileGoneSinceOpenFails) {
    ScratchDir dir;
    const std::string path = dir / "config.xml";
    write_file(path, kConfig);
    const int handle = xml_file_open(path.c_str());
    ASSERT_EQ(write_value(handle, "5.6.7.8", "DVR_CFG.NET.IP"), 0);
    ASSERT_EQ(unlink(path.c_str()), 0);
    EXPECT_NE(xml_file_save(handle), 0);
    xml_file_close(handle);
    EXPECT_TRUE(list_dir(dir.path()).empty());
}

// A save that fails keeps the original byte for byte and leaves nothing
// behind.
void expect_failed_save_left_original(const ScratchDir &dir, const std::string &path,
                                      const std::string &original = kConfig) {
    EXPECT_NE(update_ip(path), 0);
    EXPECT_EQ(read_file(path), original);
    EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"config.xml"});
}

// Past stdio's buffer, a failed write shows only in the stream's error flag:
// the flush after it has nothing left to write and succeeds.
const std::string kLarge = "<DVR_CFG>\n  <NET>\n    <IP>1.2.3.4</IP>\n  </NET>\n  <!-- " +
                           std::string(16384, 'x') + " -->\n</DVR_CFG>\n";

TEST(FailedSave, FileSizeLimitRefusesTheWrite) {
    struct rlimit old_limit;
    getrlimit(RLIMIT_FSIZE, &old_limit);
    const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    for (const std::string &original : {kConfig, kLarge}) {
        ScratchDir dir;
        const std::string path = dir / "config.xml";
        write_file(path, original);
        struct rlimit tiny = old_limit;
        tiny.rlim_cur = 10;
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tiny), 0);
        expect_failed_save_left_original(dir, path, original);
        setrlimit(RLIMIT_FSIZE, &old_limit);
    }
    std::signal(SIGXFSZ, old_handler);
}

TEST(FailedSave, FullDisk) {
    std::string why;
    if (!private_mounts(why)) GTEST_SKIP() << why;
    for (const std::string &original : {kConfig, kLarge}) {
        ScratchDir dir;
        ASSERT_TRUE(mount_tmpfs(dir.path(), "64k"));
        const std::string path = dir / "config.xml";
        write_file(path, original);
        fill_file_system(dir / "filler");
        EXPECT_NE(update_ip(path), 0);
        EXPECT_EQ(read_file(path), original);
        EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"config.xml", "filler"}));
    }
}

TEST(FailedSave, ReadOnlyFolder) {
    std::string why;
    if (!private_mounts(why)) GTEST_SKIP() << why;
    ScratchDir dir;
    const std::string path = dir / "config.xml";
    write_file(path, kConfig);
    ASSERT_TRUE(remount_read_only(dir.path()));
    expect_failed_save_left_original(dir, path);
}

TEST(FailedSave, FolderWithoutWritePermission) {
    ScratchDir dir;
    const std::string path = dir / "config.xml";
    write_file(path, kConfig);
    ASSERT_EQ(chmod(path.c_str(), 0666), 0);
    ASSERT_EQ(chmod(dir.path().c_str(), 0555), 0);
    // Root writes anywhere; try as an ordinary user.
    const bool as_root = geteuid() == 0;
    if (as_root) {
        ASSERT_EQ(seteuid(65534), 0);
    }
    const int saved = update_ip(path);
    if (as_root) {
        ASSERT_EQ(seteuid(0), 0);
    }
    EXPECT_NE(saved, 0);
    EXPECT_EQ(read_file(path), kConfig);
    EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"config.xml"});
}

TEST(FailedSave, FileWithoutWritePermission) {
    ScratchDir dir;
    const std::string path = dir / "config.xml";
    write_file(path, kConfig);
    ASSERT_EQ(chmod(path.c_str(), 0444), 0);
    ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
    if (geteuid() == 0) {
        ASSERT_EQ(seteuid(65534), 0);
    }
    const int saved = update_ip(path);
    if (geteuid() != getuid()) {
        ASSERT_EQ(seteuid(0), 0);
        EXPECT_EQ(update_ip(path), 0) << "root may write it";
        EXPECT_EQ(stat_of(path).st_mode & 07777, 0444u);
    }
    EXPECT_NE(saved, 0);
}

TEST(Stores, SeveralOpenAtOnceKeepTheirOwnContent) {
    ScratchDir dir;
    const std::string a = dir / "a.xml", b = dir / "b.xml";
    write_file(a, kConfig);
    write_file(b, "<DVR_CFG><NET><IP>b</IP></NET></DVR_CFG>");
    const int ha = xml_file_open(a.c_str());
    const int hb = xml_file_open(b.c_str());
    const int ha2 = xml_file_open(a.c_str());
    ASSERT_GT(ha, 0);
    ASSERT_GT(hb, 0);
    ASSERT_GT(ha2, 0);
    EXPECT_NE(ha, hb);
    EXPECT_NE(ha, ha2);
    EXPECT_EQ(write_value(hb, "bb", "DVR_CFG.NET.IP"), 0);
    EXPECT_EQ(write_value(ha, "5.6.7.8", "DVR_CFG.NET.IP"), 0);
    EXPECT_EQ(xml_file_close(ha2), 0);
    EXPECT_EQ(xml_file_save(ha), 0);
    EXPECT_EQ(xml_file_save(hb), 0);
    EXPECT_EQ(read_file(a), kUpdated);
    EXPECT_EQ(read_file(b), "<DVR_CFG><NET><IP>bb</IP></NET></DVR_CFG>");
    EXPECT_EQ(xml_file_close(ha), 0);
    EXPECT_EQ(xml_file_close(hb), 0);
}

}  // namespace
