// Opening only whole documents, and saves that leave either the old or the
// new file, with its mode, owner and links, and nothing else behind.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <string>

#include "process.h"
#include "store_case.h"

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

// Runs body as an ordinary user when the test runs as root, who reads and
// writes anything.
template <typename Body>
int as_user(Body body) {
    const bool as_root = geteuid() == 0;
    if (as_root && seteuid(65534) != 0) ADD_FAILURE() << "cannot become an ordinary user";
    const int result = body();
    if (as_root && seteuid(0) != 0) abort();  // every later test would run as that user
    return result;
}

// Documents that are not whole are among those that are not well-formed
// (NotWellFormed.IsRefusedAtOpen).
TEST(Open, RefusesWhatIsNotOneWholeDocument) {
    ScratchDir dir;
    EXPECT_EQ(xml_file_open((dir / "missing.xml").c_str()), 0) << "missing";
    EXPECT_EQ(xml_file_open(dir.path().c_str()), 0) << "a folder";
    const std::string fifo = dir / "fifo.xml";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(xml_file_open(fifo.c_str()), 0) << "a FIFO, without waiting for a writer";
}

TEST(Open, RefusesAnUnreadableFile) {
    ScratchDir dir;
    write_file(dir / "config.xml", kConfig);
    ASSERT_EQ(chmod((dir / "config.xml").c_str(), 0), 0);
    EXPECT_EQ(as_user([&] { return xml_file_open((dir / "config.xml").c_str()); }), 0);
}

TEST_XML(Save, ReplacesTheFileAndLeavesNoTemporaryFile, kConfig) {
    const ino_t before = store.status().st_ino;
    ASSERT_EQ(store.write("DVR_CFG.NET.IP", "5.6.7.8"), 0);
    EXPECT_EQ(store.save(), 0);
    EXPECT_EQ(store.bytes(), kUpdated);
    EXPECT_NE(store.status().st_ino, before) << "renamed over, not rewritten in place";
    EXPECT_EQ(store.files(), kJustTheFile);
}

// Flash wears with every write: a save that would not change the file's
// bytes, also the second save with nothing written since a first, leaves it
// as it is (the change time shows any rewrite).
TEST_XML(Save, WithoutChangeLeavesTheFileAlone, kConfig) {
    const auto expect_left_alone = [&](const struct stat &before, const char *what) {
        EXPECT_EQ(store.save(), 0) << what;
        EXPECT_TRUE(store.untouched_since(before)) << what;
    };
    expect_left_alone(store.status(), "no write at all");
    EXPECT_EQ(store.write("DVR_CFG.NET.IP", "1.2.3.4"), 0);
    expect_left_alone(store.status(), "an equal value");
    EXPECT_EQ(store.write("DVR_CFG.NET.IP", "9.9.9.9"), 0);
    EXPECT_EQ(store.write("DVR_CFG.NET.IP", "1.2.3.4"), 0);
    expect_left_alone(store.status(), "a change undone");
    EXPECT_EQ(store.bytes(), kConfig);
}

TEST_XML(Save, SavesAgainAfterFurtherWrites, kConfig) {
    ASSERT_EQ(store.write("DVR_CFG.NET.IP", "5.6.7.8"), 0);
    ASSERT_EQ(store.save(), 0);
    EXPECT_EQ(store.bytes(), kUpdated);
    ASSERT_EQ(store.write("DVR_CFG.NET.IP", "1.2.3.4"), 0);
    ASSERT_EQ(store.save(), 0);
    EXPECT_EQ(store.bytes(), kConfig);
}

TEST_XML(Save, ASecondSaveWithNothingWrittenSinceLeavesTheFileAlone, kConfig) {
    ASSERT_EQ(store.write("DVR_CFG.NET.IP", "5.6.7.8"), 0);
    ASSERT_EQ(store.save(), 0);
    const struct stat first = store.status();
    EXPECT_EQ(store.save(), 0);
    EXPECT_TRUE(store.untouched_since(first));
    EXPECT_EQ(store.bytes(), kUpdated);
}

// A save lets go of the indexes of crowded elements; later writes must find
// the same elements again, and the new element made before the save.
TEST_XML(Save, WritesAfterASaveFindCrowdedElementsAgain, crowded(40, 40)) {
    for (const auto &[entry, value] : Writes{{"DVR_CFG.S.K5", "1"}, {"DVR_CFG.S.NEW", "n"}})
        ASSERT_EQ(store.write(entry, value), 0);
    ASSERT_EQ(store.save(), 0);
    for (const auto &[entry, value] :
         Writes{{"DVR_CFG.S.K5", "2"}, {"DVR_CFG.S.K39", "3"}, {"DVR_CFG.S.NEW", "m"}})
        ASSERT_EQ(store.write(entry, value), 0);
    ASSERT_EQ(store.save(), 0);
    const std::string expected =
        replaced(replaced(crowded(40, 40), "<K5>5<", "<K5>2<"), "<K39>39<", "<K39>3<");
    EXPECT_EQ(store.bytes(), replaced(expected, "</S>", "<NEW>m</NEW></S>"));
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
    EXPECT_EQ(list_dir(dir / "real"), kJustTheFile);
    EXPECT_EQ(list_dir(dir / "app"), kJustTheFile);
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
    EXPECT_EQ(list_dir(dir.path()), kJustTheFile);
}

