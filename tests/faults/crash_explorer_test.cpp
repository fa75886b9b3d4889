// The tool under every power cut the crash-state explorer builds: a first
// run, a run that resumes a kept update, and a configuration behind a link
// to another folder on another file system; under the conservative and the
// ordered-metadata model; each state checked, then the next run started in
// it after the device changed a setting the update set, and checked again.
// And a run killed at each point, the next run at once, and the power cuts
// during or after that one.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

#include "crash_explorer.h"
#include "device_tree.h"
#include "process.h"
#include "scratch.h"
#include "strace_log.h"

using namespace testing_support;
using namespace crash_states;

namespace {

// The record's stores, when it is whole: its last line is the FNV-1a 64 of
// the lines before it, as the tool writes it.
bool record_stores(const std::string &text, std::vector<std::string> &stores) {
    const size_t check = text.rfind("check ");
    if (check == std::string::npos || text.size() != check + 23 || text.back() != '\n')
        return false;
    unsigned long long hash = 14695981039346656037ULL;
    for (size_t i = 0; i < check; ++i) {
        hash ^= static_cast<unsigned char>(text[i]);
        hash *= 1099511628211ULL;
    }
    char line[24];
    snprintf(line, sizeof line, "check %016llx\n", hash);
    if (text.substr(check) != line) return false;
    size_t begin = 0;
    while (begin < check) {
        const size_t end = text.find('\n', begin);
        const std::string one = text.substr(begin, end - begin);
        if (one.compare(0, 2, "./") == 0) stores.push_back(one.substr(2));
        begin = end + 1;
    }
    return true;
}

// The tool's scenario over a tree laid in root: what the stores held before
// the run and after it, and the checks.
class ToolScenario {
  public:
    ToolScenario(const std::string &name, const std::vector<std::string> &roots) {
        scenario_.name = name;
        scenario_.roots = roots;
        root_ = roots.front();
        scenario_.command = scenario_.recovery = {ROOTED_TOOL};
        const Tree before = scan(roots);
        recording_ = record(scenario_);
        const Tree after = scan(roots);
        for (const std::string &config : kConfigs) {
            real_[config] = resolved(before, path(config));
            old_[config] = follow(before, path(config))->bytes;
            new_[config] = follow(after, path(config))->bytes;
        }
        update_ = follow(before, path(kUpdate))->bytes;
        scenario_.check = [this](const Tree &tree, const CrashPoint &point,
                                 std::vector<std::string> &problems) {
            check(tree, point, problems);
        };
        scenario_.before_recovery = [this](Tree &tree) { change_on_device(tree); };
        scenario_.check_recovered = [this](const Tree &crashed, const Tree &recovered,
                                           const CrashPoint &point, const Outcome &,
                                           std::vector<std::string> &problems) {
            check_recovered(crashed, recovered, point, problems);
        };
    }

    const Scenario &scenario() const { return scenario_; }
    const Recording &recording() const { return recording_; }

  private:
    std::string path(const std::string &relative) const { return root_ + "/" + relative; }

    std::string content(const Tree &tree, const std::string &relative) const {
        const Node *node = follow(tree, path(relative));
        return node && node->kind == Kind::file ? node->bytes : "<missing>";
    }

    void check(const Tree &tree, const CrashPoint &, std::vector<std::string> &problems) const {
        const bool update_there = tree.count(path(kUpdate)) > 0;
        for (const std::string &config : kConfigs) {
            const std::string now = content(tree, config);
            if (now != old_.at(config) && now != new_.at(config))
                problems.push_back(config + " is neither old nor new");
            else if (!update_there && now != new_.at(config))
                problems.push_back("update lost: " + config + " lacks it");
        }
        if (update_there && content(tree, kUpdate) != update_)
            problems.push_back("the update file changed");
        std::vector<std::string> stores;
        if (tree.count(path(kRecord)) && record_stores(content(tree, kRecord), stores))
            for (const std::string &store : stores)
                if (content(tree, store) != new_.at(store))
                    problems.push_back("the record names " + store + ", which lacks the update");
    }

    void change_on_device(Tree &tree) const {
        for (const std::string &config : kConfigs) {
            if (content(tree, config) != new_.at(config)) continue;
            std::string &bytes = tree[resolved(tree, path(config))].bytes;
            bytes = replaced(bytes, kUpdatedIp, kChangedIp);
        }
    }

