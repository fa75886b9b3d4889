// The Mender module under every power cut the crash-state explorer builds:
// its ArtifactInstall, then ArtifactRollback as the recovery; and its
// ArtifactRollback of an installed update, then ArtifactRollback again.  The
// module is run as the client runs it (update-cfg STATE FILES, in FILES),
// in a child process with a mount namespace and a root of its own, the
// host's folders bound into it but for /mnt and /config, which are scratch
// file systems: those and FILES are the explorer's roots.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <iostream>
#include <string>
#include <tuple>
#include <vector>

#include "crash_explorer.h"
#include "device_tree.h"
#include "process.h"
#include "scratch.h"
#include "strace_log.h"

using namespace testing_support;
using namespace crash_states;

namespace {

// A file of the device tree, at its path on the device.
std::string content(const Tree &tree, const std::string &path) {
    const Node *node = follow(tree, "/" + path);
    return node && node->kind == Kind::file ? node->bytes : "<missing>";
}

bool contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

// The module as the client calls it, with the tool first on the PATH and
// what it says to standard error in its output.
std::vector<std::string> module(const std::string &state, const std::string &files) {
    return {"/usr/bin/env",
            std::string("PATH=") + TOOL_FOLDER + ":/usr/sbin:/usr/bin:/sbin:/bin",
            "/bin/sh",
            "-c",
            "exec \"$0\" \"$@\" 2>&1",
            MODULE,
            state,
            files};
}

class ModuleScenario {
  public:
    // old and updated: the configurations before and after a whole install.
    ModuleScenario(const std::string &name, const std::vector<std::string> &roots,
                   const std::string &state, const std::map<std::string, std::string> &old,
                   const std::map<std::string, std::string> &updated)
        : old_(old), new_(updated) {
        scenario_.name = name;
        scenario_.roots = roots;
        scenario_.command = module(state, roots.front());
        scenario_.recovery = module("ArtifactRollback", roots.front());
        recording_ = record(scenario_);
        scenario_.check = [this](const Tree &tree, const CrashPoint &,
                                 std::vector<std::string> &problems) {
            for (const std::string &config : kConfigs) {
                const std::string now = content(tree, config);
                if (now != old_.at(config) && now != new_.at(config))
                    problems.push_back(config + " is neither old nor new");
            }
        };
        scenario_.check_recovered = [this](const Tree &crashed, const Tree &recovered,
                                           const CrashPoint &, const Outcome &rollback,
                                           std::vector<std::string> &problems) {
            check_recovered(crashed, recovered, rollback, problems);
        };
    }

    const Scenario &scenario() const { return scenario_; }
    const Recording &recording() const { return recording_; }

  private:
    void check_recovered(const Tree &crashed, const Tree &recovered, const Outcome &rollback,
                         std::vector<std::string> &problems) const {
        std::string unrestored;
        for (const std::string &config : kConfigs)
            if (content(recovered, config) != old_.at(config)) unrestored += " " + config;
        const std::string said = " (it said: " + rollback.out + ")";
        if (!unrestored.empty() && contains(rollback.out, "rolled back"))
            problems.push_back("\"rolled back\" over" + unrestored + said);
        if (rollback.status == 0) {
            if (!unrestored.empty())
                problems.push_back("the rollback exited 0, not restored:" + unrestored + said);
            if (recovered.count("/" + kUpdate))
                problems.push_back("the rollback exited 0 and left the update file" + said);
            return;
        }
        if (!contains(rollback.out, "could not restore") &&
            !contains(rollback.out, "rollback impossible"))
            problems.push_back("the rollback failed without saying what it could not restore" +
                               said);
        for (const std::string &kept : {kUpdate, kRecord})
            if (crashed.count("/" + kept) && content(recovered, kept) != content(crashed, kept))
                problems.push_back("the failed rollback did not keep " + kept + said);
    }

