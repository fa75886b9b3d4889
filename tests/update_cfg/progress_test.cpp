// The progress record: which stores took the update, written as each one
// takes it, read back by the next run, and gone with the update file.
#include <sys/stat.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "tool_fixture.h"

using testing_support::exists;
using testing_support::list_dir;
using testing_support::read_file;
using testing_support::write_file;

namespace {

using Lines = std::vector<std::string>;

const std::string kRecord = "./mnt/mtd/app/update.cfg.progress";
const std::string kConfig = "./mnt/mtd/app/config.xml";
const std::string kDefault = "./mnt/mtd/app/config.xml.default";
const std::string kFactory = "./config/config.xml.default";
const std::string kUpdate = "a.b=c\n";
const std::string kPass = "value  = [c] len = 1\nSetValueToConfig value = c, len = 1\n";

// FNV-1a 64, written from its definition.
std::string fnv1a_hex(const std::string &bytes) {
    unsigned long long hash = 0xcbf29ce484222325ULL;
    for (unsigned char byte : bytes) hash = (hash ^ byte) * 0x100000001b3ULL;
    char hex[17];
    snprintf(hex, sizeof hex, "%016llx", hash);
    return hex;
}

// The stores a record names, after checking it line by line; {"<invalid>"}
// when it is not a whole record of this update.
Lines stores_in(const std::string &record, const std::string &update) {
    const std::string header = "update_cfg progress 1\nupdate " + std::to_string(update.size()) +
                               " " + fnv1a_hex(update) + "\n";
    const size_t check = record.rfind("check ");
    if (record.rfind(header, 0) != 0 || check == std::string::npos ||
        record.substr(check) != "check " + fnv1a_hex(record.substr(0, check)) + "\n")
        return {"<invalid>"};
    Lines stores;
    for (size_t at = header.size(); at < check;) {
        const size_t end = record.find('\n', at);
        stores.push_back(record.substr(at, end - at));
        at = end + 1;
    }
    return stores;
}

class Progress : public ToolTest {
  protected:
    // A first run whose second store fails to save: the first and third
    // took the update.
    void run_with_second_save_failing() {
        write_file(kUpdateFile, kUpdate);
        store().save_result[2] = -1;
        run_main();
        store().reset();
        ASSERT_EQ(stores_in(read_file(kRecord), kUpdate), (Lines{kConfig, kFactory}));
    }
};

TEST_F(Progress, EachStoreIsRecordedAsSoonAsItTookTheUpdate) {
    write_file(kUpdateFile, kUpdate);
    std::vector<Lines> seen;
    store().on_open = [&seen](const std::string &) {
        seen.push_back(exists(kRecord) ? stores_in(read_file(kRecord), kUpdate) : Lines{});
    };
    run_main();
    EXPECT_EQ(seen, (std::vector<Lines>{{}, {kConfig}, {kConfig, kDefault}}));
    EXPECT_FALSE(exists(kRecord));
    EXPECT_FALSE(exists(kRecord + ".tmp"));
    EXPECT_FALSE(exists(kUpdateFile));
}

TEST_F(Progress, TheNextRunAppliesTheUpdateOnlyToTheStoresThatDidNotTakeIt) {
    run_with_second_save_failing();
    EXPECT_EQ(run_main(),
              "main enter\n"
              "./mnt/mtd/app/config.xml has this update already, skipped\n" +
                  kPass + "./config/config.xml.default has this update already, skipped\n");
    EXPECT_EQ(store().calls, (Lines{"open " + kDefault + " -> 1", "write 1 [c] 2 DVR_CFG.a.b 0 0",
                                    "save 1", "close 1"}));
    EXPECT_FALSE(exists(kUpdateFile));
    EXPECT_FALSE(exists(kRecord));
}

TEST_F(Progress, AStoreThatFailsAgainKeepsTheRecordOfTheOthers) {
    run_with_second_save_failing();
    store().save_result[1] = -1;  // the second store's handle in this run
    const std::string out = run_main();
    EXPECT_EQ(out.substr(out.size() - 47), "keep ./mnt/mtd/app/update.cfg for the next run\n");
    EXPECT_EQ(stores_in(read_file(kRecord), kUpdate), (Lines{kConfig, kFactory}));
}

struct BadRecord {
    const char *name;
    std::function<void()> spoil;
};

void PrintTo(const BadRecord &c, std::ostream *os) {
    *os << c.name;
}

class RecordCountsAsEmpty : public Progress, public testing::WithParamInterface<BadRecord> {};

TEST_P(RecordCountsAsEmpty, AndEveryStoreTakesTheUpdate) {
    run_with_second_save_failing();
    GetParam().spoil();
    EXPECT_EQ(run_main(), "main enter\n" + kPass + kPass + kPass);
    EXPECT_EQ(store().writes.size(), 3u);
    EXPECT_FALSE(exists(kUpdateFile));
    EXPECT_FALSE(exists(kRecord));
}

void rewrite_record(const std::function<void(std::string &)> &change) {
    std::string record = read_file(kRecord);
    change(record);
    write_file(kRecord, record);
}

const BadRecord kBadRecords[] = {
    {"torn", [] { rewrite_record([](std::string &r) { r.pop_back(); }); }},
    {"cut_before_its_check",
     [] { rewrite_record([](std::string &r) { r.resize(r.rfind("check")); }); }},
    {"empty", [] { write_file(kRecord, ""); }},
    {"a_changed_byte",
     [] { rewrite_record([](std::string &r) { r[r.find("config.xml")] = 'C'; }); }},
    {"whole_but_of_other_content",
     [] {
         const std::string other = "a.b=d\n";
         const std::string text = "update_cfg progress 1\nupdate 6 " + fnv1a_hex(other) + "\n" +
                                  kConfig + "\n" + kFactory + "\n";
         write_file(kRecord, text + "check " + fnv1a_hex(text) + "\n");
         ASSERT_EQ(stores_in(read_file(kRecord), other), (Lines{kConfig, kFactory}));
     }},
};

INSTANTIATE_TEST_SUITE_P(Progress, RecordCountsAsEmpty, testing::ValuesIn(kBadRecords),
                         [](const testing::TestParamInfo<BadRecord> &info) {
                             return std::string(info.param.name);
                         });

TEST_F(Progress, ARecordOfOtherContentCountsAsEmpty) {
    run_with_second_save_failing();
    write_file(kUpdateFile, "a.b=d\n");  // a new update, same size
    run_main();
    EXPECT_EQ(store().writes.size(), 3u);
    EXPECT_FALSE(exists(kRecord));
}

TEST_F(Progress, ARecordWithoutItsUpdateFileIsRemoved) {
    run_with_second_save_failing();
    ASSERT_EQ(unlink(kUpdateFile), 0);
    EXPECT_EQ(run_main(), "main enter\n");
    EXPECT_FALSE(exists(kRecord));
    // The same update put there again is applied to every store.
    write_file(kUpdateFile, kUpdate);
    store().reset();
    run_main();
    EXPECT_EQ(store().writes.size(), 3u);
}

TEST_F(Progress, ARecordThatCannotBeWrittenIsReported) {
    write_file(kUpdateFile, kUpdate);
    ASSERT_EQ(mkdir((kRecord + ".tmp").c_str(), 0755), 0);
    store().save_result[3] = -1;
    const std::string failed = "write ./mnt/mtd/app/update.cfg.progress  failed!\n";
    EXPECT_EQ(run_main(), "main enter\n" + kPass + failed + kPass + failed + kPass +
                              "save ./config/config.xml.default  failed!\n" + failed +
                              "keep ./mnt/mtd/app/update.cfg for the next run\n");
    EXPECT_FALSE(exists(kRecord));
}

// A record that cannot be written whole (its folder's file system full) is
// never renamed over the one before it, and leaves no temporary file.
TEST_F(Progress, ARecordThatCannotBeWrittenWholeKeepsTheOneBefore) {
    std::string why;
    if (!testing_support::private_mounts(why)) GTEST_SKIP() << why;
    ASSERT_TRUE(testing_support::mount_tmpfs("mnt/mtd/app", "64k"));
    write_file(kUpdateFile, kUpdate);
    store().save_result = {{2, -1}, {3, -1}};
    run_main();
    const std::string before = read_file(kRecord);
    ASSERT_EQ(stores_in(before, kUpdate), Lines{kConfig});
    testing_support::fill_file_system("mnt/mtd/app/filler");
    store().reset();
    store().save_result[2] = -1;  // the factory store: the second one opened
    const std::string failed = "write ./mnt/mtd/app/update.cfg.progress  failed!\n";
    EXPECT_EQ(run_main(),
              "main enter\n./mnt/mtd/app/config.xml has this update already, skipped\n" + kPass +
                  failed + kPass + "save ./config/config.xml.default  failed!\n" + failed +
                  "keep ./mnt/mtd/app/update.cfg for the next run\n");
    EXPECT_EQ(read_file(kRecord), before);
    EXPECT_EQ(list_dir("mnt/mtd/app"), (Lines{"filler", "update.cfg", "update.cfg.progress"}));
}

}  // namespace
