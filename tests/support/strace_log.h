// The lines of an strace log as calls: what several test suites read back
// from a traced run of the tool or the store.  Understands -f (a process id
// before each call, calls split by another process's into "<unfinished ...>"
// and "<... resumed>"), -y (a descriptor's path after it, "3</a/b>") and
// -x / -xx (bytes as "\x41"); skips signals and exits.
#pragma once

#include <string>
#include <vector>

namespace testing_support {

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
