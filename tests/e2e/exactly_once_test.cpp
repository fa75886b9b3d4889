// The update reaches every store exactly once: each way a run can be cut
// short, with the real store, and what the next run does after a setting
// was changed on the device in between.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "device_tree.h"
#include "process.h"
#include "scratch.h"
#include "strace_log.h"

using namespace testing_support;

namespace {

const std::string kEveryStore = "main enter\n" + kIpLines + kIpLines + kIpLines;

std::string skipped(size_t which) {
    return "./" + kConfigs[which] + " has this update already, skipped\n";
}

// What a configuration holds: as shipped, with the update, or with a
// setting changed on the device after the update.
enum State { kOld, kNew, kChanged };
using States = std::vector<State>;
const States kAllOld = {kOld, kOld, kOld}, kAllNew = {kNew, kNew, kNew};

std::string content(const std::string &config, State state) {
    if (state == kOld) return sample(config);
    return replaced(sample(config), kShippedIp, state == kNew ? kUpdatedIp : kChangedIp);
}

// The device's own change of a setting, after the update reached it.
void change_on_device(const ScratchDir &dir, size_t which) {
    write_file(dir / kConfigs[which], content(kConfigs[which], kChanged));
}

std::string mounts() {
    std::string why;
    return private_mounts(why) ? "" : why;
}

// strace making one call of the tool's fail, counted among the calls on path.
std::string failing(const std::string &call, const std::string &path, int nth) {
    std::vector<std::string> options = inject(call, "error=EIO", nth);
    options.insert(options.begin(), {"-o", "/dev/null", "-P", "./" + path});
    std::string line;
    for (const std::string &arg : under_strace(options, {})) line += arg + " ";
    return line + "TOOL";
}

struct Case {
    const char *name;
    // Lays the update file and whatever else; "" or why it cannot run here.
    std::function<std::string(const ScratchDir &)> arrange;
    std::string command;  // a shell command; TOOL is the tool
    std::string out;
    States after;
    bool kept;  // the update file and its record stay
    // Between the runs: a setting changed on the device, the fault gone.  No
    // second run without it.
    std::function<void(const ScratchDir &)> between = nullptr;
    std::string second_out = "";
    States after_second = {};
    bool kept_after_second = false;
};

void PrintTo(const Case &c, std::ostream *os) {
    *os << c.name;
}

std::string lay(const ScratchDir &dir, const std::string &update) {
    write_file(dir / kUpdate, update);
    return "";
}

const Case kCases[] = {
    // 1: a save that keeps failing; the stores that took the update are not
    // set back over a later change.
    {"factory_folder_read_only",
     [](auto &d) -> std::string {
         if (!mounts().empty()) return mounts();
         lay(d, kSetIp);
         return remount_read_only(d / "config") ? "" : "cannot remount";
     },
     "TOOL",
     kEveryStore + "save ./config/config.xml.default  failed!\n" + kKeep,
     {kNew, kNew, kOld},
     true,
     [](auto &d) {
         change_on_device(d, 0);
         ASSERT_EQ(umount((d / "config").c_str()), 0);
     },
     "main enter\n" + skipped(0) + skipped(1) + kIpLines,
     {kChanged, kNew, kNew}},
    // 1: the update file cannot be deleted (a mount point, like an immutable
    // file): said, and the next run applies it to no store again.
    {"update_file_not_deletable",
     [](auto &d) -> std::string {
         if (!mounts().empty()) return mounts();
         lay(d, kSetIp);
         const std::string path = d / kUpdate;
         return mount(path.c_str(), path.c_str(), nullptr, MS_BIND, nullptr) == 0 ? "" : "no bind";
     },
     "TOOL",
     kEveryStore + "delete ./mnt/mtd/app/update.cfg  failed!\n" + kKeep,
     kAllNew,
     true,
     [](auto &d) { change_on_device(d, 0); },
     "main enter\n" + skipped(0) + skipped(1) + skipped(2) +
         "delete ./mnt/mtd/app/update.cfg  failed!\n" + kKeep,
     {kChanged, kNew, kNew},
     true},
    // 2: a read error after the first 4 KiB aborts that pass only.
    {"read_error_after_4_kib",
     [](auto &d) -> std::string {
         if (!strace_note().empty()) return strace_note();
         std::string comments;
         for (int i = 0; i < 100; ++i) comments += std::string(49, '#') + "\n";
         return lay(d, comments + kSetIp);
     },
     // Reads of the update file: three for its digest, then the first pass's.
     failing("read", kUpdate, 5),
     "main enter\nread ./mnt/mtd/app/update.cfg  failed!\n" + kIpLines + kIpLines + kKeep,
     {kOld, kNew, kNew},
     true,
     [](auto &d) { change_on_device(d, 2); },
     "main enter\n" + kIpLines + skipped(1) + skipped(2),
     {kNew, kNew, kChanged}},
    // 3: an update file that is there but does not open stays.
    {"update_file_open_fails",
     [](auto &d) -> std::string {
         if (!strace_note().empty()) return strace_note();
         return lay(d, kSetIp);
     },
     failing("openat", kUpdate, 1), "main enter\nopen ./mnt/mtd/app/update.cfg  failed!\n" + kKeep,
     kAllOld, true, [](auto &) {}, kEveryStore, kAllNew},
    {"update_file_not_readable_by_the_user",
     [](auto &d) -> std::string {
         lay(d, kSetIp);
         // The scratch folder is the owner's alone; the user must get to the file.
         return chmod(d.path().c_str(), 0755) == 0 && chmod((d / kUpdate).c_str(), 0) == 0
                    ? ""
                    : "chmod";
     },
     geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups TOOL" : "TOOL",
     "main enter\nopen ./mnt/mtd/app/update.cfg  failed!\n" + kKeep, kAllOld, true,
     [](auto &d) { ASSERT_EQ(chmod((d / kUpdate).c_str(), 0644), 0); }, kEveryStore, kAllNew},
    // 3: a configuration that is there but does not open is a failure.
    {"configuration_read_error",
     [](auto &d) -> std::string {
         if (!strace_note().empty()) return strace_note();
         return lay(d, kSetIp);
     },
     failing("read", kConfigs[1], 1),
     "main enter\n" + kIpLines + "open ./mnt/mtd/app/config.xml.default  failed!\n" + kIpLines +
         kKeep,
     {kNew, kOld, kNew},
     true,
     [](auto &d) { change_on_device(d, 0); },
     "main enter\n" + skipped(0) + kIpLines + skipped(2),
     {kChanged, kNew, kNew}},
    {"configuration_truncated",
     [](auto &d) -> std::string {
         write_file(d / kConfigs[1], content(kConfigs[1], kOld).substr(0, 300));
         return lay(d, kSetIp);
     },
     "TOOL",
     "main enter\n" + kIpLines + "open ./mnt/mtd/app/config.xml.default  failed!\n" + kIpLines +
         kKeep,
     {kNew, kOld, kNew},  // kOld: checked as the truncated file below
     true,
     [](auto &d) {
         write_file(d / kConfigs[1], content(kConfigs[1], kOld));
         change_on_device(d, 2);
     },
     "main enter\n" + skipped(0) + kIpLines + skipped(2),
     {kNew, kNew, kChanged}},
    // 3: a configuration that is not there is passed over.
    {"configuration_missing",
     [](auto &d) -> std::string {
         unlink((d / kConfigs[2]).c_str());
         return lay(d, kSetIp);
     },
     "TOOL",
     "main enter\n" + kIpLines + kIpLines + "open ./config/config.xml.default  failed!\n",
     {kNew, kNew, kOld},  // kOld: checked as missing below
     false},
    // 8: the folders are flushed before the deletion; if that fails the
    // update file stays, with every store recorded.
    {"folder_flush_fails",
     [](auto &d) -> std::string {
         if (!strace_note().empty()) return strace_note();
         return lay(d, kSetIp);
     },
     // Flushes of /config: the store's after its rename, then the tool's.
     failing("fsync", "config", 2),
     kEveryStore + "flush ./config  failed!\n" + kKeep,
     kAllNew,
     true,
     [](auto &d) { change_on_device(d, 2); },
     "main enter\n" + skipped(0) + skipped(1) + skipped(2),
     {kNew, kNew, kChanged}},
    // 4
    {"byte_order_mark", [](auto &d) -> std::string { return lay(d, "\xEF\xBB\xBF" + kSetIp); },
     "TOOL", kEveryStore, kAllNew, false},
    // 7: a reader of the output that goes away.
    {"output_reader_gone",
     [](auto &d) -> std::string {
         std::string lines;
         for (int i = 0; i < 1000; ++i) lines += kSetIp;
         return lay(d, lines);
     },
     "TOOL | head -n 1", "main enter\n", kAllNew, false},
    // 7: a file size limit below the configurations' size.
    {"file_size_limit", [](auto &d) -> std::string { return lay(d, kSetIp); },
     "ulimit -f 1; TOOL",  // 512 bytes
     "main enter\n" + kIpLines + "save ./mnt/mtd/app/config.xml  failed!\n" + kIpLines +
         "save ./mnt/mtd/app/config.xml.default  failed!\n" + kIpLines +
         "save ./config/config.xml.default  failed!\n" + kKeep,
     kAllOld, true, [](auto &) {}, kEveryStore, kAllNew},
    // 9: dates past January 2038 on a 32-bit device.
    {"files_dated_2040",
     [](auto &d) -> std::string {
         if (emulation_note().empty())
             return std::string(
                 "runs natively with 64-bit time; this is for the 32-bit build "
                 "under qemu");
         lay(d, kSetIp);
         return shell_succeeds("cd '" + d.path() + "' && touch -d 2040-01-01 " + kUpdate + " " +
                               kConfigs[0] + " " + kConfigs[1] + " " + kConfigs[2])
                    ? ""
                    : "touch";
     },
     "TOOL", kEveryStore, kAllNew, false},
};

class ExactlyOnce : public testing::TestWithParam<Case> {
  protected:
    Outcome run(const std::string &command) {
        std::string tool;
        for (const std::string &arg : built_program(ROOTED_TOOL)) tool += "'" + arg + "' ";
        std::string line = command;
        line.replace(line.find("TOOL"), 4, tool);
        return run_program({"/bin/sh", "-c", line}, dir_.path());
    }
    void expect(const States &states, const std::string &when) {
        for (size_t i = 0; i < kConfigs.size(); ++i)
            EXPECT_EQ(read_file(dir_ / kConfigs[i]),
                      states[i] == kOld ? before_[i] : content(kConfigs[i], states[i]))
                << when << ": " << kConfigs[i];
    }
    ScratchDir dir_;
    std::vector<std::string> before_;
};

TEST_P(ExactlyOnce, AndNeverOverALaterChange) {
    const Case &c = GetParam();
    ASSERT_TRUE(copy_sample_tree(dir_.path()));
    ASSERT_EQ(unlink((dir_ / kUpdate).c_str()), 0);
    const std::string why = c.arrange(dir_);
    if (!why.empty()) GTEST_SKIP() << why;
    for (const std::string &config : kConfigs) before_.push_back(read_file(dir_ / config));

    const Outcome first = run(c.command);
    EXPECT_EQ(first.out, c.out);
    expect(c.after, "first run");
    EXPECT_EQ(exists(dir_ / kUpdate), c.kept);
    EXPECT_EQ(exists(dir_ / kRecord),
              c.kept && std::count(c.after.begin(), c.after.end(), kNew) > 0);
    if (!c.between) return;

    c.between(dir_);
    const Outcome second = run("TOOL");
    EXPECT_EQ(second.out, c.second_out);
    expect(c.after_second, "second run");
    EXPECT_EQ(exists(dir_ / kUpdate), c.kept_after_second);
    EXPECT_EQ(exists(dir_ / kRecord), c.kept_after_second);
    for (const std::string folder : {"mnt/mtd/app", "config"})
        for (const std::string &name : list_dir(dir_ / folder))
            EXPECT_EQ(name.find(".tmp"), std::string::npos) << folder << "/" << name;
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, ExactlyOnce, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case> &info) {
                             return std::string(info.param.name);
                         });

}  // namespace
