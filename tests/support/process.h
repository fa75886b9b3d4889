// Runs a program to its end and collects what it printed.
#pragma once

#include <string>
#include <vector>

namespace testing_support {

struct Outcome {
    int status = -1;  // exit status, or -1 when it did not exit normally
    std::string out;  // standard output; standard error goes to the test's own
};

// argv[0] is the program's path.  Runs in the folder cwd when it is given.
Outcome run_program(const std::vector<std::string> &argv, const std::string &cwd = "");

// True when command, run by the shell with its output discarded, exits 0.
bool shell_succeeds(const std::string &command);

}  // namespace testing_support
