// The tool built on musl (cmake/x86_64-linux-musl.cmake natively,
// cmake/arm-linux-musleabihf.cmake under qemu-arm) against the glibc build,
// both linked with the C stand-in for the store: on every update file of the
// reader's table and on the sample tree, each run in the sandbox on the
// device's real paths must print the same bytes and leave the same tree
// (configurations, update file, progress record).
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "sandbox.h"

using namespace testing_support;
using fleet_testing::snapshot;

namespace {

struct MuslBuild {
    std::string folder;    // the build tree
    std::string emulator;  // "" natively
};

std::vector<MuslBuild> musl_builds() {
    std::vector<MuslBuild> builds;
    std::istringstream list(MUSL_BUILDS);
    std::string folder;
    while (std::getline(list, folder, ':')) {
        if (folder.empty()) continue;
        const bool arm = folder.find("arm-linux-musleabihf") != std::string::npos;
        builds.push_back({folder, arm ? "/usr/bin/qemu-arm" : ""});
    }
    return builds;
}

struct DeviceRun {
    Outcome outcome;
    std::map<std::string, std::string> tree;
};

// One run of a tool over a copy of the sample tree whose update file holds
// update (the sample's own when update is null).
DeviceRun run_on_device(const std::vector<std::string> &tool,
                        const std::vector<std::string> &visible, const std::string *update) {
    ScratchDir dir;
    EXPECT_TRUE(copy_sample_tree(dir.path()));
    if (update) write_file(dir / "mnt/mtd/app/update.cfg", *update);
    std::vector<std::pair<std::string, std::string>> binds = {{dir / "mnt", "/mnt"},
                                                              {dir / "config", "/config"}};
    for (const std::string &folder : visible) binds.push_back({folder, "ro:" + folder});
    std::vector<std::string> argv = fleet_testing::sandbox_command(binds);
    argv.insert(argv.end(), tool.begin(), tool.end());
    DeviceRun run;
    run.outcome = run_program(argv);
    run.tree = snapshot(dir.path());
    return run;
}

// The update files the reader's table writes, by the test that wrote them.
std::map<std::string, std::string> reader_table() {
    ScratchDir inputs;
    const Outcome listed = run_program({"/usr/bin/env", "UPDATE_CFG_KEEP_INPUTS=" + inputs.path(),
                                        UPDATE_CFG_TESTS, "--gtest_filter=Reader.*"});
    EXPECT_EQ(listed.status, 0) << listed.out;
    std::map<std::string, std::string> table;
    for (const std::string &name : list_dir(inputs.path())) table[name] = read_file(inputs / name);
    return table;
}

TEST(MuslTool, PrintsAndLeavesWhatTheGlibcBuildDoes) {
    const std::vector<MuslBuild> builds = musl_builds();
    if (builds.empty())
        GTEST_SKIP() << "no musl builds named (UPDATE_CFG_MUSL_BUILDS; scripts/test.sh makes them)";
    const std::string why = fleet_testing::sandbox_unavailable();
    if (!why.empty()) GTEST_SKIP() << why;

    std::map<std::string, std::string> cases = reader_table();
    ASSERT_GE(cases.size(), 10u) << "the reader's table wrote too few update files";
    std::vector<std::pair<std::string, const std::string *>> runs = {{"the sample tree", nullptr}};
    for (const auto &[name, content] : cases) runs.push_back({name, &content});

    // The glibc build once for each update file, each musl build against it.
    std::vector<DeviceRun> glibc_runs;
    for (const auto &run : runs)
        glibc_runs.push_back(run_on_device({GLIBC_STANDIN_TOOL}, {}, run.second));
    for (const MuslBuild &build : builds) {
        const std::string musl_tool = build.folder + "/update_cfg/update_cfg";
        ASSERT_TRUE(exists(musl_tool)) << musl_tool;
        std::vector<std::string> tool = {musl_tool};
        if (!build.emulator.empty()) tool.insert(tool.begin(), build.emulator);
        for (size_t i = 0; i < runs.size(); ++i) {
            SCOPED_TRACE(build.folder + ": " + runs[i].first);
            const DeviceRun &glibc = glibc_runs[i];
            const DeviceRun musl = run_on_device(tool, {build.folder}, runs[i].second);
            EXPECT_EQ(glibc.outcome.status, 0);
            EXPECT_EQ(musl.outcome.status, glibc.outcome.status);
            EXPECT_EQ(musl.outcome.out, glibc.outcome.out);
            EXPECT_EQ(musl.tree, glibc.tree);
            // The runs did something: every one starts with the tool's first line.
            EXPECT_EQ(glibc.outcome.out.rfind("main enter\n", 0), 0u) << glibc.outcome.out;
        }
        // The sample update reached all three stand-in stores and was consumed.
        const DeviceRun sample = run_on_device(tool, {build.folder}, nullptr);
        EXPECT_EQ(sample.tree.count("mnt/mtd/app/update.cfg"), 0u);
        EXPECT_NE(
            sample.tree.at("config/config.xml.default").find("DVR_CFG.SNMP.COMMUNITY=private\n"),
            std::string::npos);
    }
}

// Only musl's C library and libxml.so: no C++ runtime, no glibc.
TEST(MuslTool, NeedsOnlyMuslsLibcAndLibxml) {
    const std::vector<MuslBuild> builds = musl_builds();
    if (builds.empty()) GTEST_SKIP() << "no musl builds named (UPDATE_CFG_MUSL_BUILDS)";
    for (const MuslBuild &build : builds) {
        const Outcome needed = run_program(
            {"/bin/sh", "-c",
             "readelf -d \"$0\" | sed -n 's/.*Shared library: \\[\\(.*\\)\\]/\\1/p' | sort | "
             "paste -sd, -; readelf -l \"$0\" | sed -n 's/.*interpreter: \\(.*\\)\\]/\\1/p'",
             build.folder + "/update_cfg/update_cfg"});
        const std::string loader =
            build.emulator.empty() ? "/lib/ld-musl-x86_64.so.1" : "/lib/ld-musl-armhf.so.1";
        EXPECT_EQ(needed.out, "libc.so,libxml.so\n" + loader + "\n") << build.folder;
    }
}

}  // namespace
