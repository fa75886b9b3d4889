// Power cuts at every point of a run, and the run that recovers from them.
//
// A scenario is a command run in a scratch tree, what must hold in every
// state a power cut can leave, and the recovery: the command that runs next
// (the tool again, or a rollback).  The explorer records the command's
// system calls once with strace and then, for every operation of the run,
// builds the crash states of crash_states.h (a fixed number sampled per
// point with a fixed seed, besides all-kept and all-lost), checks each, lays
// it on disk, runs the recovery, and checks what that leaves.
//
// A second sweep covers a run that is killed (its changes reach the page
// cache, not the disk) and followed at once by the recovery: for each kill
// point the recovery is recorded too, and the power cuts during or after it
// are checked, the killed run's unflushed changes still pending.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "crash_states.h"
#include "process.h"

namespace crash_states {

struct CrashPoint {
    const Recording &recording;
    size_t count;  // operations issued before the power cut
};

struct Scenario {
    std::string name;
    std::vector<std::string> roots;    // absolute, without links; the command's cwd is the first
    std::vector<std::string> command;  // explored
    std::vector<std::string> recovery;
    // What a crash state must hold: problems appended, one line each.
    std::function<void(const Tree &, const CrashPoint &, std::vector<std::string> &)> check;
    // The state as the device changes it before the recovery runs (a
    // setting changed after the update), or null.
    std::function<void(Tree &)> before_recovery;
    // What the recovery must leave of crashed (before before_recovery), and
    // what it must say: its exit status and standard output.
    std::function<void(const Tree &crashed, const Tree &recovered, const CrashPoint &,
                       const testing_support::Outcome &, std::vector<std::string> &)>
        check_recovered;
};

struct Counts {
    size_t operations = 0;  // crash points: one after each operation, and before the first
    size_t states = 0;      // distinct crash states checked
    size_t recoveries = 0;  // recovery runs
    size_t failing = 0;     // states, or states after their recovery, with a problem
    std::vector<std::string> examples;  // the first problems, with where they arose
    std::string summary(const std::string &what) const;
};

struct Bounds {
    int samples = 4;  // per crash point, besides all-kept and all-lost
    unsigned seed = 16;
    // The kill sweep kills the run after every kill_stride-th operation: each
    // kill point traces a whole recovery.
    size_t kill_stride = 1;
};

// Records the command in the roots as they are now.
Recording record(const Scenario &scenario);
Counts explore_power_cuts(const Scenario &scenario, const Recording &recording, Model model,
                          const Bounds &bounds);
Counts explore_kill_then_recovery(const Scenario &scenario, const Recording &recording, Model model,
                                  const Bounds &bounds);

// Both sweeps, with the summary of each and its first problems printed, under
// the names of what is cut in each; the states with a problem.
size_t explore_both(const Scenario &scenario, const Recording &recording, Model model,
                    const Bounds &bounds, const std::string &cut, const std::string &killed);

// Runs argv under strace in cwd; the trace's text.  copy_file_range is
// refused (ENOSYS), so that cp(1) copies with write(2), whose bytes the
// trace holds.
std::string traced(const std::vector<std::string> &argv, const std::string &cwd);

}  // namespace crash_states
