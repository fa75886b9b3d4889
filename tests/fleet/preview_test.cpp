// scripts/preview.sh over a copy of the sample tree: what each line of an
// update file would do on the device, with the tree left as it was.
#include <gtest/gtest.h>

#include <chrono>
#include <ostream>
#include <string>
#include <vector>

#include "sandbox.h"

using namespace testing_support;
using fleet_testing::snapshot;
using namespace std::string_literals;

namespace {

size_t count_of(const std::string &text, const std::string &part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// With what it says on standard error after its output when asked.
Outcome preview(const std::string &tree, const std::string &update_file,
                const std::string &tool = DEFAULT_TOOL, bool with_errors = false) {
    std::vector<std::string> command = {"/usr/bin/env", "UPDATE_CFG_TOOL=" + tool,
                                        "bash",         SOURCE_TREE "/scripts/preview.sh",
                                        tree,           update_file};
    if (with_errors) command.insert(command.begin(), {"/bin/sh", "-c", "exec \"$@\" 2>&1", "sh"});
    return run_program(command);
}

// What the preview says about an update file over a copy of the sample tree,
// which it leaves as it was.
Outcome preview_of_sample(const ScratchDir &dir, const std::string &update_text,
                          const std::string &tool = DEFAULT_TOOL, bool with_errors = false) {
    const std::string tree = dir / "tree";
    EXPECT_TRUE(copy_sample_tree(tree));
    const auto before = snapshot(tree);
    const std::string update = dir / "update.cfg";
    write_file(update, update_text);
    Outcome outcome = preview(tree, update, tool, with_errors);
    EXPECT_EQ(snapshot(tree), before);
    return outcome;
}

// A stand-in for the tool in dir, where a build tree keeps it: the script.
std::string tool_stand_in(const ScratchDir &dir, const std::string &script) {
    const std::string tool = dir / "build/update_cfg/update_cfg";
    EXPECT_TRUE(shell_succeeds("mkdir -p '" + dir / "build/update_cfg" + "'"));
    write_file(tool, script);
    EXPECT_TRUE(shell_succeeds("chmod +x '" + tool + "'"));
    return tool;
}

TEST(Preview, NamesATypoByItsClosestSiblingAndLeavesTheTreeAlone) {
    const std::string why = fleet_testing::sandbox_unavailable();
    if (!why.empty()) GTEST_SKIP() << why;
    ScratchDir dir;
    const std::string tree = dir / "tree";
    ASSERT_TRUE(copy_sample_tree(tree));
    const auto before = snapshot(tree);
    const std::string update = dir / "typo.cfg";
    write_file(update,
               "# site settings\n"
               "NET.IP=10.0.0.42\n"
               "SYSTEM.LANGUAGE=en\n"
               "NET.GATWAY=10.0.0.9\n"
               "NET.PORT=81\n"
               "NTP.SERVER=a.example.net\n"
               "NTP.SERVER=b.example.net\n"
               "SNMP.COMMUNITY=private\n"
               "this line is not a setting\n"
               "NET..X=1\n"
               "NET.1X=y\n");

    const Outcome outcome = preview(tree, update);
    ASSERT_EQ(outcome.status, 0) << outcome.out;
    // One summary line a line of the update file, in each of the three files.
    const std::vector<std::string> lines = {
        "skipped  line 1: holds # (read as a comment)\n",
        "changed  line 2: NET.IP: 192.168.1.100 -> 10.0.0.42\n",
        "equal    line 3: SYSTEM.LANGUAGE = en\n",
        "created  line 4: NET.GATWAY = 10.0.0.9 (DVR_CFG.NET.GATWAY is new; closest existing: "
        "DVR_CFG.NET.GATEWAY, edit distance 1)\n",
        "refused  line 5: NET.PORT = 81: refused by the store: NET.PORT holds elements, not a "
        "value\n",
        "replaced line 6: NTP.SERVER = a.example.net: replaced by line 7\n",
        "changed  line 7: NTP.SERVER: pool.ntp.org -> b.example.net\n",
        "created  line 8: SNMP.COMMUNITY = private (DVR_CFG.SNMP is new; closest existing: "
        "DVR_CFG.NTP, edit distance 2)\n",
        "skipped  line 9: no . (section.key=value)\n",
        "refused  line 10: NET..X = 1: refused by the store: an empty name\n",
        "refused  line 11: NET.1X = y: refused by the store: '1X' is not an element name\n",
        "summary: 2 changed, 1 equal, 2 created, 1 replaced, 3 refused, 2 skipped\n",
    };
    for (const std::string &line : lines) EXPECT_EQ(count_of(outcome.out, line), 3u) << line;
    // The diff is the tool's own work on the copy.
    EXPECT_EQ(count_of(outcome.out, "\n+\t\t<GATWAY>10.0.0.9</GATWAY>\n"), 3u) << outcome.out;
    EXPECT_EQ(count_of(outcome.out, "\n-\t\t<IP>192.168.1.100</IP>\n+\t\t<IP>10.0.0.42</IP>\n"),
              3u);
    EXPECT_NE(outcome.out.find("update file consumed: a Mender rollout succeeds on this device\n"),
              std::string::npos);
    EXPECT_EQ(snapshot(tree), before);
}

TEST(Preview, ConfigurationTheToolCannotOpenIsNamed) {
    const std::string why = fleet_testing::sandbox_unavailable();
    if (!why.empty()) GTEST_SKIP() << why;
    ScratchDir dir;
    ASSERT_TRUE(copy_sample_tree(dir.path()));
    write_file(dir / "config/config.xml.default", "<DVR_CFG>");
    const auto before = snapshot(dir.path());

    const Outcome outcome = preview(dir.path(), dir / "mnt/mtd/app/update.cfg");
    ASSERT_EQ(outcome.status, 0) << outcome.out;
    EXPECT_NE(outcome.out.find("== /config/config.xml.default\nnot opened as a configuration"),
              std::string::npos)
        << outcome.out;
    EXPECT_NE(outcome.out.find("update file kept: a Mender rollout fails on this device"),
              std::string::npos)
        << outcome.out;
    // The sample's own lines, in the two files that opened: a value with
    // an ampersand, a line ending in CR LF.
    EXPECT_EQ(count_of(outcome.out,
                       "changed  line 5: SYSTEM.DEVICE_NAME: Lobby recorder -> Gate & "
                       "Yard\n"),
              1u);
    EXPECT_EQ(count_of(outcome.out, "changed  line 5: SYSTEM.DEVICE_NAME: NVR -> Gate & Yard\n"),
              1u);
    EXPECT_EQ(count_of(outcome.out, "changed  line 3: NET.GATEWAY: 192.168.1.1 -> 10.0.0.1\n"), 2u);
    EXPECT_EQ(count_of(outcome.out, "skipped  line 7: holds # (read as a comment)\n"), 2u);
    EXPECT_EQ(count_of(outcome.out,
                       "summary: 5 changed, 0 equal, 1 created, 0 replaced, 0 refused, "
                       "3 skipped\n"),
              2u);
    EXPECT_EQ(snapshot(dir.path()), before);
}

// Lines on which the preview once said the opposite of what the tool and the
// store then did: each must read as the diff beside it shows.
struct Disagreement {
    const char *what;
    std::string update_text;
    std::vector<std::string> lines;  // each once in every one of the three files
    std::string diff_line;           // in each file's diff
    std::string verdict;
};

// A table's rows, each a case of its own named by what it is, in a sandbox.
template <class Row>
class Rows : public ::testing::TestWithParam<Row> {
  protected:
    void SetUp() override {
        const std::string why = fleet_testing::sandbox_unavailable();
        if (!why.empty()) GTEST_SKIP() << why;
    }
};

void PrintTo(const Disagreement &c, std::ostream *out) {
    *out << c.what;
}

class PreviewAgrees : public Rows<Disagreement> {};

TEST_P(PreviewAgrees, WithTheToolAndTheStore) {
    const Disagreement &c = GetParam();
    ScratchDir dir;
    const Outcome outcome = preview_of_sample(dir, c.update_text);
    ASSERT_EQ(outcome.status, 0) << outcome.out;
    for (const std::string &line : c.lines)
        EXPECT_EQ(count_of(outcome.out, line), 3u) << line << outcome.out;
    EXPECT_EQ(count_of(outcome.out, c.diff_line), 3u) << outcome.out;
    const size_t device = outcome.out.find("== the device\n");
    ASSERT_NE(device, std::string::npos) << outcome.out;
    EXPECT_EQ(outcome.out.substr(device), "== the device\n" + c.verdict) << outcome.out;
}

const char *const kSucceeds = "update file consumed: a Mender rollout succeeds on this device\n";

INSTANTIATE_TEST_SUITE_P(
    Lines, PreviewAgrees,
    ::testing::Values(
        // The tool reads the first line after the mark.
        Disagreement{"ByteOrderMark",
                     "\xEF\xBB\xBFNET.IP=10.0.0.42\nSYSTEM.LANGUAGE=de\n",
                     {"changed  line 1: NET.IP: 192.168.1.100 -> 10.0.0.42\n",
                      "changed  line 2: SYSTEM.LANGUAGE: en -> de\n",
                      "summary: 2 changed, 0 equal, 0 created, 0 replaced, 0 refused, 0 skipped\n"},
                     "\n-\t\t<IP>192.168.1.100</IP>\n+\t\t<IP>10.0.0.42</IP>\n",
                     kSucceeds},
        // Any name the store takes, not only ASCII letters, digits, _ and -.
        Disagreement{"NamesTheStoreTakes",
                     "NET.\xC3\x89TAT=on\nNET.a:b=1\nNET.PORT.b.c=2\n",
                     {"created  line 1: NET.\xC3\x89TAT = on (DVR_CFG.NET.\xC3\x89TAT is new; "
                      "closest existing: DVR_CFG.NET.PORT, edit distance 4)\n",
                      "created  line 2: NET.a:b = 1 (DVR_CFG.NET.a:b is new; closest existing: "
                      "DVR_CFG.NET.IP, edit distance 3)\n",
                      "created  line 3: NET.PORT.b.c = 2 (DVR_CFG.NET.PORT.b is new; closest "
                      "existing: DVR_CFG.NET.PORT.HTTP, edit distance 4)\n",
                      "summary: 0 changed, 0 equal, 3 created, 0 replaced, 0 refused, 0 skipped\n"},
                     "\n+\t\t<\xC3\x89TAT>on</\xC3\x89TAT>\n+\t\t<a:b>1</a:b>\n",
                     kSucceeds},
        // The module judges the tool's own failure lines, not a value that
        // says "failed!"; nor does such a value belong under the device.
        Disagreement{"ValueSayingFailed",
                     "SYSTEM.LANGUAGE=failed!\nNTP.SERVER=keep failed! \n",
                     {"changed  line 1: SYSTEM.LANGUAGE: en -> failed!\n",
                      "changed  line 2: NTP.SERVER: pool.ntp.org -> keep failed! \n"},
                     "\n+\t\t<LANGUAGE>failed!</LANGUAGE>\n",
                     kSucceeds},
        // A later line the store refuses replaces nothing.
        Disagreement{"LaterLineRefused",
                     "NTP.SERVER=a.example.net\nNTP.SERVER=b\x01\n",
                     {"changed  line 1: NTP.SERVER: pool.ntp.org -> a.example.net\n",
                      "refused  line 2: NTP.SERVER = b\x01: refused by the store: the value holds "
                      "a control character\n",
                      "summary: 1 changed, 0 equal, 0 created, 0 replaced, 1 refused, 0 skipped\n"},
                     "\n+\t\t<SERVER>a.example.net</SERVER>\n",
                     kSucceeds},
        // Values that spell the tool's failure lines whole are values still.
        Disagreement{"ValueSpellingAFailureLine",
                     "SYSTEM.LANGUAGE=open /config/config.xml.default  failed!\n"
                     "NTP.SERVER=save /mnt/mtd/app/config.xml  failed!\n",
                     {"changed  line 1: SYSTEM.LANGUAGE: en -> open /config/config.xml.default  "
                      "failed!\n",
                      "changed  line 2: NTP.SERVER: pool.ntp.org -> save /mnt/mtd/app/config.xml  "
                      "failed!\n",
                      "summary: 2 changed, 0 equal, 0 created, 0 replaced, 0 refused, 0 skipped\n"},
                     "\n+\t\t<SERVER>save /mnt/mtd/app/config.xml  failed!</SERVER>\n",
                     kSucceeds},
        // Lines the tool passes over, with or without a word; the lines
        // after them still count from the right number.
        Disagreement{"LinesTheToolPassesOver",
                     "NET.IP=10.0.0.42\0 tail\n\nNET.GATEWAY="s + std::string(300, 'x') + "\nNET." +
                         std::string(64, 'K') + "=1\r\n\r\nNTP.SERVER=a.example.net\r\n",
                     {"skipped  line 1: holds a NUL byte (not a line of text)\n",
                      "skipped  line 3: longer than 255 characters\n",
                      "skipped  line 4: section, key or value longer than 63 characters\n",
                      "changed  line 6: NTP.SERVER: pool.ntp.org -> a.example.net\n",
                      "summary: 1 changed, 0 equal, 0 created, 0 replaced, 0 refused, 3 skipped\n"},
                     "\n+\t\t<SERVER>a.example.net</SERVER>\n",
                     "entry too long, skipped: [NET.GATEWAY=" + std::string(243, 'x') +
                         "]\nentry too long, skipped: [NET." + std::string(64, 'K') +
                         "=1]\nentry too long, skipped: [NET.GATEWAY=" + std::string(243, 'x') +
                         "]\nentry too long, skipped: [NET." + std::string(64, 'K') +
                         "=1]\nentry too long, skipped: [NET.GATEWAY=" + std::string(243, 'x') +
                         "]\nentry too long, skipped: [NET." + std::string(64, 'K') + "=1]\n" +
                         kSucceeds}),
    [](const ::testing::TestParamInfo<Disagreement> &info) {
        return std::string(info.param.what);
    });

// The preview's cost grows with the update's length, not with its square:
// one run of the tool and a fixed number of other commands whatever its
// length.
TEST(Preview, TwoThousandLinesAtOnce) {
    const std::string why = fleet_testing::sandbox_unavailable();
    if (!why.empty()) GTEST_SKIP() << why;
    std::string update_text;
    for (int i = 1; i <= 1000; ++i) {
        update_text += "NTP.SERVER=host" + std::to_string(i) + ".example.net\n";
        update_text += "SNMP.K" + std::to_string(i) + "=v" + std::to_string(i) + "\n";
    }
    ScratchDir dir;
    const auto start = std::chrono::steady_clock::now();
    const Outcome outcome = preview_of_sample(dir, update_text);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_EQ(outcome.status, 0) << outcome.out;
    std::cout << "previewed 2,000 lines in " << seconds << " s\n";
    for (const char *line : {
             "replaced line 1: NTP.SERVER = host1.example.net: replaced by line 3\n",
             "replaced line 1997: NTP.SERVER = host999.example.net: replaced by line 1999\n",
             "changed  line 1999: NTP.SERVER: pool.ntp.org -> host1000.example.net\n",
             "created  line 2: SNMP.K1 = v1 (DVR_CFG.SNMP is new; closest existing: DVR_CFG.NTP, "
             "edit distance 2)\n",
             "created  line 2000: SNMP.K1000 = v1000 (DVR_CFG.SNMP is new; closest existing: "
             "DVR_CFG.NTP, edit distance 2)\n",
             "summary: 1 changed, 0 equal, 1000 created, 999 replaced, 0 refused, 0 skipped\n",
         })
        EXPECT_EQ(count_of(outcome.out, line), 3u) << line;
    EXPECT_NE(outcome.out.find(kSucceeds), std::string::npos);
    // A bound for a machine under load: the preview that rescanned the
    // update for every line took 94 s here.
    EXPECT_LT(seconds, 40.0);
}

// Among hundreds of names a closest one is rarely a typo's, and the search
// would cost each new line as much as the whole section: the hint gives the
// count instead, from 101 names on.
TEST(Preview, CrowdedSectionGivesNoClosestName) {
    const std::string why = fleet_testing::sandbox_unavailable();
    if (!why.empty()) GTEST_SKIP() << why;
    ScratchDir dir;
    std::string config = "<DVR_CFG>\n\t<FEW>\n";
    for (int i = 0; i < 100; ++i)
        config += "\t\t<K" + std::to_string(i) + ">0</K" + std::to_string(i) + ">\n";
    config += "\t</FEW>\n\t<MANY>\n";
    for (int i = 0; i < 101; ++i)
        config += "\t\t<K" + std::to_string(i) + ">0</K" + std::to_string(i) + ">\n";
    config += "\t</MANY>\n</DVR_CFG>\n";
    const std::string tree = dir / "tree";
    ASSERT_TRUE(shell_succeeds("mkdir -p '" + tree + "/mnt/mtd/app' '" + tree + "/config'"));
    for (const char *path : {"/mnt/mtd/app/config.xml", "/mnt/mtd/app/config.xml.default",
                             "/config/config.xml.default"})
        write_file(tree + path, config);
    const std::string update = dir / "update.cfg";
    write_file(update, "FEW.K1000=1\nMANY.K1000=1\n");

    const Outcome outcome = preview(tree, update);
    ASSERT_EQ(outcome.status, 0) << outcome.out;
    EXPECT_EQ(count_of(outcome.out,
                       "created  line 1: FEW.K1000 = 1 (DVR_CFG.FEW.K1000 is new; "
                       "closest existing: DVR_CFG.FEW.K10, edit distance 2)\n"),
              3u)
        << outcome.out;
    EXPECT_EQ(count_of(outcome.out,
                       "created  line 2: MANY.K1000 = 1 (DVR_CFG.MANY.K1000 is new; "
                       "101 elements beside it)\n"),
              3u)
        << outcome.out;
}

// A tool whose output does not follow the update file line by line leaves
// the preview nothing to stand on: it says so rather than guess.
TEST(Preview, OutputThatDoesNotFollowTheUpdateIsAnError) {
    const std::string why = fleet_testing::sandbox_unavailable();
    if (!why.empty()) GTEST_SKIP() << why;
    ScratchDir dir;
    const std::string tool =
        tool_stand_in(dir, "#!/bin/sh\necho 'main enter'\necho 'value  = [other] len = 5'\n");
    const Outcome outcome = preview_of_sample(dir, "NET.IP=10.0.0.42\n", tool, true);
    EXPECT_EQ(outcome.status, 1) << outcome.out;
    EXPECT_NE(outcome.out.find("the tool's output does not follow the update file, at line 1 "
                               "(/mnt/mtd/app/config.xml)"),
              std::string::npos)
        << outcome.out;
    EXPECT_EQ(outcome.out.find("== /"), std::string::npos) << outcome.out;
}

// The preview's verdict is the installers' own judge of the tool's run: only
// a failure to open or save a configuration, or an update file kept, fails a
// rollout; another line that says "failed!" (the progress record not
// written) does not.  The tool is a stand-in that prints what the real one
// prints for "SYSTEM.LANGUAGE=de", with the line given after pass PASS.
struct Verdict {
    const char *what;
    int pass;
    std::string line;
    bool consumes;
    std::string verdict;
};

void PrintTo(const Verdict &c, std::ostream *out) {
    *out << c.what;
}

class PreviewJudges : public Rows<Verdict> {};

TEST_P(PreviewJudges, AsTheInstallersDo) {
    const Verdict &c = GetParam();
    ScratchDir dir;
    const std::string tool = tool_stand_in(
        dir,
        "#!/bin/sh\necho 'main enter'\nfor p in 1 2 3; do\n"
        "  echo 'value  = [de] len = 2'\n  echo 'SetValueToConfig value = de, len = 2'\n"
        "  [ $p != " +
            std::to_string(c.pass) + " ] || echo '" + c.line + "'\ndone\n" +
            (c.consumes ? "rm /mnt/mtd/app/update.cfg\n" : ""));
    const Outcome outcome = preview_of_sample(dir, "SYSTEM.LANGUAGE=de\n", tool);
    ASSERT_EQ(outcome.status, 0) << outcome.out;
    const size_t device = outcome.out.find("== the device\n");
    ASSERT_NE(device, std::string::npos) << outcome.out;
    EXPECT_EQ(outcome.out.substr(device), "== the device\n" + c.line + "\n" + c.verdict)
        << outcome.out;
}

INSTANTIATE_TEST_SUITE_P(
    Verdicts, PreviewJudges,
    ::testing::Values(
        Verdict{"ProgressRecordNotWritten", 1, "write /mnt/mtd/app/update.cfg.progress  failed!",
                true, kSucceeds},
        Verdict{"SavedNothingButConsumed", 3, "save /config/config.xml.default  failed!", true,
                "update file consumed, but a line says failed!: a Mender rollout fails on this "
                "device and is rolled back\n"},
        Verdict{"SavedNothingAndKept", 3, "save /config/config.xml.default  failed!", false,
                "update file kept: a Mender rollout fails on this device and is rolled back\n"}),
    [](const ::testing::TestParamInfo<Verdict> &info) { return std::string(info.param.what); });

}  // namespace
