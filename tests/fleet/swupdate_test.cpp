// The update-cfg SWUpdate image under the real engine: `swupdate -i` of an
// image built and signed by scripts/swupdate-image.sh, in a sandboxed device,
// with a throwaway key made here.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sandbox.h"

using namespace testing_support;
using fleet_testing::device_state;
using fleet_testing::installer_verdict;
using fleet_testing::SwupdateDevice;
using fleet_testing::Verdict;

namespace {

const std::string kSampleUpdate = kSampleTree + "/" + kUpdate;
const std::string kWork = "/mnt/mtd/app/.update-cfg.swupdate";

std::string quoted(const std::string &text) {
    return "'" + text + "'";
}

// The image of an update file, built as an operator builds it.
Outcome build_image(const std::string &update_file, const std::string &revision,
                    const std::string &out, const std::string &key, const std::string &cert) {
    return run_program({"/bin/sh", "-c",
                        "exec bash '" SOURCE_TREE "/scripts/swupdate-image.sh' \"$@\" 2>&1", "sh",
                        update_file, revision, out, key, cert});
}

// The sample device after its update: the expected configurations, nothing
// else added, the update file gone.
std::map<std::string, std::string> updated_sample_state(const SwupdateDevice &device) {
    auto state = device_state(device.root());
    for (const std::string &config : kConfigs) {
        const size_t end = state[config].find(' ', state[config].find(' ') + 1);
        state[config] = state[config].substr(0, end + 1) + expected(config);
    }
    return state;
}

class Swupdate : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        keys_ = new ScratchDir;
        for (const char *name : {"signer", "stranger"}) {
            const std::string base = (*keys_ / name);
            ASSERT_TRUE(
                shell_succeeds("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "
                               "'/CN=update-cfg test " +
                               std::string(name) + "' -keyout '" + base + ".key.pem' -out '" +
                               base + ".cert.pem'"));
        }
    }
    static void TearDownTestSuite() {
        delete keys_;
        keys_ = nullptr;
    }
    void SetUp() override {
        const std::string why = fleet_testing::sandbox_unavailable();
        if (!why.empty()) GTEST_SKIP() << why;
        ASSERT_TRUE(shell_succeeds("command -v swupdate"))
            << "swupdate is not installed (scripts/setup.sh installs it)";
    }
    static std::string key(const char *who = "signer") { return *keys_ / who + ".key.pem"; }
    static std::string cert(const char *who = "signer") { return *keys_ / who + ".cert.pem"; }

    // The image of update_file for revision 1.0, in the device's artifacts.
    std::string image_of(const SwupdateDevice &device, const std::string &update_file,
                         const char *signer = "signer", const std::string &revision = "1.0") {
        const std::string out = device.artifacts() + "/site.swu";
        const Outcome build = build_image(update_file, revision, out, key(signer), cert(signer));
        EXPECT_EQ(build.status, 0) << build.out;
        return out;
    }
    // Installs image, checked with the signer's certificate; the exit status
    // goes to the test's log beside the installer's verdict.  `swupdate -i`
    // 2022.12 now and then ends before its installer does (it prints "SWUpdate
    // was successful !" and exits 1 with no verdict of the installer's, and
    // the rest of the install dies with it): that is a cut install, and the
    // image is installed again, as an operator would, a few times at most.
    static Outcome install(const SwupdateDevice &device, const std::string &image) {
        const std::string device_cert = cert_on(device);
        const char *said[] = {"successful", "failed", "refused", "nothing"};
        Outcome outcome;
        for (int attempt = 1; attempt <= kAttempts; ++attempt) {
            outcome = device.swupdate(image, device_cert);
            const Verdict verdict = installer_verdict(outcome.out);
            std::cout << "swupdate -i exited " << outcome.status << ", the installer said "
                      << said[static_cast<int>(verdict)] << "\n";
            if (verdict != Verdict::none) break;
        }
        return outcome;
    }
    static constexpr int kAttempts = 4;
    void power_cut_sweep(bool read_only_config);
    // The signer's certificate where the sandbox sees it.
    static std::string cert_on(const SwupdateDevice &device) {
        const std::string device_cert = device.artifacts() + "/signer.cert.pem";
        write_file(device_cert, read_file(cert()));
        return device_cert;
    }

    static ScratchDir *keys_;
};

ScratchDir *Swupdate::keys_ = nullptr;

