// Runs a program to its end and collects what it printed.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace testing_support {

struct Outcome {
    int status = -1;  // exit status, or -1 when it did not exit normally
    std::string out;  // standard output; standard error goes to the test's own
};

// argv[0] is the program's path.  Runs in the folder cwd when it is given.
Outcome run_program(const std::vector<std::string> &argv, const std::string &cwd = "");
// Several programs started at the same moment (each waits, already forked,
// until all are), run to their ends in the folder cwd.
std::vector<Outcome> run_together(const std::vector<std::vector<std::string>> &argvs,
                                  const std::string &cwd = "");

// Runs body in a forked child of this process and returns what it returned
// (0 to 255), 255 when it threw, or -1 when the child did not exit normally.
int in_child(const std::function<int()> &body);

// The command line that runs a program this project built: under the
// cross-build's emulator, when the tests run under one.
std::vector<std::string> built_program(const std::string &path);
// Why a test that traces or sandboxes the tool cannot run here (it would see
// the emulator, not the tool), or "" when the tests run natively.
std::string emulation_note();

// A bubblewrap command line that unshares everything and shows the system's
// programs and libraries read-only, to which a test adds its own binds.
std::vector<std::string> sandbox_with_system();

// The points first..last of a sweep to visit: every one when the environment
// sets UPDATE_CFG_FULL_SWEEPS=1, else at most count of them spread evenly
// (first and last among them), the same on every run.
std::vector<size_t> sweep_points(size_t first, size_t last, size_t count);

// True when command, run by the shell with its output discarded, exits 0.
bool shell_succeeds(const std::string &command);

}  // namespace testing_support