    std::map<std::string, std::string> old_, new_;
    Scenario scenario_;
    Recording recording_;
};

enum class Run { install, rollback };

using Case = std::tuple<Run, Model>;

std::string case_name(const testing::TestParamInfo<Case> &info) {
    const auto [run, model] = info.param;
    return std::string(run == Run::install ? "Install" : "Rollback") +
           (model == Model::conservative ? "Conservative" : "OrderedMetadata");
}

std::map<std::string, std::string> configs(const Tree &tree) {
    std::map<std::string, std::string> bytes;
    for (const std::string &config : kConfigs) bytes[config] = content(tree, config);
    return bytes;
}

// A root of the host's folders, bound, with /mnt and /config empty folders
// of its own (the host need not have a /config), entered by chroot; in a
// mount namespace of this process's own.
bool device_root(const std::string &root) {
    if (mkdir(root.c_str(), 0755) != 0 || !mount_tmpfs(root, "1m")) return false;
    DIR *top = opendir("/");
    if (!top) return false;
    bool made = true;
    while (const dirent *entry = readdir(top)) {
        const std::string name = entry->d_name, inside = root + "/" + name;
        if (name == "." || name == ".." || name == "mnt" || name == "config") continue;
        struct stat st {};
        if (lstat(("/" + name).c_str(), &st) != 0) continue;
        if (S_ISLNK(st.st_mode)) {
            char target[PATH_MAX];
            const ssize_t n = readlink(("/" + name).c_str(), target, sizeof target - 1);
            made = made && n > 0 && symlink(std::string(target, n).c_str(), inside.c_str()) == 0;
        } else if (S_ISDIR(st.st_mode)) {
            made = made && mkdir(inside.c_str(), 0755) == 0 &&
                   mount(("/" + name).c_str(), inside.c_str(), nullptr, MS_BIND | MS_REC,
                         nullptr) == 0;
        }
    }
    closedir(top);
    return made && mkdir((root + "/mnt").c_str(), 0755) == 0 &&
           mkdir((root + "/config").c_str(), 0755) == 0 && chroot(root.c_str()) == 0 &&
           chdir("/") == 0;
}

// In a child with its own mount namespace: the device's folders laid on
// scratch file systems, the scenario explored; the number of failing states.
int explore(const Case &c, const std::string &files) {
    const auto [run, model] = c;
    for (const char *folder : {"/mnt", "/config"})
        if (!mount_tmpfs(folder, "16m")) return 254;
    if (!shell_succeeds("cp -R '" + kSampleTree + "/mnt/.' /mnt && cp -R '" + kSampleTree +
                        "/config/.' /config && mkdir -p '" + files + "/files' '" + files +
                        "/tmp' && mv /mnt/mtd/app/update.cfg '" + files + "/files/'"))
        return 254;
    const std::vector<std::string> roots = {files, "/mnt", "/config"};
    const Tree start = scan(roots);
    const Outcome installed = run_program(module("ArtifactInstall", files), files);
    const Tree after = scan(roots);
    if (installed.status != 0) {
        std::cout << "the install failed: " << installed.out << "\n";
        return 254;
    }
    if (run == Run::install) materialize(start, roots);
    const std::string name = run == Run::install ? "module install" : "module rollback";
    const ModuleScenario module(name, roots,
                                run == Run::install ? "ArtifactInstall" : "ArtifactRollback",
                                configs(start), configs(after));
    Bounds bounds;
    bounds.samples = 2;
    bounds.kill_stride = 6;
    const std::string what = name + ", " + model_name(model);
    const size_t failing =
        explore_both(module.scenario(), module.recording(), model, bounds,
                     what + ", power cut during the run, then ArtifactRollback",
                     what + ", run killed, power cut during or after ArtifactRollback");
    return failing > 200 ? 200 : static_cast<int>(failing);
}

class ModuleCrashExplorer : public testing::TestWithParam<Case> {};

TEST_P(ModuleCrashExplorer, EveryRollbackIsTrueToWhatItSays) {
    if (!strace_note().empty()) GTEST_SKIP() << strace_note();
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a mount namespace";
    ScratchDir dir;
    const std::string files = real_path(dir.path()) + "/files";
    ASSERT_EQ(mkdir(files.c_str(), 0755), 0);
    const Case c = GetParam();
    const std::function<int()> body = [&] {
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            !device_root(real_path(dir.path()) + "/root"))
            return 253;
        return explore(c, files);
    };
    const int failing = in_child(body);
    ASSERT_NE(failing, 253) << "no private mount namespace";
    ASSERT_NE(failing, 254) << "the scratch device could not be laid out";
    EXPECT_EQ(failing, 0);
}

INSTANTIATE_TEST_SUITE_P(Module, ModuleCrashExplorer,
                         testing::Combine(testing::Values(Run::install, Run::rollback),
                                          testing::Values(Model::conservative, Model::ordered)),
                         case_name);

}  // namespace
