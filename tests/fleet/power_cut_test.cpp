// Power cuts during a Mender install, and what a device does next, under the
// real client: the tool and the client are killed together at a chosen call
// (tests/fleet/power_cut.sh), then the client runs again.  At the end the
// three configurations agree with one another and with the artifact the
// client reports, and an update file that was kept is applied everywhere or
// still kept.  The expected bytes are the sample tree's and the expected
// tree's, with the second update's values put in by hand.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "loop_mount.h"
#include "sandbox.h"
#include "strace_log.h"

using namespace testing_support;
using fleet_testing::MenderDevice;

namespace {

const std::string kStateDir = "/mnt/mtd/app/.update-cfg";
// Killed at its third unlinkat: after the first two stores were saved and
// recorded, before the third one's temporary file.
const char kCutAfterTwoStores[] = "tool unlinkat 3";

// The second artifact's update, and what it does to a configuration.
const char kSecondUpdate[] = "SYSTEM.LANGUAGE=de\nNTP.INTERVAL=600\n";
std::string with_second_update(std::string xml) {
    for (const auto &[from, to] :
         {std::pair<std::string, std::string>{"<LANGUAGE>en<", "<LANGUAGE>de<"},
          {"<INTERVAL>3600<", "<INTERVAL>600<"}}) {
        const size_t at = xml.find(from);
        if (at != std::string::npos) xml.replace(at, from.size(), to);
    }
    return xml;
}

enum class Updates { kNone, kFirst, kSecond, kBoth };

std::string expected_config(const std::string &config, Updates updates) {
    const bool first = updates == Updates::kFirst || updates == Updates::kBoth;
    const bool second = updates == Updates::kSecond || updates == Updates::kBoth;
    const std::string xml = first ? expected(config) : sample(config);
    return second ? with_second_update(xml) : xml;
}

class PowerCut : public testing::Test {
  protected:
    void SetUp() override {
        const std::string why = fleet_testing::sandbox_unavailable();
        if (!why.empty()) GTEST_SKIP() << why;
        if (!strace_note().empty()) GTEST_SKIP() << strace_note();
        device = std::make_unique<MenderDevice>();
        first = device->build_artifact(kSampleTree + "/" + kUpdate, "site-1");
        write_file(device->artifacts() + "/second.cfg", kSecondUpdate);
        second = device->build_artifact(device->artifacts() + "/second.cfg", "site-2");
    }
    // The client's transcript and the end state, for the record of a run.
    void TearDown() override { std::cout << transcript; }
    // Runs the client, keeping what it printed for the transcript.
    Outcome mender(const std::vector<std::string> &args) {
        const Outcome outcome = device->mender(args);
        transcript += "$ mender";
        for (const std::string &arg : args) transcript += " " + arg.substr(arg.rfind('/') + 1);
        transcript +=
            "   (exit " + std::to_string(outcome.status) + ")\n" + client_lines(outcome.out);
        return outcome;
    }
    // The first install of the sample update, stopped by a power cut after
    // two stores took it.
    void cut_first_install() {
        device->cut_plan = kCutAfterTwoStores;
        const Outcome install = mender({"install", first});
        device->cut_plan = "";
        ASSERT_NE(device->cut_made(), "") << install.out;
        transcript += "-- power cut: " + device->cut_made();
        ASSERT_TRUE(exists(device->host_path(kUpdate)));
        ASSERT_TRUE(exists(device->host_path(kRecord)));
    }
    // The end state: each configuration as expected, the client's report,
    // and whether an update file is still kept.
    void expect_end(Updates updates, const std::string &artifact, bool update_kept) {
        transcript += "-- end: client reports " + device->installed_artifact();
        for (const std::string &config : kConfigs) {
            const std::string have = read_file(device->host_path(config));
            EXPECT_EQ(have, expected_config(config, updates)) << config;
        }
        EXPECT_EQ(device->installed_artifact(), artifact + "\n");
        EXPECT_EQ(exists(device->host_path(kUpdate)), update_kept);
        EXPECT_EQ(exists(device->host_path(kRecord)), update_kept);
        end_state();
    }
    void end_state() {
        for (const std::string &config : kConfigs) {
            const std::string have = read_file(device->host_path(config));
            std::string which = "other";
            for (Updates u : {Updates::kNone, Updates::kFirst, Updates::kSecond, Updates::kBoth})
                if (have == expected_config(config, u))
                    which = std::vector<std::string>{"factory", "site-1", "site-2",
                                                     "site-1 + site-2"}[static_cast<int>(u)];
            transcript += "   " + config + ": " + which + "\n";
        }
        transcript += std::string("   update file ") +
                      (exists(device->host_path(kUpdate)) ? "kept" : "gone") + ", record " +
                      (exists(device->host_path(kRecord)) ? "kept" : "gone") + "\n";
    }
    // The client's lines without its time stamps and chatter, the module's
    // and the tool's as they were printed.
    static std::string client_lines(const std::string &out) {
        std::string lines;
        for (std::string line : lines_of(out)) {
            const size_t module = line.find("update-cfg\\\": ");
            if (module != std::string::npos) line = line.substr(module + 14);
            if (line.rfind("time=", 0) == 0) {
                const size_t msg = line.find("msg=\"");
                if (msg == std::string::npos) continue;
                line = line.substr(msg + 5, line.size() - msg - 6);
                if (line.find("Mender configuration") != std::string::npos ||
                    line.find("server URL") != std::string::npos ||
                    line.find("artifact_info") != std::string::npos ||
                    line.find("dual rootfs") != std::string::npos ||
                    line.find("public key") != std::string::npos)
                    continue;
            }
            if (line.find("%") != std::string::npos || line.find("|---") != std::string::npos)
                continue;
            lines += "   " + line + "\n";
        }
        return lines;
    }