// A save that succeeds or fails as saved says, after which the file holds now
// and nothing is left beside it: a failed save keeps the file byte for byte.
void expect_saved(const StoreFile &store, bool saved, const std::string &now) {
    if (saved) {
        EXPECT_EQ(store.save(), 0);
    } else {
        EXPECT_NE(store.save(), 0);
    }
    EXPECT_EQ(store.bytes(), now);
    EXPECT_EQ(store.files(), kJustTheFile);
}

TEST_XML(Save, ReplacesATemporaryFileLeftByAnInterruptedSave, kConfig) {
    write_file(store.dir / ".config.xml.tmp", "<DVR_CFG><half");
    ASSERT_EQ(store.write("DVR_CFG.NET.IP", "5.6.7.8"), 0);
    expect_saved(store, true, kUpdated);
}

TEST_XML(Save, FileRewrittenByOthersSinceOpenIsNotOverwritten, kConfig) {
    ASSERT_EQ(store.write("DVR_CFG.NET.IP", "5.6.7.8"), 0);
    FILE *f = fopen(store.path.c_str(), "r+");  // in place, as an editor without rename would
    ASSERT_NE(f, nullptr);
    fputs("<DVR_CFG><NET><IP>theirs</IP></NET></DVR_CFG>\n", f);
    fclose(f);
    expect_saved(store, false, store.bytes());
}

TEST_XML(Save, FileGoneSinceOpenFails, kConfig) {
    ASSERT_EQ(store.write("DVR_CFG.NET.IP", "5.6.7.8"), 0);
    ASSERT_EQ(unlink(store.path.c_str()), 0);
    EXPECT_NE(store.save(), 0);
    EXPECT_TRUE(store.files().empty());
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
        StoreFile store(original);
        ASSERT_EQ(store.write("DVR_CFG.NET.IP", "5.6.7.8"), 0);
        struct rlimit tiny = old_limit;
        tiny.rlim_cur = 10;
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tiny), 0);
        expect_saved(store, false, original);
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
    ScratchDir dir;  // the store keeps the folder it opened in: remount it first
    write_file(dir / "config.xml", kConfig);
    ASSERT_TRUE(remount_read_only(dir.path()));
    EXPECT_NE(update_ip(dir / "config.xml"), 0);
    EXPECT_EQ(read_file(dir / "config.xml"), kConfig);
    EXPECT_EQ(list_dir(dir.path()), kJustTheFile);
}

TEST_XML(FailedSave, FolderWithoutWritePermission, kConfig) {
    ASSERT_EQ(chmod(store.path.c_str(), 0666), 0);
    ASSERT_EQ(chmod(store.dir.path().c_str(), 0555), 0);
    EXPECT_NE(as_user([&] { return update_ip(store.path); }), 0);
    EXPECT_EQ(store.bytes(), kConfig);
    EXPECT_EQ(store.files(), kJustTheFile);
}

TEST_XML(FailedSave, FileWithoutWritePermission, kConfig) {
    ASSERT_EQ(chmod(store.path.c_str(), 0444), 0);
    ASSERT_EQ(chmod(store.dir.path().c_str(), 0777), 0);
    EXPECT_NE(as_user([&] { return update_ip(store.path); }), 0);
    if (geteuid() == 0) {
        EXPECT_EQ(update_ip(store.path), 0) << "root may write it";
        EXPECT_EQ(store.status().st_mode & 07777, 0444u);
    }
}

TEST(Stores, SeveralOpenAtOnceKeepTheirOwnContent) {
    StoreFile a(kConfig), b("<DVR_CFG><NET><IP>b</IP></NET></DVR_CFG>");
    const int a2 = xml_file_open(a.path.c_str());
    ASSERT_GT(a.handle, 0);
    ASSERT_GT(b.handle, 0);
    ASSERT_GT(a2, 0);
    EXPECT_NE(a.handle, b.handle);
    EXPECT_NE(a.handle, a2);
    EXPECT_EQ(b.write("DVR_CFG.NET.IP", "bb"), 0);
    EXPECT_EQ(a.write("DVR_CFG.NET.IP", "5.6.7.8"), 0);
    EXPECT_EQ(xml_file_close(a2), 0);
    EXPECT_EQ(a.save(), 0);
    EXPECT_EQ(b.save(), 0);
    EXPECT_EQ(a.bytes(), kUpdated);
    EXPECT_EQ(b.bytes(), "<DVR_CFG><NET><IP>bb</IP></NET></DVR_CFG>");
    EXPECT_EQ(a.close(), 0);
    EXPECT_EQ(b.close(), 0);
}

}  // namespace
