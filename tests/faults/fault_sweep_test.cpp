// Power cuts and failing system calls at every point of a whole run, made
// with strace's fault injection: a SIGKILL on entry to the n-th call of each
// system call in turn, an error in place of a save's write, fsync, rename or
// temporary-file creation, or an error in place of each open and read of the
// update file and the configurations.  After each, the configuration files
// must be whole, old or new; then a setting is changed on the device in every
// store that holds the update, and one clean run must bring the update to
// every store without setting a changed value back, and take the update file
// and its progress record away.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "device_tree.h"
#include "process.h"
#include "scratch.h"
#include "strace_log.h"

using namespace testing_support;

namespace {

// Changed settings, an equal one, and new elements two levels deep.
const std::string kUpdateContent =
    "NET.IP=10.0.0.42\nNET.PORT.HTTP=8080\nNET.NETMASK=255.255.255.0\n"
    "NET.VLAN.ID=12\nSNMP.COMMUNITY=private\nSYSTEM.DEVICE_NAME=Gate & Yard\n";

using Call = SystemCall;

class FaultSweep : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (!strace_note().empty()) return;
        // What an uninterrupted run leaves behind.
        ScratchDir dir;
        lay_tree(dir);
        run_program({ROOTED_TOOL}, dir.path());
        for (const std::string &config : kConfigs) updated_[config] = read_file(dir / config);
    }

    void SetUp() override {
        if (!strace_note().empty()) GTEST_SKIP() << strace_note();
    }

    // A resumed tree is what a run whose second save failed leaves: the first
    // and third store hold the update, and the progress record says so.
    static void lay_tree(const ScratchDir &dir, bool resumed = false) {
        ASSERT_TRUE(copy_sample_tree(dir.path()));
        write_file(dir / kUpdate, kUpdateContent);
        if (!resumed) return;
        // The third rename is the second store's (the record's comes between).
        run_traced(dir, inject("renameat", "error=EIO", 3));
        ASSERT_TRUE(exists(dir / kRecord));
    }

    // The tool under strace in dir, its trace in log.
    static Outcome run_traced(const ScratchDir &dir, std::vector<std::string> options,
                              const std::string &log = "/dev/null") {
        options.insert(options.begin(), {"-f", "-o", log});
        return run_program(under_strace(options, {ROOTED_TOOL}), dir.path());
    }

    // The tree's own folder reads "." in the trace, as the tool's paths do.
    static std::vector<Call> clean_trace(bool resumed = false) {
        ScratchDir dir;
        lay_tree(dir, resumed);
        run_traced(dir, {}, dir / "trace");
        std::string log = read_file(dir / "trace");
        for (size_t at = log.find(dir.path()); at != std::string::npos;
             at = log.find(dir.path(), at))
            log.replace(at, dir.path().size(), ".");
        return parse_strace(log);
    }

    static std::vector<std::string> temporaries(const ScratchDir &dir) {
        std::vector<std::string> found;
        for (const std::string folder : {"mnt/mtd/app", "config"})
            for (const std::string &name : list_dir(dir / folder))
                if (name.find(".tmp") != std::string::npos) found.push_back(folder + "/" + name);
        return found;
    }

    // The device's own change of a setting the update set.
    static std::string changed_on_device(const std::string &config) {
        return replaced(updated_.at(config), kUpdatedIp, kChangedIp);
    }

    // A run in a fresh tree whose nth call of name fails with error: it
    // keeps the update file for the next run.
    static Outcome run_failing(const ScratchDir &dir, const std::string &name,
                               const std::string &error, int nth, const std::string &where) {
        lay_tree(dir);
        const Outcome outcome = run_traced(dir, inject(name, "error=" + error, nth));
        EXPECT_NE(outcome.out.find(kKeep), std::string::npos) << where << "\n" << outcome.out;
        return outcome;
    }

    // Every configuration that holds the update gets a setting changed on the
    // device; the next run finishes the update as an uninterrupted one would
    // and sets no changed value back, but in the stores of unrecorded: those
    // that took the update when the run stopped, before it could record them.
    static void expect_next_run_completes(const ScratchDir &dir, const std::string &where,
                                          const std::set<std::string> &unrecorded = {}) {
        std::set<std::string> changed;
        for (const std::string &config : kConfigs) {
            if (read_file(dir / config) != updated_.at(config)) continue;
            write_file(dir / config, changed_on_device(config));
            changed.insert(config);
        }
        run_program({ROOTED_TOOL}, dir.path());
        for (const std::string &config : kConfigs) {
            const bool kept_change = changed.count(config) && !unrecorded.count(config);
            EXPECT_EQ(read_file(dir / config),
                      kept_change ? changed_on_device(config) : updated_.at(config))
                << where << ": " << config
                << (kept_change ? " changed on the device was set back" : " lacks the update");
        }
        EXPECT_FALSE(exists(dir / kUpdate)) << where;
        EXPECT_FALSE(exists(dir / kRecord)) << where;
        EXPECT_TRUE(temporaries(dir).empty()) << where;
    }

    static std::map<std::string, std::string> updated_;
};

