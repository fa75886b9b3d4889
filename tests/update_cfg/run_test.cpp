// The whole run: three passes in order, what each calls on its store, and
// when the update file is consumed.
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tool_fixture.h"

using testing_support::exists;
using testing_support::write_file;

namespace {

using Calls = std::vector<std::string>;

const std::string kConfig = "./mnt/mtd/app/config.xml";
const std::string kDefault = "./mnt/mtd/app/config.xml.default";
const std::string kFactory = "./config/config.xml.default";

class Run : public ToolTest {};

TEST_F(Run, ThreePassesInTargetOrderEachFromTheFirstLine) {
    write_file(kUpdateFile, "NET.IP=1.2.3.4\r\n# comment\nNET.PORT.HTTP=80\n");
    const std::string out = run_main();
    const std::string pass =
        "value  = [1.2.3.4] len = 7\nSetValueToConfig value = 1.2.3.4, len = 7\n"
        "value  = [80] len = 2\nSetValueToConfig value = 80, len = 2\n";
    EXPECT_EQ(out, "main enter\n" + pass + pass + pass);
    EXPECT_EQ(store().calls,
              (Calls{"open " + kConfig + " -> 1", "write 1 [1.2.3.4] 8 DVR_CFG.NET.IP 0 0",
                     "write 1 [80] 3 DVR_CFG.NET.PORT.HTTP 0 0", "save 1", "close 1",
                     "open " + kDefault + " -> 2", "write 2 [1.2.3.4] 8 DVR_CFG.NET.IP 0 0",
                     "write 2 [80] 3 DVR_CFG.NET.PORT.HTTP 0 0", "save 2", "close 2",
                     "open " + kFactory + " -> 3", "write 3 [1.2.3.4] 8 DVR_CFG.NET.IP 0 0",
                     "write 3 [80] 3 DVR_CFG.NET.PORT.HTTP 0 0", "save 3", "close 3"}));
    EXPECT_FALSE(exists(kUpdateFile));
}

TEST_F(Run, NoUpdateFileOpensNothing) {
    EXPECT_EQ(run_main(), "main enter\n");
    EXPECT_TRUE(store().calls.empty());
}

TEST_F(Run, AnUnreadableUpdateFileIsKept) {
    write_file(kUpdateFile, "a.b=c\n");
    ASSERT_EQ(chmod(kUpdateFile, 0), 0);
    // Root reads anything; run as an ordinary user who may delete but not read.
    ASSERT_EQ(system("chmod 755 . mnt mnt/mtd && chmod 777 mnt/mtd/app"), 0);
    const bool as_root = geteuid() == 0;
    if (as_root) {
        ASSERT_EQ(seteuid(65534), 0);
    }
    const std::string out = run_main();
    if (as_root) {
        ASSERT_EQ(seteuid(0), 0);
    }
    EXPECT_EQ(out,
              "main enter\nopen ./mnt/mtd/app/update.cfg  failed!\n"
              "keep ./mnt/mtd/app/update.cfg for the next run\n");
    EXPECT_TRUE(store().calls.empty());
    EXPECT_TRUE(exists(kUpdateFile));
}

TEST_F(Run, AnUpdateFileWithoutEntriesStillSavesEveryStore) {
    write_file(kUpdateFile, "# nothing yet\n");
    EXPECT_EQ(run_main(), "main enter\n");
    EXPECT_EQ(store().calls,
              (Calls{"open " + kConfig + " -> 1", "save 1", "close 1", "open " + kDefault + " -> 2",
                     "save 2", "close 2", "open " + kFactory + " -> 3", "save 3", "close 3"}));
    EXPECT_FALSE(exists(kUpdateFile));
}

TEST_F(Run, AStoreThatDoesNotOpenIsSkippedAndTheOthersAreUpdated) {
    write_file(kUpdateFile, "a.b=c\n");
    store().handle_for[kFactory] = 0;
    EXPECT_EQ(run_main(),
              "main enter\n"
              "value  = [c] len = 1\nSetValueToConfig value = c, len = 1\n"
              "value  = [c] len = 1\nSetValueToConfig value = c, len = 1\n"
              "open ./config/config.xml.default  failed!\n");
    EXPECT_EQ(store().calls.back(), "open " + kFactory + " -> 0");
    EXPECT_FALSE(exists(kUpdateFile));
}

TEST_F(Run, AStoreThatIsThereButDoesNotOpenKeepsTheUpdateFile) {
    write_file(kUpdateFile, "a.b=c\n");
    write_file(kFactory, "<DVR_CFG/>");
    store().handle_for[kFactory] = 0;
    EXPECT_EQ(run_main(),
              "main enter\n"
              "value  = [c] len = 1\nSetValueToConfig value = c, len = 1\n"
              "value  = [c] len = 1\nSetValueToConfig value = c, len = 1\n"
              "open ./config/config.xml.default  failed!\n"
              "keep ./mnt/mtd/app/update.cfg for the next run\n");
    EXPECT_TRUE(exists(kUpdateFile));
}

TEST_F(Run, ANegativeHandleCountsAsAFailedOpen) {
    write_file(kUpdateFile, "a.b=c\n");
    store().handle_for[kConfig] = -1;
    const std::string out = run_main();
    EXPECT_EQ(out.rfind("main enter\nopen ./mnt/mtd/app/config.xml  failed!\n", 0), 0u) << out;
    EXPECT_EQ(store().calls.front(), "open " + kConfig + " -> -1");
    for (const std::string &call : store().calls)
        EXPECT_EQ(call.find(" -1 "), std::string::npos) << "used the bad handle: " << call;
    EXPECT_NE(store().calls[1].find("open " + kDefault), std::string::npos);
}

TEST_F(Run, RefusedWritesAreReportedAndTheStoreIsStillSaved) {
    write_file(kUpdateFile, "a.b=c\nd.e=f\n");
    store().write_result = 7;
    const std::string pass =
        "value  = [c] len = 1\nSetValueToConfig value = c, len = 1\n"
        "write config value failed , entry = DVR_CFG.a.b\n"
        "value  = [f] len = 1\nSetValueToConfig value = f, len = 1\n"
        "write config value failed , entry = DVR_CFG.d.e\n";
    EXPECT_EQ(run_main(), "main enter\n" + pass + pass + pass);
    EXPECT_EQ(store().calls.size(), 15u);
    EXPECT_EQ(store().calls[3], "save 1");
    EXPECT_FALSE(exists(kUpdateFile));
}

TEST_F(Run, AFailedSaveIsReportedAndTheUpdateFileKept) {
    write_file(kUpdateFile, "a.b=c\n");
    store().save_result[2] = -1;
    const std::string pass = "value  = [c] len = 1\nSetValueToConfig value = c, len = 1\n";
    EXPECT_EQ(run_main(), "main enter\n" + pass + pass +
                              "save ./mnt/mtd/app/config.xml.default  failed!\n" + pass +
                              "keep ./mnt/mtd/app/update.cfg for the next run\n");
    EXPECT_EQ(store().calls.size(), 12u) << "every pass still ran";
    EXPECT_TRUE(exists(kUpdateFile));
}

TEST_F(Run, NoStoreOpenedKeepsTheUpdateFile) {
    write_file(kUpdateFile, "a.b=c\n");
    store().handle_for = {{kConfig, 0}, {kDefault, 0}, {kFactory, 0}};
    EXPECT_EQ(run_main(),
              "main enter\n"
              "open ./mnt/mtd/app/config.xml  failed!\n"
              "open ./mnt/mtd/app/config.xml.default  failed!\n"
              "open ./config/config.xml.default  failed!\n"
              "keep ./mnt/mtd/app/update.cfg for the next run\n");
    EXPECT_TRUE(exists(kUpdateFile));
}

// The passes read one open file: one put in its place meanwhile changes no
// pass and stays for the next run.
TEST_F(Run, AnUpdateFileReplacedDuringTheRunIsTheNextRunsFile) {
    write_file(kUpdateFile, "a.b=c\n");
    store().on_open = [](const std::string &path) {
        if (path != kDefault) return;
        write_file("./next.cfg", "x.y=z\n");
        ASSERT_EQ(rename("./next.cfg", kUpdateFile), 0);
    };
    const std::string pass = "value  = [c] len = 1\nSetValueToConfig value = c, len = 1\n";
    EXPECT_EQ(run_main(), "main enter\n" + pass + pass + pass +
                              "./mnt/mtd/app/update.cfg changed during the run\n"
                              "keep ./mnt/mtd/app/update.cfg for the next run\n");
    EXPECT_EQ(store().writes.size(), 3u);
    for (const RecordingStore::Write &write : store().writes) EXPECT_EQ(write.entry, "DVR_CFG.a.b");
    EXPECT_EQ(testing_support::read_file(kUpdateFile), "x.y=z\n");
}

// What a pass read after an in-place change is neither the first pass's
// update nor whole: that store is closed unsaved.
TEST_F(Run, AnUpdateFileChangedInPlaceFailsThePassesAfter) {
    write_file(kUpdateFile, "a.b=c\n");
    store().on_open = [](const std::string &path) {
        if (path == kDefault) write_file(kUpdateFile, "a.b=c\nd.e=f\n");
    };
    const std::string pass = "value  = [c] len = 1\nSetValueToConfig value = c, len = 1\n";
    const std::string longer = pass + "value  = [f] len = 1\nSetValueToConfig value = f, len = 1\n";
    EXPECT_EQ(run_main(), "main enter\n" + pass + longer +
                              "./mnt/mtd/app/update.cfg changed during the run\n" + longer +
                              "./mnt/mtd/app/update.cfg changed during the run\n"
                              "keep ./mnt/mtd/app/update.cfg for the next run\n");
    EXPECT_EQ(std::count(store().calls.begin(), store().calls.end(), "save 1"), 1);
    EXPECT_EQ(std::count(store().calls.begin(), store().calls.end(), "save 2"), 0);
    EXPECT_EQ(std::count(store().calls.begin(), store().calls.end(), "save 3"), 0);
    EXPECT_EQ(store().calls.back(), "close 3");
}

TEST_F(Run, TheWriterRefusesWithoutAStore) {
    update_cfg tool;
    char value[] = "v";
    testing::internal::CaptureStdout();
    EXPECT_EQ(tool.SetValueToConfig("s", "k", value), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "m_fd <= 0!!!!!!\n");
    EXPECT_TRUE(store().calls.empty());
}

TEST_F(Run, EntryPathIsCutTo255Characters) {
    update_cfg tool;
    store().handle_for[kTarget] = 1;
    write_file(kUpdateFile, "");
    testing::internal::CaptureStdout();
    tool.open_update_file();
    tool.update(kTarget);  // leaves the handle of the pass in the object
    const std::string section(200, 's'), key(200, 'k');
    char value[] = "v";
    EXPECT_EQ(tool.SetValueToConfig(section.c_str(), key.c_str(), value), 1);
    testing::internal::GetCapturedStdout();
    const std::string expected = ("DVR_CFG." + section + "." + key).substr(0, 255);
    EXPECT_EQ(store().calls.back(), "write 1 [v] 2 " + expected + " 0 0");
}

}  // namespace
