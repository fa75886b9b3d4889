// Power cuts and failing system calls at every point of a whole run, made
// with strace's fault injection: a SIGKILL on entry to the n-th call of each
// system call in turn, or an error in place of a save's write, fsync, rename
// or temporary-file creation.  After each, the configuration files must be
// whole, old or new, and the next run must finish the update.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <string>
#include <vector>

#include "process.h"
#include "scratch.h"

using namespace testing_support;

namespace {

const std::vector<std::string> kConfigs = {
    "mnt/mtd/app/config.xml", "mnt/mtd/app/config.xml.default", "config/config.xml.default"};
const std::string kUpdate = "mnt/mtd/app/update.cfg";
// Changed settings, an equal one, and new elements two levels deep.
const std::string kUpdateContent =
    "NET.IP=10.0.0.42\nNET.PORT.HTTP=8080\nNET.NETMASK=255.255.255.0\n"
    "NET.VLAN.ID=12\nSNMP.COMMUNITY=private\nSYSTEM.DEVICE_NAME=Gate & Yard\n";

struct Call {
    std::string name;
    std::string args;
    std::string result;
};

std::vector<Call> parse_trace(const std::string &log) {
    static const std::regex line(R"(^(?:\d+ +)?(\w+)\((.*)\) += (-?\d+|\?).*$)");
    std::vector<Call> calls;
    std::smatch m;
    size_t begin = 0;
    while (begin < log.size()) {
        size_t end = log.find('\n', begin);
        if (end == std::string::npos) end = log.size();
        const std::string text = log.substr(begin, end - begin);
        if (std::regex_match(text, m, line)) calls.push_back({m[1], m[2], m[3]});
        begin = end + 1;
    }
    return calls;
}

class FaultSweep : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (!shell_succeeds("command -v strace") || !emulation_note().empty()) return;
        // What an uninterrupted run leaves behind.
        ScratchDir dir;
        lay_tree(dir);
        run_program({ROOTED_TOOL}, dir.path());
        for (const std::string &config : kConfigs) updated_[config] = read_file(dir / config);
    }

    void SetUp() override {
        if (!shell_succeeds("command -v strace")) GTEST_SKIP() << "strace is not installed";
        if (!emulation_note().empty()) GTEST_SKIP() << emulation_note();
    }

    static void lay_tree(const ScratchDir &dir) {
        ASSERT_TRUE(
            shell_succeeds("cp -R '" + std::string(SAMPLE_TREE) + "/.' '" + dir.path() + "'"));
        write_file(dir / kUpdate, kUpdateContent);
    }

    static Outcome run_traced(const ScratchDir &dir, const std::vector<std::string> &options) {
        // Leak checking cannot run under ptrace; sanitizer builds skip it here.
        std::vector<std::string> argv = {"/usr/bin/env", "strace", "-f",
                                         "-qq",          "-E",     "ASAN_OPTIONS=detect_leaks=0"};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.push_back(ROOTED_TOOL);
        return run_program(argv, dir.path());
    }

    static std::vector<Call> clean_trace() {
        ScratchDir dir;
        lay_tree(dir);
        run_traced(dir, {"-o", dir / "trace"});
        return parse_trace(read_file(dir / "trace"));
    }

    static std::string original(const std::string &config) {
        return read_file(std::string(SAMPLE_TREE) + "/" + config);
    }

    static std::vector<std::string> temporaries(const ScratchDir &dir) {
        std::vector<std::string> found;
        for (const std::string folder : {"mnt/mtd/app", "config"})
            for (const std::string &name : list_dir(dir / folder))
                if (name.find(".tmp") != std::string::npos) found.push_back(folder + "/" + name);
        return found;
    }

    // The next run finishes the update as an uninterrupted one would.
    static void expect_next_run_completes(const ScratchDir &dir, const std::string &where) {
        run_program({ROOTED_TOOL}, dir.path());
        for (const std::string &config : kConfigs)
            EXPECT_EQ(read_file(dir / config), updated_.at(config)) << where << ": " << config;
        EXPECT_FALSE(exists(dir / kUpdate)) << where;
        EXPECT_TRUE(temporaries(dir).empty()) << where;
    }

    static std::map<std::string, std::string> updated_;
};

std::map<std::string, std::string> FaultSweep::updated_;

TEST_F(FaultSweep, KillAtEverySystemCall) {
    const std::vector<Call> calls = clean_trace();
    ASSERT_GT(calls.size(), 50u);
    std::map<std::string, int> seen;
    int kill_points = 0;
    for (const Call &call : calls) {
        const int nth = ++seen[call.name];
        const std::string where = call.name + " #" + std::to_string(nth);
        ScratchDir dir;
        lay_tree(dir);
        run_traced(dir, {"-o", "/dev/null", "-e", "trace=" + call.name, "-e",
                         "inject=" + call.name + ":signal=KILL:when=" + std::to_string(nth)});
        ++kill_points;

        int updated = 0;
        for (const std::string &config : kConfigs) {
            const std::string now = read_file(dir / config);
            const bool is_new = now == updated_.at(config);
            EXPECT_TRUE(is_new || now == original(config))
                << where << ": " << config << " is a mix";
            updated += is_new;
        }
        if (updated < 3) {
            EXPECT_TRUE(exists(dir / kUpdate)) << where << ": update lost";
        }
        expect_next_run_completes(dir, where);
    }
    std::cout << "kill points covered: " << kill_points << "\n";
}