    std::unique_ptr<MenderDevice> device;
    std::string first, second;
    std::string transcript;
};

// In standalone mode the client keeps no state for an install cut short;
// the module does: an install after the cut keeps the backup taken before
// it, so that a rollback returns to what the client reports.
TEST_F(PowerCut, AfterACutTheNextInstallRollsBackToTheCommittedArtifact) {
    cut_first_install();
    const Outcome commit = mender({"commit"});
    EXPECT_NE(commit.out.find("nothing to commit"), std::string::npos) << commit.out;
    EXPECT_EQ(device->installed_artifact(), "factory\n");

    EXPECT_EQ(mender({"install", second}).status, 0);
    const Outcome rollback = mender({"rollback"});
    EXPECT_EQ(rollback.status, 0);
    EXPECT_NE(rollback.out.find("update-cfg: rolled back"), std::string::npos);
    expect_end(Updates::kNone, "factory", false);
    EXPECT_FALSE(exists(device->host_path(kStateDir)));
}

// Another artifact installed after the cut: the kept update is finished
// first, so every store has both.
TEST_F(PowerCut, AfterACutAnotherArtifactFinishesTheKeptUpdateFirst) {
    cut_first_install();
    const Outcome install = mender({"install", second});
    EXPECT_EQ(install.status, 0);
    EXPECT_NE(install.out.find("update-cfg: finishing the update file kept"), std::string::npos);
    EXPECT_EQ(mender({"commit"}).status, 0);
    expect_end(Updates::kBoth, "site-2", false);
    EXPECT_FALSE(exists(device->host_path(kStateDir)));
}

// The same, but the kept update cannot be finished (/config read-only): the
// install refuses and its rollback keeps the update file and record, which
// the next install finishes once /config can be written.
TEST_F(PowerCut, AKeptUpdateThatCannotBeFinishedStaysForTheNextInstall) {
    cut_first_install();
    device->read_only_config = true;
    const Outcome install = mender({"install", second});
    EXPECT_NE(install.status, 0);
    EXPECT_NE(install.out.find("could not be finished"), std::string::npos);
    EXPECT_EQ(install.out.find("update-cfg: rolled back"), std::string::npos);
    EXPECT_TRUE(exists(device->host_path(kUpdate)));
    EXPECT_TRUE(exists(device->host_path(kRecord)));
    EXPECT_EQ(read_file(device->host_path(kUpdate)), sample(kUpdate));
    transcript += "-- after the refused install:\n";
    end_state();

    device->read_only_config = false;
    EXPECT_EQ(mender({"install", second}).status, 0);
    EXPECT_EQ(mender({"commit"}).status, 0);
    expect_end(Updates::kBoth, "site-2", false);
}

// The same artifact again after the cut, with a setting changed on the
// device in a store that had taken the update: the progress record, written
// for this content, keeps the tool from applying it there again.
TEST_F(PowerCut, TheSameArtifactAgainKeepsTheRecordOfItsContent) {
    cut_first_install();
    const std::string working = device->host_path(kConfigs[0]);
    std::string xml = read_file(working);
    const size_t port = xml.find("<HTTP>8080<");
    ASSERT_NE(port, std::string::npos);
    xml.replace(port, 11, "<HTTP>8081<");
    write_file(working, xml);

    EXPECT_EQ(mender({"install", first}).status, 0);
    EXPECT_EQ(mender({"commit"}).status, 0);
    transcript += "-- end: client reports " + device->installed_artifact();
    end_state();
    EXPECT_EQ(read_file(working), xml) << "the device's change was set back";
    for (size_t i = 1; i < kConfigs.size(); ++i)
        EXPECT_EQ(read_file(device->host_path(kConfigs[i])),
                  expected_config(kConfigs[i], Updates::kFirst));
    EXPECT_EQ(device->installed_artifact(), "site-1\n");
    EXPECT_FALSE(exists(device->host_path(kUpdate)));
}

// An install while another awaits its commit, then a rollback: the
// configurations return to the artifact the client reports, the factory's.
TEST_F(PowerCut, AnInstallOverOneAwaitingItsCommitRollsBackToTheCommittedArtifact) {
    EXPECT_EQ(mender({"install", first}).status, 0);
    EXPECT_EQ(mender({"install", second}).status, 0);
    const Outcome rollback = mender({"rollback"});
    EXPECT_EQ(rollback.status, 0);
    expect_end(Updates::kNone, "factory", false);
}

// Anything but a regular file at a configuration's path is refused before
// anything changes: a FIFO would block the backup's copy.
TEST_F(PowerCut, AFifoAtAConfigurationsPathIsRefused) {
    const std::string fifo = device->host_path(kConfigs[1]);
    ASSERT_EQ(unlink(fifo.c_str()), 0);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    const Outcome install = mender({"install", first});
    EXPECT_NE(install.status, 0);
    EXPECT_NE(install.out.find("refused: /mnt/mtd/app/config.xml.default is a FIFO"),
              std::string::npos);
    EXPECT_EQ(read_file(device->host_path(kConfigs[0])),
              expected_config(kConfigs[0], Updates::kNone));
    EXPECT_FALSE(exists(device->host_path(kUpdate)));
    EXPECT_EQ(device->installed_artifact(), "factory\n");
}

// Two configurations that are one file (a hard link): the install makes them
// two (the tool saves each by a new file), the rollback one again.
TEST_F(PowerCut, HardLinkedConfigurationsAreOneFileAgainAfterARollback) {
    const std::string working = device->host_path(kConfigs[0]);
    const std::string defaults = device->host_path(kConfigs[1]);
    ASSERT_EQ(unlink(defaults.c_str()), 0);
    ASSERT_EQ(link(working.c_str(), defaults.c_str()), 0);
    const std::string before = read_file(working);
    device->read_only_config = true;
    const Outcome install = mender({"install", first});
    EXPECT_NE(install.status, 0);
    EXPECT_NE(install.out.find("update-cfg: rolled back"), std::string::npos);
    struct stat a {
    }, b{};
    ASSERT_EQ(stat(working.c_str(), &a), 0);
    ASSERT_EQ(stat(defaults.c_str(), &b), 0);
    EXPECT_EQ(a.st_ino, b.st_ino);
    EXPECT_EQ(a.st_nlink, 2u);
    EXPECT_EQ(read_file(working), before);
    EXPECT_FALSE(exists(device->host_path(kUpdate)));
}

}  // namespace

