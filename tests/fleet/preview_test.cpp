// scripts/preview.sh over a copy of the sample tree: what each line of an
// update file would do on the device, with the tree left as it was.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sandbox.h"

using namespace testing_support;
using fleet_testing::snapshot;

namespace {

size_t count_of(const std::string &text, const std::string &part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

Outcome preview(const std::string &tree, const std::string &update_file) {
    return run_program({"/usr/bin/env", std::string("UPDATE_CFG_TOOL=") + DEFAULT_TOOL, "bash",
                        SOURCE_TREE "/scripts/preview.sh", tree, update_file});
}

TEST(Preview, NamesATypoByItsClosestSiblingAndLeavesTheTreeAlone) {
    const std::string why = fleet_testing::sandbox_unavailable();
    if (!why.empty()) GTEST_SKIP() << why;
    ScratchDir dir;
    const std::string tree = dir / "tree";
    ASSERT_TRUE(shell_succeeds("cp -R '" SAMPLE_TREE "' '" + tree + "'"));
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
    ASSERT_TRUE(shell_succeeds("cp -R '" SAMPLE_TREE "/.' '" + dir.path() + "'"));
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

}  // namespace
