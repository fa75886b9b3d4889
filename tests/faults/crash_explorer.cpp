#include "crash_explorer.h"

#include <functional>
#include <iostream>
#include <random>
#include <set>
#include <sstream>

#include "process.h"
#include "scratch.h"
#include "strace_log.h"

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

// The crash states of one sweep, each built and counted once however many
// crash points leave it.
class States {
  public:
    States(const Recording &recording, Model model, const Bounds &bounds, Counts &counts)
        : model_(model), bounds_(bounds), counts_(counts), generator_(bounds.seed) {
        counts.operations = recording.operations.size();
    }
    // Those of the power cuts after count operations of recording not seen before.
    std::vector<Tree> after(const Recording &recording, size_t count) {
        std::vector<Tree> states;
        for (const Fate &fate :
             crash_fates(recording, count, model_, bounds_.samples, generator_)) {
            Tree crashed = crash_state(recording, count, fate);
            if (!checked_.insert(fingerprint(crashed)).second) continue;
            ++counts_.states;
            states.push_back(std::move(crashed));
        }
        return states;
    }

  private:
    Model model_;
    const Bounds &bounds_;
    Counts &counts_;
    std::mt19937 generator_;
    std::set<std::string> checked_;
};

}  // namespace

std::string Counts::summary(const std::string &what) const {
    std::ostringstream out;
    out << what << ": " << operations + 1 << " crash points, " << states << " states, "
        << recoveries << " recoveries, " << failing << " with a problem";
    return out.str();
}

std::string traced(const std::vector<std::string> &argv, const std::string &cwd) {
    testing_support::ScratchDir log;
    testing_support::run_program(
        testing_support::under_strace(
            {"-f", "-y", "-xx", "-s", "16777216", "-e", "trace=%file,%desc,%process,sync", "-e",
             "inject=copy_file_range:error=ENOSYS", "-o", log / "trace"},
            argv),
        cwd);
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
    States states(recording, model, bounds, counts);
    for (size_t count = 0; count <= recording.operations.size(); ++count) {
        const CrashPoint point{recording, count};
        for (const Tree &crashed : states.after(recording, count)) {
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
    States states(recording, model, bounds, counts);
    for (size_t killed = 1; killed <= recording.operations.size(); killed += bounds.kill_stride) {
        Recording both = recording;
        both.operations.resize(killed);
        materialize(seen(recording, killed), scenario.roots);
        replay(both, traced(scenario.recovery, scenario.roots.front()), scenario.roots.front());
        ++counts.recoveries;
        for (size_t count = killed; count <= both.operations.size(); ++count) {
            const CrashPoint point{both, count};
            for (const Tree &crashed : states.after(both, count)) {
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

size_t explore_both(const Scenario &scenario, const Recording &recording, Model model,
                    const Bounds &bounds, const std::string &cut, const std::string &killed) {
    size_t failing = 0;
    for (const auto &[counts, what] :
         {std::pair{explore_power_cuts(scenario, recording, model, bounds), cut},
          std::pair{explore_kill_then_recovery(scenario, recording, model, bounds), killed}}) {
        std::cout << counts.summary(what) << "\n";
        for (const std::string &example : counts.examples) std::cout << "  " << example << "\n";
        failing += counts.failing;
    }
    std::cout.flush();
    return failing;
}

}  // namespace crash_states
