// The sample device tree (examples/device) and what the sample run makes of
// it (tests/e2e/expected): the tool's fixed paths inside them, relative to a
// tree's root, a scratch copy to run the tool in, and their files read back.
#pragma once

#include <string>
#include <vector>

namespace testing_support {

inline const std::string kSampleTree = SAMPLE_TREE;
inline const std::string kExpectedTree = EXPECTED_TREE;

// The three stores, in the order the tool updates them.
inline const std::vector<std::string> kConfigs = {
    "mnt/mtd/app/config.xml", "mnt/mtd/app/config.xml.default", "config/config.xml.default"};
inline const std::string kUpdate = "mnt/mtd/app/update.cfg";
inline const std::string kRecord = "mnt/mtd/app/update.cfg.progress";

// The sample update's IP setting: as shipped, as updated, and as the device
// changes it after the update; and an update file of that line alone with
// what the tool prints for it.
inline const std::string kShippedIp = "<IP>192.168.1.100</IP>";
inline const std::string kUpdatedIp = "<IP>10.0.0.42</IP>";
inline const std::string kChangedIp = "<IP>10.9.9.9</IP>";
inline const std::string kSetIp = "NET.IP=10.0.0.42\n";
inline const std::string kIpLines =
    "value  = [10.0.0.42] len = 9\nSetValueToConfig value = 10.0.0.42, len = 9\n";
// What a run that leaves the update for the next one says last.
inline const std::string kKeep = "keep ./mnt/mtd/app/update.cfg for the next run\n";

// A file of the sample tree, and of the tree after the sample run.
std::string sample(const std::string &path);
std::string expected(const std::string &path);
// text with its first from replaced by to (both there: a test's own data).
std::string replaced(std::string text, const std::string &from, const std::string &to);
// Copies the sample tree into dir, made if missing.
bool copy_sample_tree(const std::string &dir);

}  // namespace testing_support
