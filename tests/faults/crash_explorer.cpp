#include "crash_explorer.h"

#include <functional>
#include <random>
#include <set>
#include <sstream>

#include "process.h"
#include "scratch.h"

namespace crash_states {
namespace {

std::string fingerprint(const Tree &tree) {
    std::string out;
    for (const auto &[path, node] : tree)
        out += path + '\0' + std::to_string(static_cast<int>(node.kind)) + '\0' + node.bytes + '\0';
    return out;
}

std::string where(const Scenario &scenario, const Recording &recording, size_t count) {
    std::ostringstream out;
    out << scenario.name << ", after " << count << " operations";
    if (count > 0) {
        const Operation &last = recording.operations[count - 1];
        out << " (the last: " << recording.calls[last.call].name << " " << last.path << ")";
    }
    return out.str();
}

void note(Counts &counts, const std::vector<std::string> &problems, const std::string &at) {
    if (problems.empty()) return;
    ++counts.failing;
    for (const std::string &problem : problems)
        if (counts.examples.size() < 12) counts.examples.push_back(at + ": " + problem);
}

}  // namespace

std::string Counts::summary(const std::string &what) const {
    std::ostringstream out;
    out << what << ": " << operations + 1 << " crash points, " << states << " states, "
        << recoveries << " recoveries, " << failing << " with a problem";
    return out.str();
}

std::string traced(const std::vector<std::string> &argv, const std::string &cwd) {
    testing_support::ScratchDir log;
    std::vector<std::string> command = {"/usr/bin/env", "strace",
                                        "-f",           "-qq",
                                        "-y",           "-xx",
                                        "-s",           "16777216",
                                        "-E",           "ASAN_OPTIONS=detect_leaks=0",
                                        "-e",           "trace=%file,%desc,%process,sync",
                                        "-e",           "inject=copy_file_range:error=ENOSYS",
                                        "-o",           log / "trace"};
    command.insert(command.end(), argv.begin(), argv.end());
    testing_support::run_program(command, cwd);
    return testing_support::read_file(log / "trace");
}

Recording record(const Scenario &scenario) {
    Recording recording = start(scenario.roots, scan(scenario.roots));
    replay(recording, traced(scenario.command, scenario.roots.front()), scenario.roots.front());
    return recording;
}

Counts explore_power_cuts(const Scenario &scenario, const Recording &recording, Model model,
                          const Bounds &bounds) {
    Counts counts;
    counts.operations = recording.operations.size();
    std::mt19937 generator(bounds.seed);
    std::set<std::string> checked;
    for (size_t count = 0; count <= recording.operations.size(); ++count) {
        const CrashPoint point{recording, count};
        for (const Fate &fate : crash_fates(recording, count, model, bounds.samples, generator)) {
            const Tree crashed = crash_state(recording, count, fate);
            if (!checked.insert(fingerprint(crashed)).second) continue;
            ++counts.states;
            const std::string at = where(scenario, recording, count);
            std::vector<std::string> problems;
            scenario.check(crashed, point, problems);
            note(counts, problems, at);
            Tree changed = crashed;
            if (scenario.before_recovery) scenario.before_recovery(changed);
            materialize(changed, scenario.roots);
            const testing_support::Outcome outcome =
                testing_support::run_program(scenario.recovery, scenario.roots.front());
            ++counts.recoveries;
            problems.clear();
            scenario.check_recovered(crashed, scan(scenario.roots), point, outcome, problems);
            note(counts, problems, at + ", recovered");
        }
    }
    return counts;
}

Counts explore_kill_then_recovery(const Scenario &scenario, const Recording &recording, Model model,
                                  const Bounds &bounds) {
    Counts counts;
    counts.operations = recording.operations.size();
    std::mt19937 generator(bounds.seed);
    std::set<std::string> checked;
    for (size_t killed = 1; killed <= recording.operations.size(); killed += bounds.kill_stride) {
        Recording both = recording;
        both.operations.resize(killed);
        materialize(seen(recording, killed), scenario.roots);
        replay(both, traced(scenario.recovery, scenario.roots.front()), scenario.roots.front());
        ++counts.recoveries;
        for (size_t count = killed; count <= both.operations.size(); ++count) {
            const CrashPoint point{both, count};
            for (const Fate &fate : crash_fates(both, count, model, bounds.samples, generator)) {
                const Tree crashed = crash_state(both, count, fate);
                if (!checked.insert(fingerprint(crashed)).second) continue;
                ++counts.states;
                std::vector<std::string> problems;
                scenario.check(crashed, point, problems);
                note(counts, problems,
                     where(scenario, recording, killed) + " killed, then the recovery's " +
                         std::to_string(count - killed) + " operations");
            }
        }
    }
    return counts;
}

}  // namespace crash_states
