// The update-cfg module under the real Mender client: `mender install` of an
// artifact built by scripts/mender-artifact.sh, in a sandboxed device.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "sandbox.h"

using namespace testing_support;
using fleet_testing::MenderDevice;
using fleet_testing::snapshot;

namespace {

const std::string kSampleUpdate = kSampleTree + "/" + kUpdate;

// The device's folders as they are: names, links and bytes.
std::map<std::string, std::string> device_state(const MenderDevice &device) {
    auto state = snapshot(device.host_path("/mnt"));
    for (const auto &[name, content] : snapshot(device.host_path("/config")))
        state["config/" + name] = content;
    return state;
}

class Fleet : public testing::Test {
  protected:
    void SetUp() override {
        const std::string why = fleet_testing::sandbox_unavailable();
        if (!why.empty()) GTEST_SKIP() << why;
    }
};

TEST_F(Fleet, SampleUpdateIsInstalledAndCommitted) {
    MenderDevice device;
    const std::string artifact = device.build_artifact(kSampleUpdate, "site-settings-1");

    const Outcome install = device.mender({"install", artifact});
    EXPECT_EQ(install.status, 0) << install.out;
    EXPECT_NE(install.out.find("update-cfg: update applied to the configurations"),
              std::string::npos)
        << install.out;
    // The tool's own lines are in the client's log.
    EXPECT_NE(install.out.find("SetValueToConfig value = Gate & Yard, len = 11"),
              std::string::npos);
    EXPECT_NE(install.out.find("Use 'commit' to update"), std::string::npos) << install.out;
    for (const std::string &config : kConfigs)
        EXPECT_EQ(read_file(device.host_path(config)), expected(config)) << config;
    EXPECT_FALSE(exists(device.host_path(kUpdate)));

    const Outcome commit = device.mender({"commit"});
    EXPECT_EQ(commit.status, 0) << commit.out;
    EXPECT_EQ(device.installed_artifact(), "site-settings-1\n");
    for (const std::string &config : kConfigs)
        EXPECT_EQ(read_file(device.host_path(config)), expected(config)) << config;
}

// An installed update not yet committed is rolled back on request, as an
// operator who sees trouble would.
TEST_F(Fleet, InstalledUpdateIsRolledBackOnRequest) {
    MenderDevice device;
    const auto before = device_state(device);
    const std::string artifact = device.build_artifact(kSampleUpdate, "site-settings-3");
    ASSERT_EQ(device.mender({"install", artifact}).status, 0);
    ASSERT_EQ(read_file(device.host_path(kConfigs[0])), expected(kConfigs[0]));

    const Outcome rollback = device.mender({"rollback"});
    EXPECT_EQ(rollback.status, 0) << rollback.out;
    EXPECT_EQ(device_state(device), before);
    EXPECT_EQ(device.installed_artifact(), "factory\n");
}

struct FailingInstall {
    const char *name;
    std::function<void(fleet_testing::Device &)> arrange;
    const char *printed;  // a line of the install's log that says why
    // What the rollback says: an install refused before it changed anything
    // has nothing to undo.
    const char *rollback = "update-cfg: rolled back: the configurations are as before the update";
};

// Each starts from the sample tree without its update file.  The install
// fails, the client rolls back, and the device is as it was: the same files
// with the same bytes, no update file, no progress record, no temporary file.
const std::vector<FailingInstall> kFailingInstalls = {
    {"read-only /config: the third save fails, the tool keeps the update file",
     [](fleet_testing::Device &device) { device.read_only_config = true; },
     "save /config/config.xml.default  failed!\\nkeep /mnt/mtd/app/update.cfg for the next run"},
    {"working configuration on a link, /config read-only: the link's target is restored",
     fleet_testing::link_working_configuration, "save /config/config.xml.default  failed!"},
    {"unreadable working configuration: the update file is consumed, but a line failed",
     fleet_testing::truncate_working_configuration, "open /mnt/mtd/app/config.xml  failed!"},
    {"no update_cfg on the PATH",
     [](fleet_testing::Device &device) { device.tool_folder = "/nonexistent"; },
     "update-cfg: refused: update_cfg is not on the PATH", "update-cfg: nothing to roll back"},
    {"a tool that stops half way, leaving a changed file, its update file, a progress record and "
     "temporaries",
     [](fleet_testing::Device &device) {
         fleet_testing::use_tool_stand_in(device, fleet_testing::kHalfWay);
     },
     "update-cfg: update_cfg exited with status 137"},
};

TEST_F(Fleet, FailedInstallIsRolledBackByteForByte) {
    for (const FailingInstall &c : kFailingInstalls) {
        SCOPED_TRACE(c.name);
        MenderDevice device;
        c.arrange(device);
        const auto before = device_state(device);
        const std::string artifact = device.build_artifact(kSampleUpdate, "site-settings-2");

        const Outcome install = device.mender({"install", artifact});
        EXPECT_NE(install.status, 0) << install.out;
        EXPECT_NE(install.out.find(c.printed), std::string::npos) << install.out;
        EXPECT_NE(install.out.find("Rolling back Artifact..."), std::string::npos) << install.out;
        EXPECT_NE(install.out.find(c.rollback), std::string::npos) << install.out;
        EXPECT_EQ(device_state(device), before);
        EXPECT_FALSE(exists(device.host_path(kUpdate)));
        EXPECT_FALSE(exists(device.host_path(kRecord)));
        EXPECT_EQ(device.installed_artifact(), "factory\n");
    }
}

struct Refusal {
    const char *name;
    std::vector<std::string> files;  // the payload's files
    const char *folder;              // a folder in the update file's place, or nullptr
    const char *printed;
};

// Refused before anything changes: an update file already waiting on the
// device (the sample's own) stays as it is.
TEST_F(Fleet, RefusedInstallChangesNothing) {
    const std::vector<Refusal> cases = {
        {"payload of another name",
         {"update.txt"},
         nullptr,
         "refused: the payload must be one file named update.cfg"},
        {"payload of two files",
         {"update.cfg", "extra.cfg"},
         nullptr,
         "refused: the payload must be one file named update.cfg"},
        {"a folder where the update file goes",
         {"update.cfg"},
         "/mnt/mtd/app/update.cfg",
         "refused: /mnt/mtd/app/update.cfg is not a regular file"},
    };
    for (const Refusal &c : cases) {
        SCOPED_TRACE(c.name);
        MenderDevice device;
        write_file(device.host_path(kUpdate), sample(kUpdate));
        if (c.folder) {
            ASSERT_EQ(unlink(device.host_path(c.folder).c_str()), 0);
            ASSERT_EQ(mkdir(device.host_path(c.folder).c_str(), 0755), 0);
        }
        const auto before = device_state(device);
        std::string command =
            "mender-artifact write module-image -T update-cfg -t recorder "
            "-n refused -o '" +
            device.artifacts() + "/refused.mender'";
        for (const std::string &file : c.files) {
            write_file(device.artifacts() + "/" + file, "NET.IP=10.9.9.9\n");
            command += " -f '" + device.artifacts() + "/" + file + "'";
        }
        ASSERT_TRUE(shell_succeeds(command));

        const Outcome install = device.mender({"install", device.artifacts() + "/refused.mender"});
        EXPECT_NE(install.status, 0) << install.out;
        EXPECT_NE(install.out.find(c.printed), std::string::npos) << install.out;
        EXPECT_EQ(device_state(device), before);
        EXPECT_EQ(device.installed_artifact(), "factory\n");
    }
}

// Only the tool's own failure lines count: a value that says "failed!" is
// echoed by the tool and still applied.
TEST_F(Fleet, ValueThatSaysFailedIsApplied) {
    MenderDevice device;
    write_file(device.artifacts() + "/title.cfg", "SYSTEM.DEVICE_NAME=open failed!\n");
    const std::string artifact =
        device.build_artifact(device.artifacts() + "/title.cfg", "failed-title");

    const Outcome install = device.mender({"install", artifact});
    EXPECT_EQ(install.status, 0) << install.out;
    fleet_testing::expect_applied(device, "<DEVICE_NAME>open failed!</DEVICE_NAME>");
}

// A progress record without its update file: left by a run that outlived a
// rollback (the boot unit's run, going on while the module restored), or by
// a power cut between the tool's two deletions.  The tool would drop it on
// its next run, but neither start at boot runs the tool without an update
// file, so the record waits for the next update.  When that is the same
// content, the record must not make a store skip an update it does not hold.
TEST_F(Fleet, RecordWithoutItsUpdateFileIsNotTrusted) {
    MenderDevice device;
    const std::string update = kSampleUpdate;
    const std::string progress = device.host_path(kRecord);
    ASSERT_TRUE(fleet_testing::write_progress_record(update, kConfigs, progress));
    const std::string artifact = device.build_artifact(update, "site-settings-4");

    const Outcome install = device.mender({"install", artifact});
    EXPECT_EQ(install.status, 0) << install.out;
    EXPECT_EQ(install.out.find("has this update already"), std::string::npos) << install.out;
    for (const std::string &config : kConfigs)
        EXPECT_EQ(read_file(device.host_path(config)), expected(config)) << config;
    EXPECT_FALSE(exists(device.host_path(kUpdate)));
    EXPECT_FALSE(exists(progress));
}

}  // namespace
