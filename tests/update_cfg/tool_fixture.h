// Runs the tool's passes in this process, in a scratch device tree that is
// the current folder, against the recording store.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "recording_store.h"
#include "scratch.h"
#include "update.h"

// The tool's main: objcopy renamed it in the object linked here, to a C name.
extern "C" int update_cfg_main();

class ToolTest : public testing::Test {
  protected:
    static constexpr const char *kUpdateFile = "./mnt/mtd/app/update.cfg";
    static constexpr const char *kTarget = "./mnt/mtd/app/config.xml";

    void SetUp() override {
        ASSERT_EQ(getcwd(old_cwd_, sizeof old_cwd_), old_cwd_);
        ASSERT_EQ(chdir(dir_.path().c_str()), 0);
        ASSERT_EQ(system("mkdir -p mnt/mtd/app config"), 0);
        store().reset();
    }
    void TearDown() override { ASSERT_EQ(chdir(old_cwd_), 0); }

    static RecordingStore &store() { return RecordingStore::instance(); }

    // Standard output of one whole run.
    std::string run_main() {
        testing::internal::CaptureStdout();
        update_cfg_main();
        fflush(stdout);
        return testing::internal::GetCapturedStdout();
    }

    // Standard output of one pass over update-file content.
    std::string run_pass(const std::string &content) {
        testing_support::write_file(kUpdateFile, content);
        keep_input(content);
        testing::internal::CaptureStdout();
        update_cfg tool;
        tool.open_update_file();
        tool.update(kTarget);
        fflush(stdout);
        const std::string out = testing::internal::GetCapturedStdout();
        tool.finish();  // closes the update file
        return out;
    }

    // The writes of the last pass, as "[value] len entry".
    std::vector<std::string> writes() const {
        std::vector<std::string> found;
        for (const std::string &call : store().calls)
            if (call.rfind("write 1 ", 0) == 0)
                found.push_back(call.substr(8, call.size() - 8 - 4));  // without " 0 0"
        return found;
    }

    // With UPDATE_CFG_KEEP_INPUTS naming a folder, every update file a test
    // writes is kept there too, so that other builds of the tool can be run
    // on the same table.
    static void keep_input(const std::string &content) {
        static int count = 0;
        const char *folder = getenv("UPDATE_CFG_KEEP_INPUTS");
        if (!folder) return;
        const testing::TestInfo *test = testing::UnitTest::GetInstance()->current_test_info();
        testing_support::write_file(
            std::string(folder) + "/" + test->name() + "." + std::to_string(++count), content);
    }

    testing_support::ScratchDir dir_;
    char old_cwd_[4096];
};
