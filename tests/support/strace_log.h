// Programs run under strace, with its fault injection, and the lines of its
// log as calls: what several test suites read back from a traced run of the
// tool or the store.  Understands -f (a process id
// before each call, calls split by another process's into "<unfinished ...>"
// and "<... resumed>"), -y (a descriptor's path after it, "3</a/b>") and
// -x / -xx (bytes as "\x41"); skips signals and exits.
#pragma once

#include <string>
#include <vector>

namespace testing_support {

// Why strace cannot run the tests' programs here, or "" when it can.
std::string strace_note();
// The command line that runs program, with its arguments, under strace with
// options (-f, -o FILE, -P PATH, inject()); leak checking is off in a
// sanitized program, since it cannot run under ptrace.
std::vector<std::string> under_strace(std::vector<std::string> options,
                                      const std::vector<std::string> &program);
// The options that trace call alone and make its nth call (each one when nth
// is 0) do what instead: "error=EIO", "signal=KILL", "delay_enter=100000".
std::vector<std::string> inject(const std::string &call, const std::string &what, int nth = 0);

struct SystemCall {
    int pid = 0;  // 0 without -f
    std::string name;
    std::string arguments;              // as printed between the parentheses
    std::vector<std::string> argument;  // the same, split at the top-level commas
    std::string result;                 // "0", "-1", "5", "0x8800", "?" (a call cut short)
    std::string result_path;            // -y: the path of a descriptor returned
    std::string error;                  // "ENOENT" for a failed call
    bool failed() const { return result == "-1" || result == "?"; }
};

std::vector<SystemCall> parse_strace(const std::string &log);

// An argument as the bytes it stands for: a quoted string with its escapes
// undone; anything else as printed.
std::string unquote(const std::string &argument);

// A descriptor argument: its number (AT_FDCWD as -100), and with -y its
// path, unescaped.  False when argument is no descriptor.
bool descriptor(const std::string &argument, int &fd, std::string &path);

}  // namespace testing_support