TEST_F(Swupdate, SampleUpdateIsApplied) {
    SwupdateDevice device;
    const std::string image = image_of(device, kSampleUpdate);
    const auto after = updated_sample_state(device);

    const Outcome run = install(device, image);
    EXPECT_EQ(installer_verdict(run.out), Verdict::successful) << run.out;
    EXPECT_NE(run.out.find("SWUpdate was successful !"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("Hardware compatibility verified"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("update-cfg: update applied to the configurations"), std::string::npos)
        << run.out;
    // The tool's own lines are in the installer's log.
    EXPECT_NE(run.out.find("SetValueToConfig value = Gate & Yard, len = 11"), std::string::npos);
    EXPECT_EQ(device_state(device.root()), after);
    EXPECT_FALSE(exists(device.host_path(kUpdate)));
    EXPECT_FALSE(exists(device.host_path(kWork)));
}

// A progress record left without its update file (a run that outlived a
// rollback, a power cut between the tool's two deletions) does not make the
// same update skip the stores it names: neither start at boot runs the tool
// to drop it.
TEST_F(Swupdate, RecordWithoutItsUpdateFileIsNotTrusted) {
    SwupdateDevice device;
    const auto after = updated_sample_state(device);
    const std::string progress = device.host_path(kRecord);
    ASSERT_TRUE(fleet_testing::write_progress_record(kSampleUpdate, kConfigs, progress));

    const Outcome run = install(device, image_of(device, kSampleUpdate));
    EXPECT_EQ(installer_verdict(run.out), Verdict::successful) << run.out;
    EXPECT_EQ(run.out.find("has this update already"), std::string::npos) << run.out;
    EXPECT_EQ(device_state(device.root()), after);
    EXPECT_FALSE(exists(progress));
}

// Only the tool's own failure lines count: a value that says "failed!" is
// echoed by the tool and still applied.
TEST_F(Swupdate, ValueThatSaysFailedIsApplied) {
    SwupdateDevice device;
    write_file(device.artifacts() + "/title.cfg", "SYSTEM.DEVICE_NAME=save x  failed!\n");
    const Outcome run = install(device, image_of(device, device.artifacts() + "/title.cfg"));
    EXPECT_EQ(installer_verdict(run.out), Verdict::successful) << run.out;
    fleet_testing::expect_applied(device, "<DEVICE_NAME>save x  failed!</DEVICE_NAME>");
}

// The image builder refuses, with the reason, what it cannot put in an image
// whole, and leaves no image behind.
TEST_F(Swupdate, BuilderRefusesWhatItCannotCarry) {
    ScratchDir dir;
    write_file(dir / "nul.cfg", std::string("NET.IP=10.0.0.1\n\0NET.PORT=1\n", 28));
    ASSERT_EQ(mkfifo((dir / "fifo.cfg").c_str(), 0644), 0);
    ASSERT_EQ(mkdir((dir / "folder.cfg").c_str(), 0755), 0);
    write_file(dir / "secret.cfg", "NET.IP=10.0.0.1\n");
    ASSERT_EQ(chmod((dir / "secret.cfg").c_str(), 0), 0);
    ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
    struct {
        std::string update, revision, printed;
        bool as_nobody;
    } cases[] = {
        {dir / "nul.cfg", "1.0", "nul.cfg: holds a NUL byte", false},
        {dir / "fifo.cfg", "1.0", "fifo.cfg: not a regular file", false},
        {dir / "folder.cfg", "1.0", "folder.cfg: not a regular file", false},
        {"/dev/null", "1.0", "/dev/null: not a regular file", false},
        {dir / "missing.cfg", "1.0", "missing.cfg: no such file", false},
        {dir / "secret.cfg", "1.0", "secret.cfg: not readable", true},
        {kSampleUpdate, "1.0\" ]; x = [ \"", "hardware revision", false},
        {kSampleUpdate, "1.0\nx", "hardware revision", false},
        {kSampleUpdate, "", "hardware revision", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.printed);
        const std::string out = dir / "out.swu";
        std::vector<std::string> argv = {
            "bash", SOURCE_TREE "/scripts/swupdate-image.sh", c.update, c.revision, out, key(),
            cert()};
        if (c.as_nobody) {
            // root reads any file: the unreadable one is read as nobody.
            if (geteuid() != 0) continue;
            write_file(dir / "k.pem", read_file(key()));
            write_file(dir / "c.pem", read_file(cert()));
            ASSERT_EQ(chmod((dir / "k.pem").c_str(), 0644), 0);
            argv = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                    "bash",    argv[1],         c.update,        c.revision,
                    out,       dir / "k.pem",   dir / "c.pem"};
        }
        argv.insert(argv.begin(), {"/usr/bin/env", "sh", "-c", "exec \"$0\" \"$@\" 2>&1"});
        const Outcome build = run_program(argv);
        EXPECT_EQ(build.status, 2) << build.out;
        EXPECT_NE(build.out.find("refused: "), std::string::npos) << build.out;
        EXPECT_NE(build.out.find(c.printed), std::string::npos) << build.out;
        EXPECT_FALSE(exists(out));
    }
}

struct FailingInstall {
    const char *name;
    std::function<void(SwupdateDevice &)> arrange;
    const char *printed;  // a line of the install's log that says why
};

// Each starts from the sample tree without its update file.  The install
// fails, the image's script restores, and the device is as it was: the same
// files with the same bytes, modes and owners, no update file, no progress
// record, no temporary file, no work folder.
const std::vector<FailingInstall> kFailingInstalls = {
    {"read-only /config: the third save fails, the tool keeps the update file",
     [](SwupdateDevice &device) { device.read_only_config = true; },
     "save /config/config.xml.default  failed!"},
    {"a configuration of another mode and owner, /config read-only: both are restored",
     [](SwupdateDevice &device) {
         const std::string config = device.host_path(kConfigs[0]);
         ASSERT_EQ(chmod(config.c_str(), 0640), 0);
         ASSERT_EQ(chown(config.c_str(), 1234, 4321), 0);
         device.read_only_config = true;
     },
     "update-cfg: restored /mnt/mtd/app/config.xml"},
    {"working configuration on a link, /config read-only: the link's target is restored",
     fleet_testing::link_working_configuration, "save /config/config.xml.default  failed!"},
    {"unreadable working configuration: the update file is consumed, but a line failed",
     fleet_testing::truncate_working_configuration, "open /mnt/mtd/app/config.xml  failed!"},
    {"a tool that stops half way, leaving a changed file, its update file, a progress record and "
     "temporaries",
     [](SwupdateDevice &device) {
         fleet_testing::use_tool_stand_in(device, fleet_testing::kHalfWay);
     },
     "update-cfg: update_cfg exited with status 137"},
    {"a tool that fails in the middle of a line: the reason is a line of its own",
     [](SwupdateDevice &device) {
         fleet_testing::use_tool_stand_in(device, "printf 'value  = [half'\nexit 3\n");
     },
     "ERROR : update-cfg: update_cfg exited with status 3; rolled back"},
};

TEST_F(Swupdate, FailedInstallIsRestoredByteForByte) {
    for (const FailingInstall &c : kFailingInstalls) {
        SCOPED_TRACE(c.name);
        SwupdateDevice device;
        c.arrange(device);
        const auto before = device_state(device.root());
        const std::string image = image_of(device, kSampleUpdate);

        const Outcome run = install(device, image);
        EXPECT_NE(run.status, 0) << run.out;
        EXPECT_EQ(installer_verdict(run.out), Verdict::failed) << run.out;
        EXPECT_NE(run.out.find(c.printed), std::string::npos) << run.out;
        EXPECT_NE(run.out.find("; rolled back: the configurations are as before the update"),
                  std::string::npos)
            << run.out;
        EXPECT_EQ(device_state(device.root()), before);
        EXPECT_FALSE(exists(device.host_path(kUpdate)));
        EXPECT_FALSE(exists(device.host_path(kRecord)));
    }
}

struct Refusal {
    const char *name;
    // Changes the built image, or the device, before the install.
    std::function<void(SwupdateDevice &, const std::string &image)> arrange;
    const char *printed;
};

// Unpacks the image in a folder beside it, runs change there and packs it
// again, as someone without the signing key would.
void repack(const std::string &image, const std::string &change) {
    const std::string dir = image + ".d";
    ASSERT_TRUE(shell_succeeds("{ mkdir '" + dir + "' && cd '" + dir + "' && cpio -idm --quiet <" +
                               quoted(image) + " && " + change +
                               " && printf '%s\\n' sw-description sw-description.sig update.cfg "
                               "update-cfg.sh | cpio -o -H crc --quiet >" +
                               quoted(image) + "; }"));
}

// Refused before anything changes: an update file already waiting on the
// device (the sample's own) stays as it is.
TEST_F(Swupdate, RefusedImageChangesNothing) {
    const std::vector<Refusal> cases = {
        {"the update file changed after signing",
         [](SwupdateDevice &, const std::string &image) {
             repack(image, "echo NET.IP=10.6.6.6 >>update.cfg");
         },
         "HASH mismatch"},
        {"the install script changed after signing",
         [](SwupdateDevice &, const std::string &image) {
             repack(image, "sed -i 's/^PHASE=/touch \\/mnt\\/owned; PHASE=/' update-cfg.sh");
         },
         "HASH mismatch"},
        {"sw-description changed to the changed update file's hash",
         [](SwupdateDevice &, const std::string &image) {
             repack(image,
                    "old=$(sha256sum update.cfg | cut -d' ' -f1) && echo NET.IP=10.6.6.6 "
                    ">>update.cfg && new=$(sha256sum update.cfg | cut -d' ' -f1) && sed -i "
                    "\"s/$old/$new/\" sw-description");
         },
         "Signature verification failed"},
        {"a byte of the archive changed in place",
         [](SwupdateDevice &, const std::string &image) {
             std::string bytes = read_file(image);
             const size_t at = bytes.find("10.0.0.42");
             ASSERT_NE(at, std::string::npos);
             bytes[at] = '9';
             write_file(image, bytes);
         },
         "HASH mismatch"},
        {"signed with another key",
         [](SwupdateDevice &device, const std::string &image) {
             ASSERT_EQ(
                 build_image(kSampleUpdate, "1.0", image, key("stranger"), cert("stranger")).status,
                 0);
             (void)device;
         },
         "Authentication of all signatures failed"},
        {"built for another hardware revision",
         [](SwupdateDevice &device, const std::string &) { device.revision = "2.0"; },
         "SW not compatible with hardware"},
        {"a folder where the update file goes",
         [](SwupdateDevice &device, const std::string &) {
             ASSERT_EQ(unlink(device.host_path(kUpdate).c_str()), 0);
             ASSERT_EQ(mkdir(device.host_path(kUpdate).c_str(), 0755), 0);
         },
         "update-cfg: refused: /mnt/mtd/app/update.cfg is not a regular file"},
        {"a FIFO where a configuration is",
         [](SwupdateDevice &device, const std::string &) {
             ASSERT_EQ(unlink(device.host_path(kConfigs[2]).c_str()), 0);
             ASSERT_EQ(mkfifo(device.host_path(kConfigs[2]).c_str(), 0644), 0);
         },
         "update-cfg: refused: /config/config.xml.default is a FIFO"},
        {"no update_cfg on the PATH",
         [](SwupdateDevice &device, const std::string &) { device.tool_folder = "/nonexistent"; },
         "update-cfg: refused: update_cfg is not on the PATH"},
    };
    for (const Refusal &c : cases) {
        SCOPED_TRACE(c.name);
        SwupdateDevice device;
        write_file(device.host_path(kUpdate), sample(kUpdate));
        const std::string image = image_of(device, kSampleUpdate);
        c.arrange(device, image);
        const auto before = device_state(device.root());

        const Outcome run = install(device, image);
        EXPECT_NE(run.status, 0) << run.out;
        // SWUpdate refuses a bad image itself; the image's script refuses a
        // device it cannot install on, in its first run, before SWUpdate
        // writes the update file.
        const bool by_script = std::string(c.printed).rfind("update-cfg: ", 0) == 0;
        EXPECT_EQ(installer_verdict(run.out), by_script ? Verdict::failed : Verdict::refused)
            << run.out;
        EXPECT_NE(run.out.find(c.printed), std::string::npos) << run.out;
        EXPECT_EQ(run.out.find("update-cfg.sh postinst"), std::string::npos) << run.out;
        EXPECT_EQ(device_state(device.root()), before);
    }
}

// A folder of stand-ins for the commands the image's script runs, each a
// step: a call takes the next number and, when it is the number in cut_at,
// cuts the power (kills every process of the sandbox) before the command
// runs; otherwise it runs the command.
struct CutPower {
    explicit CutPower(SwupdateDevice &device) : power(device.root() + "/power") {
        const std::string shims = device.artifacts() + "/shims";
        EXPECT_TRUE(shell_succeeds("mkdir -p '" + power + "' '" + shims + "'"));
        write_file(shims + "/step",
                   "#!/bin/sh\npower='" + power +
                       "'\nn=1\n"
                       "while ! (set -C; : >\"$power/call.$n\") 2>/dev/null; do n=$((n + 1)); "
                       "done\n"
                       "echo \"${0##*/}\" >\"$power/call.$n\"\n"
                       "read -r at <\"$power/cut_at\"\n"
                       "if [ \"$n\" = \"$at\" ]; then\n"
                       "    echo \"${0##*/} $*\" >\"$power/cut\"\n"
                       "    kill -KILL -1\n    kill -KILL $$\nfi\n"
                       "PATH=${PATH#*:} exec \"${0##*/}\" \"$@\"\n");
        EXPECT_EQ(chmod((shims + "/step").c_str(), 0755), 0);
        for (const char *command :
             {"basename", "cat",  "cksum", "cmp", "cp",       "dirname",   "grep",
              "ln",       "ls",   "mkdir", "mv",  "readlink", "rm",        "rmdir",
              "sed",      "stat", "sync",  "tr",  "wc",       "update_cfg"})
            EXPECT_EQ(symlink("step", (shims + "/" + command).c_str()), 0);
        device.path_first = shims;
        device.writable.push_back(power);
    }
    // Arms the cut at step n (0: none) and forgets the calls counted.
    void arm(int n) const {
        EXPECT_TRUE(shell_succeeds("rm -f '" + power + "'/call.* '" + power + "/cut'"));
        write_file(power + "/cut_at", std::to_string(n) + "\n");
    }
    std::string cut() const { return exists(power + "/cut") ? read_file(power + "/cut") : ""; }

    const std::string power;
};

// A power cut before each command the image's script runs (by default ten
// of them, spread over the run; UPDATE_CFG_FULL_SWEEPS=1 for every one), then
// the image installed again: after the cut every configuration is old or new, never
// half of one; after the second install the device is as a whole install
// leaves it (updated, or as before when the install fails and restores).
void Swupdate::power_cut_sweep(bool read_only_config) {
    struct Run {
        std::unique_ptr<SwupdateDevice> device;
        std::unique_ptr<CutPower> power;
        std::string image;
        std::map<std::string, std::string> before, after;
    };
    // A fresh device, installing with the power cut at step n (0: never).
    // A run that `swupdate -i` cut short itself, before the step, is made
    // again on a fresh device: on that one the script would take fewer steps.
    auto run_cut_at = [&](int n) {
        Run run;
        Outcome out;
        for (int attempt = 1; attempt <= kAttempts; ++attempt) {
            run.device = std::make_unique<SwupdateDevice>();
            run.device->read_only_config = read_only_config;
            run.before = device_state(run.device->root());
            run.after = updated_sample_state(*run.device);
            run.power = std::make_unique<CutPower>(*run.device);
            run.image = image_of(*run.device, kSampleUpdate);
            run.power->arm(n);
            out = run.device->swupdate(run.image, cert_on(*run.device));
            if (!run.power->cut().empty() || installer_verdict(out.out) != Verdict::none) {
                EXPECT_TRUE(n == 0 || !run.power->cut().empty())
                    << "step " << n << " not reached:\n"
                    << out.out;
                return run;
            }
        }
        ADD_FAILURE() << "no verdict and no cut in " << kAttempts << " attempts:\n" << out.out;
        return run;
    };

    std::vector<std::string> steps;
    {
        const Run count = run_cut_at(0);
        for (int n = 1; exists(count.power->power + "/call." + std::to_string(n)); ++n)
            steps.push_back(read_file(count.power->power + "/call." + std::to_string(n)));
    }
    ASSERT_GE(steps.size(), 30u) << "the stand-ins did not see the script's commands";
    // The restore's sweep begins after the tool's run: the steps before it
    // are the install's, which the other sweep cuts.
    size_t first = 1;
    if (read_only_config)
        first = std::find(steps.begin(), steps.end(), "update_cfg\n") - steps.begin() + 2;
    const std::vector<size_t> points = sweep_points(first, steps.size(), 10);
    std::cout << steps.size() << " steps, cut at " << points.size() << " from step " << first
              << "\n";
    for (const size_t n : points) {
        SCOPED_TRACE("power cut at step " + std::to_string(n) + ", before " + steps[n - 1]);
        Run run = run_cut_at(static_cast<int>(n));
        ASSERT_FALSE(run.power->cut().empty());
        for (const std::string &config : kConfigs) {
            const std::string now = read_file(run.device->host_path(config));
            EXPECT_TRUE(now == sample(config) || now == expected(config))
                << config << " after the cut:\n"
                << now;
        }

        run.device->path_first.clear();
        const Outcome again = install(*run.device, run.image);
        EXPECT_EQ(installer_verdict(again.out),
                  read_only_config ? Verdict::failed : Verdict::successful)
            << again.out;
        EXPECT_EQ(device_state(run.device->root()), read_only_config ? run.before : run.after);
    }
}

TEST_F(Swupdate, PowerCutAtEachStepOfAnInstallThenInstalledAgain) {
    power_cut_sweep(false);
}

// With /config read-only the install fails: the cuts fall in the restore.
TEST_F(Swupdate, PowerCutAtEachStepOfARestoreThenInstalledAgain) {
    power_cut_sweep(true);
}

}  // namespace
