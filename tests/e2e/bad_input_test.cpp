// Hostile and broken input, each with what the run must do: never hang or
// crash, never write a corrupt file, and say what happened.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "device_tree.h"
#include "process.h"
#include "scratch.h"

using namespace testing_support;

namespace {

std::string with_new_ip(const std::string &config) {
    return replaced(sample(config), kShippedIp, kUpdatedIp);
}

std::string three(const std::string &pass) {
    return pass + pass + pass;
}

// A hang fails the test instead of blocking the suite.
Outcome run_tool_within(const ScratchDir &dir, const std::string &seconds) {
    std::vector<std::string> argv = {"/usr/bin/timeout", seconds};
    for (const std::string &arg : built_program(ROOTED_TOOL)) argv.push_back(arg);
    return run_program(argv, dir.path());
}

struct BadInput {
    const char *name;
    std::function<void(const ScratchDir &)> arrange;
    std::string out;               // standard output, byte for byte
    std::vector<bool> ip_written;  // per configuration: the new IP, or untouched
    bool update_kept;
};

void PrintTo(const BadInput &c, std::ostream *os) {
    *os << c.name;
}

void update_file(const ScratchDir &dir, const std::string &content) {
    write_file(dir / kUpdate, content);
}

void replace_config(const ScratchDir &dir, size_t which, const std::string &content) {
    write_file(dir / kConfigs[which], content);
}

const std::string kNotRegular =
    "./mnt/mtd/app/update.cfg is not a regular file, ignored\n"
    "keep ./mnt/mtd/app/update.cfg for the next run\n";
// Per configuration: the new IP written, or untouched.
const std::vector<bool> kNowhere = {false, false, false}, kEverywhere = {true, true, true};

const BadInput kCases[] = {
    {"empty_update_file", [](auto &d) { update_file(d, ""); }, "main enter\n", kNowhere, false},
    {"only_comments", [](auto &d) { update_file(d, "# a\n#NET.IP=1.1.1.1\n\n"); }, "main enter\n",
     kNowhere, false},
    {"nul_bytes_in_a_line",
     [](auto &d) { update_file(d, std::string("NET.IP=1.1.1.1\0#x\n", 18) + kSetIp); },
     "main enter\n" + three(kIpLines), kEverywhere, false},
    {"cr_only_line_ends", [](auto &d) { update_file(d, "NET.IP=1.1.1.1\rNET.MASK=8\r"); },
     "main enter\n" + three("value  = [1.1.1.1\rNET.MASK=8] len = 18\n"
                            "SetValueToConfig value = 1.1.1.1\rNET.MASK=8, len = 18\n"
                            "write config value failed , entry = DVR_CFG.NET.IP\n"),
     kNowhere, false},
    {"invalid_utf8_value", [](auto &d) { update_file(d, "NET.IP=\xC3(\n"); },
     "main enter\n" + three("value  = [\xC3(] len = 2\nSetValueToConfig value = \xC3(, len = "
                            "2\nwrite config value failed , entry = DVR_CFG.NET.IP\n"),
     kNowhere, false},
    {"control_character_value", [](auto &d) { update_file(d, "NET.IP=a\x1b[2Jb\n"); },
     "main enter\n" + three("value  = [a\x1b[2Jb] len = 6\nSetValueToConfig value = "
                            "a\x1b[2Jb, len = 6\nwrite config value failed , entry = "
                            "DVR_CFG.NET.IP\n"),
     kNowhere, false},
    {"one_megabyte_line",
     [](auto &d) { update_file(d, "NET.IP=" + std::string(1 << 20, '9') + "\n" + kSetIp); },
     "main enter\n" +
         three("entry too long, skipped: [NET.IP=" + std::string(248, '9') + "]\n" + kIpLines),
     kEverywhere, false},
    {"update_file_is_a_folder", [](auto &d) { mkdir((d / kUpdate).c_str(), 0755); },
     "main enter\n" + kNotRegular, kNowhere, true},
    {"update_file_is_a_fifo", [](auto &d) { mkfifo((d / kUpdate).c_str(), 0600); },
     "main enter\n" + kNotRegular, kNowhere, true},
    {"update_file_is_a_link",
     [](auto &d) {
         write_file(d / "elsewhere.cfg", kSetIp);
         symlink("../../../elsewhere.cfg", (d / kUpdate).c_str());
     },
     "main enter\n" + three(kIpLines), kEverywhere, false},
    {"config_empty",
     [](auto &d) {
         update_file(d, kSetIp);
         replace_config(d, 0, "");
     },
     "main enter\nopen ./mnt/mtd/app/config.xml  failed!\n" + kIpLines + kIpLines + kKeep,
     {false, true, true},
     true},
    {"config_truncated_mid_element",
     [](auto &d) {
         update_file(d, kSetIp);
         replace_config(d, 1, sample(kConfigs[1]).substr(0, 300));
     },
     "main enter\n" + kIpLines + "open ./mnt/mtd/app/config.xml.default  failed!\n" + kIpLines +
         kKeep,
     {true, false, true},
     true},
    {"config_not_xml",
     [](auto &d) {
         update_file(d, kSetIp);
         replace_config(d, 2, "NET.IP=1.2.3.4\n");
     },
     "main enter\n" + kIpLines + kIpLines + "open ./config/config.xml.default  failed!\n" + kKeep,
     {true, true, false},
     true},
    {"config_is_a_folder",
     [](auto &d) {
         update_file(d, kSetIp);
         unlink((d / kConfigs[0]).c_str());
         mkdir((d / kConfigs[0]).c_str(), 0755);
     },
     "main enter\nopen ./mnt/mtd/app/config.xml  failed!\n" + kIpLines + kIpLines + kKeep,
     {false, true, true},
     true},
};

class BadInputs : public testing::TestWithParam<BadInput> {};

TEST_P(BadInputs, RunEndsSaysWhatHappenedAndCorruptsNothing) {
    const BadInput &c = GetParam();
    ScratchDir dir;
    ASSERT_TRUE(copy_sample_tree(dir.path()));
    ASSERT_EQ(unlink((dir / kUpdate).c_str()), 0);
    c.arrange(dir);
    std::vector<std::string> before;
    for (const std::string &config : kConfigs) before.push_back(read_file(dir / config));

    const Outcome outcome = run_tool_within(dir, "20");
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out, c.out);
    for (size_t i = 0; i < kConfigs.size(); ++i)
        EXPECT_EQ(read_file(dir / kConfigs[i]),
                  c.ip_written[i] ? with_new_ip(kConfigs[i]) : before[i])
            << kConfigs[i];
    EXPECT_EQ(exists(dir / kUpdate), c.update_kept);
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, BadInputs, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<BadInput> &info) {
                             return std::string(info.param.name);
                         });

