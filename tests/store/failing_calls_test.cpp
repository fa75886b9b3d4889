// Every system call that another process's write and save make on the
// configuration, its folder and its temporary file, failed in turn with
// strace's fault injection, reading calls included: the file is always its
// old or its new content, whole; no temporary file remains; and what the
// process is told is true.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "process.h"
#include "store_case.h"
#include "strace_log.h"

using namespace testing_support;

namespace {

const std::string kConfig = "<DVR_CFG>\n  <NET>\n    <IP>1.2.3.4</IP>\n  </NET>\n</DVR_CFG>\n";

struct Call {
    std::string name;
    int nth;  // among the calls of that name
    bool after_rename;
};

// The calls of a clean run that name the scratch folder or a descriptor of
// something in it (strace -y prints each descriptor's path).
std::vector<Call> calls_on(const std::string &trace, const std::string &folder) {
    std::vector<Call> found;
    std::map<std::string, int> seen;
    bool renamed = false;
    for (const SystemCall &call : parse_strace(trace)) {
        if (call.result.empty() || call.result == "?") continue;
        const int nth = ++seen[call.name];
        if (call.arguments.find(folder) == std::string::npos) continue;
        found.push_back({call.name, nth, renamed});
        renamed |= call.name == "renameat";
    }
    return found;
}

Outcome save_traced(const std::string &path, const std::vector<std::string> &options) {
    std::vector<std::string> traced = {"-y"};
    traced.insert(traced.end(), options.begin(), options.end());
    return run_program(under_strace(traced, {SAVE_PROGRAM, path, "DVR_CFG.NET.IP", "5.6.7.8"}));
}

TEST(FailingCalls, EveryCallOnTheFileItsFolderAndItsTemporaryFile) {
    if (!strace_note().empty()) GTEST_SKIP() << strace_note();
    const std::string updated = apply(kConfig, {{"DVR_CFG.NET.IP", "5.6.7.8"}});
    ScratchDir dir;
    const std::string path = dir / "config.xml";
    write_file(path, kConfig);
    ASSERT_EQ(save_traced(path, {"-o", dir / "trace"}).out, "saved\n");
    const std::vector<Call> calls = calls_on(read_file(dir / "trace"), dir.path());
    ASSERT_GT(calls.size(), 10u);

    int faults = 0;
    for (const Call &call : calls) {
        for (const std::string error : {"EIO", "EINTR"}) {
            const std::string where = call.name + " #" + std::to_string(call.nth) + " " + error;
            write_file(path, kConfig);
            const Outcome outcome = save_traced(
                path,
                {"-o", "/dev/null", "-e", "trace=" + call.name, "-e",
                 "inject=" + call.name + ":error=" + error + ":when=" + std::to_string(call.nth)});
            ++faults;
            const std::string now = read_file(path);
            EXPECT_TRUE(now == kConfig || now == updated) << where << ": a mix\n" << now;
            EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"config.xml", "trace"}))
                << where;
            if (outcome.out == "saved\n") {
                EXPECT_EQ(now, updated) << where << ": success reported, old content";
            } else {
                EXPECT_TRUE(outcome.out == "save failed\n" || outcome.out == "open failed\n")
                    << where << ": " << outcome.out;
                if (!call.after_rename) {
                    EXPECT_EQ(now, kConfig) << where;
                }
            }
            // An interrupted read or close is no failure: it is retried or done.
            if (error == std::string("EINTR") && (call.name == "read" || call.name == "close")) {
                EXPECT_EQ(outcome.out, "saved\n") << where;
            }
        }
    }
    std::cout << "failed calls covered: " << faults << "\n";
}

}  // namespace