    // The documented window: a store renamed into place after the last
    // record that reached the disk may take the update again.
    bool unrecorded(const CrashPoint &point, const std::string &config) const {
        const std::vector<Operation> &ops = point.recording.operations;
        size_t renamed = ops.size();
        for (size_t i = 0; i < point.count; ++i)
            if (ops[i].type == Operation::rename && ops[i].to == real_.at(config)) renamed = i;
        if (renamed == ops.size()) return false;
        for (size_t i = renamed + 1; i < point.count; ++i)
            if (ops[i].type == Operation::rename && ops[i].to == path(kRecord) &&
                durable(point.recording, i, point.count))
                return false;
        return true;
    }

    void check_recovered(const Tree &crashed, const Tree &recovered, const CrashPoint &point,
                         std::vector<std::string> &problems) const {
        if (recovered.count(path(kUpdate))) problems.push_back("the update file stays");
        if (recovered.count(path(kRecord))) problems.push_back("the record stays");
        for (const auto &[name, node] : recovered)
            if (name.find(".tmp") != std::string::npos) problems.push_back(name + " stays");
        for (const std::string &config : kConfigs) {
            const std::string now = content(recovered, config);
            const bool was_new = content(crashed, config) == new_.at(config);
            if (!was_new && now != new_.at(config)) {
                problems.push_back(config + " lacks the update");
            } else if (was_new && now == new_.at(config) && !unrecorded(point, config)) {
                problems.push_back(config + ": the update applied again over a later change");
            } else if (was_new && now != new_.at(config) &&
                       now != replaced(new_.at(config), kUpdatedIp, kChangedIp)) {
                problems.push_back(config + " is neither new nor as changed");
            }
        }
    }

    Scenario scenario_;
    Recording recording_;
    std::string root_, update_;
    std::map<std::string, std::string> real_, old_, new_;
};

enum class Start { first_run, resumed_run, behind_a_link };

using Case = std::tuple<Start, Model>;

std::string case_name(const testing::TestParamInfo<Case> &info) {
    const char *start[] = {"FirstRun", "ResumedRun", "BehindALink"};
    const auto [first, model] = info.param;
    return std::string(start[static_cast<int>(first)]) +
           (model == Model::conservative ? "Conservative" : "OrderedMetadata");
}

class CrashExplorer : public testing::TestWithParam<Case> {};

TEST_P(CrashExplorer, NoStateOutsideTheDocumentedWindow) {
    if (!strace_note().empty()) GTEST_SKIP() << strace_note();
    const auto [start, model] = GetParam();
    ScratchDir dir;
    ASSERT_TRUE(copy_sample_tree(dir / "tree"));
    std::vector<std::string> roots = {real_path(dir / "tree")};
    std::string name = "first run";
    if (start == Start::resumed_run) {
        // What a run whose second save failed leaves: the first and third
        // store updated and recorded.  The third rename is the second store's.
        name = "resumed run";
        std::vector<std::string> options = inject("renameat", "error=EIO", 3);
        options.insert(options.begin(), {"-o", "/dev/null"});
        run_program(under_strace(options, {ROOTED_TOOL}), roots.front());
        ASSERT_TRUE(exists(roots.front() + "/" + kRecord));
    } else if (start == Start::behind_a_link) {
        // The third configuration on another file system when mounts are
        // possible, in another folder at least.
        name = "behind a link";
        ASSERT_EQ(mkdir((dir / "other").c_str(), 0755), 0);
        std::string why;
        if (private_mounts(why) && mount_tmpfs(dir / "other", "4m"))
            name += " to a tmpfs";
        else
            name += " to another folder (" + why + ")";
        roots.push_back(real_path(dir / "other"));
        const std::string linked = roots.front() + "/" + kConfigs[2];
        const std::string target = roots.back() + "/config.xml.default";
        ASSERT_TRUE(shell_succeeds("mv '" + linked + "' '" + target + "'"));
        ASSERT_EQ(symlink(target.c_str(), linked.c_str()), 0);
    }
    const ToolScenario tool(name, roots);
    ASSERT_GT(tool.recording().operations.size(), 10u);
    const std::string what = name + ", " + model_name(model);
    EXPECT_EQ(explore_both(tool.scenario(), tool.recording(), model, Bounds(),
                           what + ", power cut during the run",
                           what + ", run killed, power cut during or after the next"),
              0u);
}

INSTANTIATE_TEST_SUITE_P(Tool, CrashExplorer,
                         testing::Combine(testing::Values(Start::first_run, Start::resumed_run,
                                                          Start::behind_a_link),
                                          testing::Values(Model::conservative, Model::ordered)),
                         case_name);

}  // namespace