// Where each save's calls fall: their number among calls of the same name.
struct SaveCall {
    std::string config;
    std::string name;
    int nth;
    bool after_rename;  // the folder's fsync: the new content is already in place
};

// The first quoted argument of a call.
std::string quoted(const std::string &args) {
    const size_t open = args.find('"');
    if (open == std::string::npos) return "";
    return args.substr(open + 1, args.find('"', open + 1) - open - 1);
}

// Saves name files relative to their folder's descriptor, opened with the
// store: which configuration a temporary name in that folder belongs to.
std::string config_of_temporary(const std::string &folder, const std::string &name) {
    for (const std::string &config : kConfigs) {
        const size_t slash = config.rfind('/');
        const std::string dir = "/" + config.substr(0, slash);
        if (folder.size() >= dir.size() &&
            folder.compare(folder.size() - dir.size(), dir.size(), dir) == 0 &&
            name == "." + config.substr(slash + 1) + ".tmp")
            return config;
    }
    return "";
}

std::vector<SaveCall> save_calls(const std::vector<Call> &calls) {
    std::vector<SaveCall> found;
    std::map<std::string, int> seen;
    std::map<std::string, std::string> folder_path, temp_fd;  // fd -> folder, fd -> config
    std::string renamed, renamed_in;  // the config whose folder is flushed next, its folder
    for (const Call &call : calls) {
        const int nth = ++seen[call.name];
        const std::string fd = call.args.substr(0, call.args.find(','));
        const std::string temporary =
            folder_path.count(fd) ? config_of_temporary(folder_path[fd], quoted(call.args)) : "";
        if (call.name == "openat" && call.args.find("O_DIRECTORY") != std::string::npos) {
            folder_path[call.result] = quoted(call.args);
        } else if (call.name == "openat" && !temporary.empty()) {
            temp_fd[call.result] = temporary;
            found.push_back({temporary, "openat", nth, false});
        } else if ((call.name == "write" || call.name == "fsync") && temp_fd.count(fd)) {
            found.push_back({temp_fd[fd], call.name, nth, false});
        } else if (call.name == "fsync" && fd == renamed_in && !renamed.empty()) {
            found.push_back({renamed, call.name, nth, true});
            renamed.clear();
        } else if (call.name == "close") {
            temp_fd.erase(fd);
            folder_path.erase(fd);
        } else if (call.name == "renameat" && !temporary.empty()) {
            found.push_back({temporary, "renameat", nth, false});
            renamed = temporary;
            renamed_in = fd;
        }
    }
    return found;
}

TEST_F(FaultSweep, FailingSaveCalls) {
    const std::vector<SaveCall> targets = save_calls(clean_trace());
    int faults = 0;
    for (const SaveCall &target : targets) {
        const std::vector<std::string> errors = target.name == "openat"
                                                    ? std::vector<std::string>{"EACCES", "EROFS"}
                                                    : std::vector<std::string>{"ENOSPC", "EIO"};
        for (const std::string &error : errors) {
            const std::string where = target.config + ": " + target.name + " #" +
                                      std::to_string(target.nth) + " " + error;
            ScratchDir dir;
            lay_tree(dir);
            const Outcome outcome =
                run_traced(dir, {"-o", "/dev/null", "-e", "trace=" + target.name, "-e",
                                 "inject=" + target.name + ":error=" + error +
                                     ":when=" + std::to_string(target.nth)});
            ++faults;
            EXPECT_NE(outcome.out.find("save ./" + target.config + "  failed!\n"),
                      std::string::npos)
                << where << "\n"
                << outcome.out;
            EXPECT_NE(outcome.out.find("keep ./" + kUpdate + " for the next run\n"),
                      std::string::npos)
                << where;
            for (const std::string &config : kConfigs) {
                const bool untouched = config == target.config && !target.after_rename;
                EXPECT_EQ(read_file(dir / config),
                          untouched ? original(config) : updated_.at(config))
                    << where << ": " << config;
            }
            EXPECT_TRUE(temporaries(dir).empty()) << where;
            EXPECT_TRUE(exists(dir / kUpdate)) << where;
            expect_next_run_completes(dir, where);
        }
    }
    EXPECT_GE(faults, 3 * 8) << "every save's open, write, fsync, rename and folder fsync";
    std::cout << "injected faults covered: " << faults << "\n";
}

}  // namespace