namespace {

// A power cut before each command the module runs in an install, and in a
// rollback of an installed update; then what a device does next: the client
// is asked to roll back (again), and where it has nothing to roll back, the
// artifact is installed again and rolled back.  Every run ends with the
// configurations of the artifact the client reports (the factory's), no
// update file, no record, no backup.  By default a dozen of the commands
// of each, spread over the run; UPDATE_CFG_FULL_SWEEPS=1 cuts before every one.
struct CutSweep {
    const char *name;
    bool install_first;  // the update installed before the cut run
    bool cut_install;    // the cut stops an install, else a rollback
};

std::vector<std::string> run_of(const CutSweep &sweep, const std::string &artifact) {
    if (sweep.cut_install) return {"install", artifact};
    return {"rollback"};
}

// A sample device without its update file, holding the first artifact at
// the same path as the fixture's device does.
std::unique_ptr<MenderDevice> sweep_device(const std::string &artifact) {
    auto device = std::make_unique<MenderDevice>();
    write_file(device->artifacts() + "/site-1.mender", read_file(artifact));
    return device;
}

TEST_F(PowerCut, ACutBeforeAnyModuleCommandEndsAsTheClientReports) {
    const std::vector<CutSweep> sweeps = {
        {"install", false, true},
        {"rollback", true, false},
    };
    for (const CutSweep &sweep : sweeps) {
        // How many commands the run makes without a cut.
        size_t total = 0;
        {
            const auto holder = sweep_device(first);
            MenderDevice &counting = *holder;
            const std::string artifact = counting.artifacts() + "/site-1.mender";
            if (sweep.install_first) {
                ASSERT_EQ(counting.mender({"install", artifact}).status, 0);
            }
            counting.cut_plan = "record";
            counting.mender(run_of(sweep, artifact));
            const std::string calls = counting.cut_calls();
            total = std::count(calls.begin(), calls.end(), '\n');
        }
        ASSERT_GT(total, 10u) << sweep.name;
        const std::vector<size_t> points = sweep_points(1, total, 12);
        transcript += std::string("-- ") + sweep.name + ": " + std::to_string(total) +
                      " module commands, a cut before " + std::to_string(points.size()) +
                      " of them\n";
        for (const size_t n : points) {
            SCOPED_TRACE(std::string(sweep.name) + ": cut before command " + std::to_string(n));
            const auto owner = sweep_device(first);
            MenderDevice &cut = *owner;
            const std::string artifact = cut.artifacts() + "/site-1.mender";
            if (sweep.install_first) {
                ASSERT_EQ(cut.mender({"install", artifact}).status, 0);
            }
            cut.cut_plan = "before " + std::to_string(n);
            cut.mender(run_of(sweep, artifact));
            EXPECT_NE(cut.cut_made(), "");
            cut.cut_plan = "";
            const Outcome again = cut.mender({"rollback"});
            if (again.status != 0) {
                EXPECT_EQ(cut.mender({"install", artifact}).status, 0);
                EXPECT_EQ(cut.mender({"rollback"}).status, 0);
            }
            for (const std::string &config : kConfigs)
                EXPECT_EQ(read_file(cut.host_path(config)), expected_config(config, Updates::kNone))
                    << config;
            EXPECT_EQ(cut.installed_artifact(), "factory\n");
            EXPECT_FALSE(exists(cut.host_path(kUpdate)));
            EXPECT_FALSE(exists(cut.host_path(kRecord)));
            // A cut before the state folder's own removal may leave it empty.
            EXPECT_FALSE(exists(cut.host_path(kStateDir + "/backup")));
        }
    }
}

}  // namespace

