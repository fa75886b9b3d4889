// The pieces of the explorer on hand-made input: the strace line parser, and
// the crash states of a small replayed run checked against what each model
// allows.
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include "crash_states.h"
#include "strace_log.h"

using namespace testing_support;
using namespace crash_states;

namespace {

TEST(StraceLog, CallsOfEveryShape) {
    const std::string log =
        "12 openat(AT_FDCWD<\\x2f\\x74>, \"\\x61\\x2c\\x62\", O_RDONLY) = 3<\\x2f\\x74\\x2f\\x61>\n"
        "12 write(3</t/a>, \"x\\ny\\\"z\", 5 <unfinished ...>\n"
        "13 close(4) = 0\n"
        "12 <... write resumed>) = 5\n"
        "--- SIGCHLD {si_signo=SIGCHLD} ---\n"
        "unlink(\"gone\") = -1 ENOENT (No such file or directory)\n"
        "read(3, [{a, b}], 2) = 0x10 (flags O_RDONLY)\n"
        "+++ exited with 0 +++\n"
        "exit_group(0) = ?\n";
    const std::vector<SystemCall> calls = parse_strace(log);
    ASSERT_EQ(calls.size(), 6u);
    EXPECT_EQ(calls[0].pid, 12);
    EXPECT_EQ(calls[0].name, "openat");
    ASSERT_EQ(calls[0].argument.size(), 3u);
    EXPECT_EQ(unquote(calls[0].argument[1]), "a,b");
    EXPECT_EQ(calls[0].result, "3");
    EXPECT_EQ(calls[0].result_path, "/t/a");
    int fd = 0;
    std::string path;
    ASSERT_TRUE(descriptor(calls[0].argument[0], fd, path));
    EXPECT_EQ(fd, -100);
    EXPECT_EQ(path, "/t");
    EXPECT_EQ(calls[1].name, "close");
    EXPECT_EQ(calls[2].name, "write");  // resumed after close, joined
    ASSERT_EQ(calls[2].argument.size(), 3u);
    EXPECT_EQ(unquote(calls[2].argument[1]), "x\ny\"z");
    EXPECT_EQ(calls[2].result, "5");
    EXPECT_TRUE(calls[3].failed());
    EXPECT_EQ(calls[3].error, "ENOENT");
    EXPECT_EQ(calls[4].argument.size(), 3u);
    EXPECT_EQ(calls[4].result, "0x10");
    EXPECT_TRUE(calls[5].failed());
    EXPECT_FALSE(descriptor("\"name\"", fd, path));
}

// A save as the store makes it, then a second file created without any
// flush: tmp written and flushed, renamed over f, folder flushed; then n.
const char kRun[] =
    "openat(AT_FDCWD</r>, \"/r/.f.tmp\", O_WRONLY|O_CREAT|O_EXCL, 0600) = 3</r/.f.tmp>\n"
    "write(3</r/.f.tmp>, \"new\", 3) = 3\n"
    "fsync(3</r/.f.tmp>) = 0\n"
    "rename(\"/r/.f.tmp\", \"/r/f\") = 0\n"
    "openat(AT_FDCWD</r>, \"/r\", O_RDONLY|O_DIRECTORY) = 4</r>\n"
    "fsync(4</r>) = 0\n"
    "openat(AT_FDCWD</r>, \"/r/n\", O_WRONLY|O_CREAT|O_TRUNC, 0644) = 5</r/n>\n"
    "write(5</r/n>, \"abcd\", 4) = 4\n"
    "unlink(\"/r/f\") = 0\n";

Recording small_run() {
    Tree before;
    before["/r"] = {Kind::folder, ""};
    before["/r/f"] = {Kind::file, "old"};
    Recording recording = start({"/r"}, before);
    replay(recording, kRun, "/r");
    return recording;
}

std::set<std::string> states(const Recording &recording, size_t count, Model model) {
    std::mt19937 generator(1);
    std::set<std::string> found;
    for (const Fate &fate : crash_fates(recording, count, model, 64, generator)) {
        std::string text;
        for (const auto &[path, node] : crash_state(recording, count, fate))
            if (node.kind == Kind::file) text += path + "=" + node.bytes + " ";
        found.insert(text);
    }
    return found;
}

TEST(CrashStates, ReplayedOperations) {
    const Recording recording = small_run();
    ASSERT_EQ(recording.operations.size(), 8u);
    EXPECT_EQ(recording.operations[3].type, Operation::rename);
    EXPECT_EQ(recording.operations[3].to, "/r/f");
    EXPECT_EQ(seen(recording, 8).count("/r/f"), 0u);
    EXPECT_EQ(seen(recording, 8).at("/r/n").bytes, "abcd");
}

TEST(CrashStates, WhatEachModelLeaves) {
    const Recording recording = small_run();
    struct Point {
        size_t count;
        Model model;
        std::set<std::string> expected;
    };
    const std::vector<Point> table = {
        // Created, nothing flushed: the name may be missing.
        {1, Model::conservative, {"/r/.f.tmp= /r/f=old ", "/r/f=old "}},
        // Written, not flushed: lost, torn or whole.
        {2,
         Model::conservative,
         {"/r/.f.tmp= /r/f=old ", "/r/.f.tmp=n /r/f=old ", "/r/.f.tmp=ne /r/f=old ",
          "/r/.f.tmp=new /r/f=old ", "/r/f=old "}},
        // Renamed after the data's flush: old or new, never torn; the
        // rename kept only with the create before it on the same name.
        {4, Model::conservative, {"/r/f=new ", "/r/f=old ", "/r/.f.tmp=new /r/f=old "}},
        // The folder flushed: new only.
        {5, Model::conservative, {"/r/f=new "}},
        // The later create and unlink, each kept or not, the data of n too.
        {8,
         Model::conservative,
         {"/r/f=new ", "/r/f=new /r/n= ", "/r/f=new /r/n=a ", "/r/f=new /r/n=ab ",
          "/r/f=new /r/n=abc ", "/r/f=new /r/n=abcd ", "", "/r/n= ", "/r/n=a ", "/r/n=ab ",
          "/r/n=abc ", "/r/n=abcd "}},
        // Ordered metadata: the unlink only after the create.
        {8,
         Model::ordered,
         {"/r/f=new ", "/r/f=new /r/n= ", "/r/f=new /r/n=a ", "/r/f=new /r/n=ab ",
          "/r/f=new /r/n=abc ", "/r/f=new /r/n=abcd ", "/r/n= ", "/r/n=a ", "/r/n=ab ", "/r/n=abc ",
          "/r/n=abcd "}},
    };
    for (const Point &point : table)
        EXPECT_EQ(states(recording, point.count, point.model), point.expected)
            << point.count << " " << model_name(point.model);
}

}  // namespace