TEST(BadInputsAtScale, HundredThousandLines) {
    ScratchDir dir;
    ASSERT_TRUE(copy_sample_tree(dir.path()));
    std::string lines;
    for (int i = 0; i < 100000; ++i) lines += "NET.IP=10.0." + std::to_string(i % 256) + ".1\n";
    lines += kSetIp;
    write_file(dir / kUpdate, lines);
    const Outcome outcome = run_tool_within(dir, "120");
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(std::count(outcome.out.begin(), outcome.out.end(), '\n'), 1 + 3 * 2 * 100001);
    for (const std::string &config : kConfigs)
        EXPECT_EQ(read_file(dir / config), with_new_ip(config)) << config;
    EXPECT_FALSE(exists(dir / kUpdate));
}

TEST(BadInputsAtScale, ConfigurationFolderOnAReadOnlyMount) {
    std::string why;
    if (!private_mounts(why)) GTEST_SKIP() << why;
    ScratchDir dir;
    ASSERT_TRUE(copy_sample_tree(dir.path()));
    write_file(dir / kUpdate, kSetIp);
    ASSERT_TRUE(remount_read_only(dir / "mnt/mtd/app"));
    const Outcome outcome = run_program(built_program(ROOTED_TOOL), dir.path());
    EXPECT_EQ(outcome.out, "main enter\n" + kIpLines + "save ./mnt/mtd/app/config.xml  failed!\n" +
                               kIpLines + "save ./mnt/mtd/app/config.xml.default  failed!\n" +
                               kIpLines + "write ./mnt/mtd/app/update.cfg.progress  failed!\n" +
                               kKeep);
    EXPECT_EQ(read_file(dir / kConfigs[0]), sample(kConfigs[0]));
    EXPECT_EQ(read_file(dir / kConfigs[2]), with_new_ip(kConfigs[2]));
    EXPECT_TRUE(exists(dir / kUpdate));
}

}  // namespace