std::map<std::string, std::string> FaultSweep::updated_;

// The first quoted argument of a call.
std::string quoted(const std::string &args) {
    const size_t open = args.find('"');
    if (open == std::string::npos) return "";
    return args.substr(open + 1, args.find('"', open + 1) - open - 1);
}

// The file of the device tree each call acts on ("mnt/mtd/app/config.xml"),
// or "": named by its path, by a name relative to a folder descriptor (the
// store opens each file's folder and works in it), or by a descriptor.
std::vector<std::string> files_touched(const std::vector<Call> &calls) {
    std::vector<std::string> touched;
    static const std::set<std::string> relative = {"openat", "renameat", "unlinkat", "newfstatat",
                                                   "faccessat2"};
    std::map<std::string, std::string> fds;  // descriptor -> file
    for (const Call &call : calls) {
        const std::string first = call.arguments.substr(0, call.arguments.find(','));
        const std::string name = quoted(call.arguments);
        std::string file;
        if (name.compare(0, 2, "./") == 0)
            file = name.substr(2);
        else if (fds.count(first))
            file = relative.count(call.name) ? fds[first] + "/" + name : fds[first];
        if (call.name == "openat" && call.result != "-1" && !file.empty()) fds[call.result] = file;
        if (call.name == "close") fds.erase(first);
        touched.push_back(file);
    }
    return touched;
}

// The configuration whose temporary file is file, or "".
std::string config_of_temporary(const std::string &file) {
    for (const std::string &config : kConfigs) {
        const size_t slash = config.rfind('/');
        if (file == config.substr(0, slash + 1) + "." + config.substr(slash + 1) + ".tmp")
            return config;
    }
    return "";
}

// The stores that a run stopped on entry to calls[stop] leaves holding the
// update but not yet in the progress record: renamed into place after the
// record's last rename, while the update file is still there.
std::set<std::string> unrecorded_at(const std::vector<Call> &calls, size_t stop) {
    const std::vector<std::string> files = files_touched(calls);
    std::set<std::string> pending;
    for (size_t i = 0; i < stop; ++i) {
        const Call &call = calls[i];
        if (call.name == "renameat" && !config_of_temporary(files[i]).empty()) {
            pending.insert(config_of_temporary(files[i]));
        } else if (call.name == "renameat" && files[i] == kRecord + ".tmp") {
            pending.clear();
        } else if (call.name == "unlink" &&
                   call.arguments.find("/" + kUpdate + "\"") != std::string::npos &&
                   call.result == "0") {
            return {};
        }
    }
    return pending;
}

class KillSweep : public FaultSweep, public testing::WithParamInterface<bool> {};

TEST_P(KillSweep, AtEverySystemCall) {
    const bool resumed = GetParam();
    const std::vector<Call> calls = clean_trace(resumed);
    ASSERT_GT(calls.size(), 50u);
    ScratchDir start;  // laid once: the resumed one takes a run
    lay_tree(start, resumed);
    // The start-up's calls (loader, C library, sanitizer runtime) come before
    // the update file's open and touch nothing of the device tree: the first
    // stands for them all.
    size_t opened = 0;
    while (opened < calls.size() &&
           calls[opened].arguments.find("/" + kUpdate + "\"") == std::string::npos)
        ++opened;
    ASSERT_LT(opened, calls.size());
    std::map<std::string, int> seen;
    int kill_points = 0, unrecorded_points = 0;
    for (size_t index = 0; index < calls.size(); ++index) {
        const Call &call = calls[index];
        const int nth = ++seen[call.name];
        if (index > 0 && index < opened) continue;
        const std::string where = call.name + " #" + std::to_string(nth);
        ScratchDir dir;
        ASSERT_TRUE(shell_succeeds("cp -R '" + start.path() + "/.' '" + dir.path() + "'"));
        std::map<std::string, std::string> before;
        for (const std::string &config : kConfigs) before[config] = read_file(dir / config);
        run_traced(dir, inject(call.name, "signal=KILL", nth));
        ++kill_points;

        int updated = 0;
        for (const std::string &config : kConfigs) {
            const std::string now = read_file(dir / config);
            const bool is_new = now == updated_.at(config);
            EXPECT_TRUE(is_new || now == before.at(config))
                << where << ": " << config << " is a mix";
            updated += is_new;
        }
        if (updated < 3) {
            EXPECT_TRUE(exists(dir / kUpdate)) << where << ": update lost";
        }
        const std::set<std::string> unrecorded = unrecorded_at(calls, index);
        unrecorded_points += !unrecorded.empty();
        expect_next_run_completes(dir, where, unrecorded);
    }
    std::cout << (resumed ? "resumed run" : "first run") << ": kill points covered: " << kill_points
              << " of " << calls.size() << " calls (" << opened - 1
              << " start-up calls stand in the first), of which leave a store updated but not yet "
                 "recorded: "
              << unrecorded_points << "\n";
}