namespace {

// /mnt/mtd/app on a small ext4 image (its own folder, so that the test
// process's mount is what the sandbox binds), filled but for free_bytes.
class NearlyFullApplicationFolder {
  public:
    NearlyFullApplicationFolder(const MenderDevice &device, long long free_bytes)
        : app_(device.host_path("/mnt/mtd/app")) {
        if (!fs_.mounted()) return;
        if (!shell_succeeds("cp -a '" + app_ + "/.' '" + fs_ / "" + "'") ||
            mount((fs_ / "").c_str(), app_.c_str(), nullptr, MS_BIND, nullptr) != 0)
            return;
        bound_ = true;
        const std::string filler = app_ + "/filler";
        fill_file_system(filler);
        struct stat st {};
        if (stat(filler.c_str(), &st) == 0 && st.st_size >= free_bytes)
            filled_ = truncate(filler.c_str(), st.st_size - free_bytes) == 0;
    }
    ~NearlyFullApplicationFolder() {
        if (bound_) umount2(app_.c_str(), MNT_DETACH);
    }
    bool ready() const { return bound_ && filled_; }
    std::string why() const { return fs_.mounted() ? "cannot fill the image" : fs_.why(); }

  private:
    std::string app_;
    WholeSecondFileSystem fs_{"2M"};
    bool bound_ = false, filled_ = false;
};

// The application folder nearly full, from no room at all to room for
// everything: an install either takes the update everywhere, or its
// rollback puts every configuration back and removes the update file and
// its record, or the rollback says what it could not restore and keeps the
// update file and its record for the next run.  One of them must be the
// case where the second configuration's save fails after the first one's
// succeeded: the rollback then makes room from its own files to restore the
// first.
TEST_F(PowerCut, ANearlyFullApplicationFolderRollsBackOrKeepsTheUpdate) {
    bool second_save_failed = false;
    for (long long free_kib = 0; free_kib <= 12; ++free_kib) {
        const auto holder = sweep_device(first);
        MenderDevice &nearly_full = *holder;
        const NearlyFullApplicationFolder app(nearly_full, free_kib * 1024);
        if (!app.ready()) GTEST_SKIP() << app.why();
        const Outcome install =
            nearly_full.mender({"install", nearly_full.artifacts() + "/site-1.mender"});
        const std::string at = std::to_string(free_kib) + " KiB free";
        transcript += "-- " + at + ": install exit " + std::to_string(install.status) + "\n" +
                      client_lines(install.out);
        std::vector<std::string> have;
        for (const std::string &config : kConfigs)
            have.push_back(read_file(nearly_full.host_path(config)));
        const bool kept = exists(nearly_full.host_path(kUpdate)),
                   recorded = exists(nearly_full.host_path(kRecord));
        bool all_old = true, all_new = true;
        for (size_t i = 0; i < kConfigs.size(); ++i) {
            all_old = all_old && have[i] == expected_config(kConfigs[i], Updates::kNone);
            all_new = all_new && have[i] == expected_config(kConfigs[i], Updates::kFirst);
        }
        if (install.status == 0) {
            EXPECT_TRUE(all_new) << at;
            continue;
        }
        const bool said_incomplete = install.out.find("could not restore") != std::string::npos &&
                                     install.out.find("rollback incomplete") != std::string::npos;
        if (install.out.find("save /mnt/mtd/app/config.xml.default  failed!") !=
                std::string::npos &&
            install.out.find("save /mnt/mtd/app/config.xml  failed!") == std::string::npos) {
            second_save_failed = true;
            EXPECT_TRUE(all_old) << at << ": config.xml not restored";
        }
        if (said_incomplete) {
            EXPECT_TRUE(kept && recorded) << at << ": an incomplete rollback lost the update";
        } else {
            EXPECT_TRUE(all_old) << at << ": not rolled back, and it did not say so";
            EXPECT_FALSE(kept || recorded) << at << ": rolled back, the update file stays";
        }
    }
    EXPECT_TRUE(second_save_failed) << "no free room made the second save fail";
}

}  // namespace
