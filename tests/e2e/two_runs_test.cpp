// Two runs of the tool at the same moment, as a boot script and a Mender
// install may start them: one applies the update, the other waits for it and
// finds nothing left to do.  Many pairs, since the two meet at a different
// point each time.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device_tree.h"
#include "process.h"
#include "scratch.h"

using namespace testing_support;

namespace {

bool applied(const Outcome &outcome) {
    return outcome.out.find("SetValueToConfig") != std::string::npos;
}

TEST(TwoRuns, AtOnceOneAppliesAndTheOtherLeavesNothingBehind) {
    const int kPairs = 60;
    int both_applied = 0;
    for (int pair = 0; pair < kPairs; ++pair) {
        const std::string where = "pair " + std::to_string(pair);
        ScratchDir dir;
        ASSERT_TRUE(copy_sample_tree(dir.path()));
        const std::vector<std::string> tool = built_program(ROOTED_TOOL);
        const std::vector<Outcome> runs = run_together({tool, tool}, dir.path());
        ASSERT_EQ(runs.size(), 2u);
        for (const Outcome &run : runs) {
            EXPECT_EQ(run.status, 0) << where;
            EXPECT_EQ(run.out.find("failed!"), std::string::npos) << where << "\n" << run.out;
        }
        both_applied += applied(runs[0]) && applied(runs[1]);
        EXPECT_NE(applied(runs[0]), applied(runs[1])) << where << ": passes of both runs\n"
                                                      << runs[0].out << "----\n"
                                                      << runs[1].out;
        for (const std::string &config : kConfigs)
            EXPECT_EQ(read_file(dir / config), expected(config)) << where << ": " << config;
        EXPECT_FALSE(exists(dir / kUpdate)) << where;
        EXPECT_FALSE(exists(dir / kRecord)) << where << ": a record left behind";
        EXPECT_EQ(list_dir(dir / "mnt/mtd/app"),
                  (std::vector<std::string>{"config.xml", "config.xml.default"}))
            << where;
    }
    std::cout << "pairs: " << kPairs << ", both applied the update: " << both_applied << "\n";
}

// Another run holds the lock (here util-linux's flock on the same folder)
// for a while: the tool waits for it and then runs, or, past its bound,
// leaves the update to it and changes nothing.
struct HeldLock {
    const char *name;
    int seconds;  // how long the lock is held
    bool applies;
};

class HeldLockTest : public testing::TestWithParam<HeldLock> {};

TEST_P(HeldLockTest, WaitsBoundedThenRunsOrLeavesTheUpdate) {
    if (!shell_succeeds("command -v flock")) GTEST_SKIP() << "util-linux's flock is not installed";
    const HeldLock &held = GetParam();
    ScratchDir dir;
    ASSERT_TRUE(copy_sample_tree(dir.path()));
    // The holder takes the lock, then the tool starts (through the emulator
    // where there is one); the holder is stopped after the tool's end
    // (flock -o: its command does not hold the lock).
    std::vector<std::string> argv = {
        "/bin/sh", "-c",
        "flock -o mnt/mtd/app sleep " + std::to_string(held.seconds) +
            " >/dev/null & holder=$!; sleep 0.5; \"$@\"; kill $holder 2>/dev/null; true",
        "sh"};
    for (const std::string &arg : built_program(ROOTED_TOOL)) argv.push_back(arg);
    const Outcome outcome = run_program(argv, dir.path());
    const std::string waiting =
        "main enter\nanother run is using ./mnt/mtd/app/update.cfg, waiting\n";
    if (held.applies) {
        EXPECT_EQ(outcome.out,
                  waiting + expected("stdout.txt").substr(std::string("main enter\n").size()));
    } else {
        EXPECT_EQ(outcome.out,
                  waiting +
                      "another run is still using ./mnt/mtd/app/update.cfg, leaving the "
                      "update to it\n");
    }
    for (const std::string &config : kConfigs)
        EXPECT_EQ(read_file(dir / config), held.applies ? expected(config) : sample(config))
            << config;
    EXPECT_EQ(exists(dir / kUpdate), !held.applies);
    EXPECT_FALSE(exists(dir / kRecord));
}

INSTANTIATE_TEST_SUITE_P(TwoRuns, HeldLockTest,
                         testing::Values(HeldLock{"ReleasedWithinTheBound", 2, true},
                                         HeldLock{"HeldPastTheBound", 12, false}),
                         [](const testing::TestParamInfo<HeldLock> &info) {
                             return std::string(info.param.name);
                         });

}  // namespace