INSTANTIATE_TEST_SUITE_P(FaultSweep, KillSweep, testing::Bool(),
                         [](const testing::TestParamInfo<bool> &info) {
                             return std::string(info.param ? "ResumedRun" : "FirstRun");
                         });

// A call to make fail: the file it is about, and its number among the calls
// of its name.
struct Target {
    std::string file;
    std::string name;
    int nth;
    bool after_rename = false;  // a save's folder fsync: the new content is in place
    std::string where(const std::string &error) const {
        return file + ": " + name + " #" + std::to_string(nth) + " " + error;
    }
};

// Where each save's calls fall.
std::vector<Target> save_calls(const std::vector<Call> &calls) {
    const std::vector<std::string> files = files_touched(calls);
    std::vector<Target> found;
    std::map<std::string, int> seen;
    std::string renamed, renamed_in;  // the config whose folder is flushed next, that folder
    for (size_t i = 0; i < calls.size(); ++i) {
        const Call &call = calls[i];
        const int nth = ++seen[call.name];
        const std::string temporary = config_of_temporary(files[i]);
        if (!temporary.empty() &&
            (call.name == "openat" || call.name == "write" || call.name == "fsync")) {
            found.push_back({temporary, call.name, nth, false});
        } else if (call.name == "renameat" && !temporary.empty()) {
            found.push_back({temporary, "renameat", nth, false});
            renamed = temporary;
            renamed_in = renamed.substr(0, renamed.rfind('/'));
        } else if (call.name == "fsync" && !renamed.empty() && files[i] == renamed_in) {
            found.push_back({renamed, call.name, nth, true});
            renamed.clear();
        }
    }
    return found;
}

TEST_F(FaultSweep, FailingSaveCalls) {
    const std::vector<Target> targets = save_calls(clean_trace());
    int faults = 0;
    for (const Target &target : targets) {
        const std::vector<std::string> errors = target.name == "openat"
                                                    ? std::vector<std::string>{"EACCES", "EROFS"}
                                                    : std::vector<std::string>{"ENOSPC", "EIO"};
        for (const std::string &error : errors) {
            const std::string where = target.where(error);
            ScratchDir dir;
            const Outcome outcome = run_failing(dir, target.name, error, target.nth, where);
            ++faults;
            EXPECT_NE(outcome.out.find("save ./" + target.file + "  failed!\n"), std::string::npos)
                << where;
            for (const std::string &config : kConfigs) {
                const bool untouched = config == target.file && !target.after_rename;
                EXPECT_EQ(read_file(dir / config), untouched ? sample(config) : updated_.at(config))
                    << where << ": " << config;
            }
            EXPECT_TRUE(temporaries(dir).empty()) << where;
            EXPECT_TRUE(exists(dir / kUpdate)) << where;
            // A save whose folder flush failed after the rename reported a
            // failure: its store is not recorded and takes the update again.
            expect_next_run_completes(
                dir, where,
                target.after_rename ? std::set<std::string>{target.file} : std::set<std::string>{});
        }
    }
    EXPECT_GE(faults, 3 * 8) << "every save's open, write, fsync, rename and folder fsync";
    std::cout << "injected save faults covered: " << faults << "\n";
}

// Every open and read of the update file and of the configurations.
std::vector<Target> open_and_read_calls(const std::vector<Call> &calls) {
    const std::vector<std::string> files = files_touched(calls);
    std::vector<Target> found;
    std::map<std::string, int> seen;
    for (size_t i = 0; i < calls.size(); ++i) {
        const Call &call = calls[i];
        const int nth = ++seen[call.name];
        const bool ours = files[i] == kUpdate ||
                          std::find(kConfigs.begin(), kConfigs.end(), files[i]) != kConfigs.end();
        if (ours && (call.name == "openat" || call.name == "read" || call.name == "pread64"))
            found.push_back({files[i], call.name, nth});
    }
    return found;
}

TEST_F(FaultSweep, FailingOpensAndReads) {
    const std::vector<Target> targets = open_and_read_calls(clean_trace());
    int faults = 0;
    for (const Target &target : targets) {
        for (const std::string error : {"ENOSPC", "EIO"}) {
            const std::string where = target.where(error);
            ScratchDir dir;
            run_failing(dir, target.name, error, target.nth, where);
            ++faults;
            for (const std::string &config : kConfigs) {
                const std::string now = read_file(dir / config);
                EXPECT_TRUE(now == sample(config) || now == updated_.at(config))
                    << where << ": " << config << " is a mix";
            }
            EXPECT_TRUE(exists(dir / kUpdate)) << where;
            expect_next_run_completes(dir, where);
        }
    }
    EXPECT_GE(faults, 2 * 8) << "the opens of all four files and a read of each";
    std::cout << "injected open and read faults covered: " << faults << "\n";
}

}  // namespace
