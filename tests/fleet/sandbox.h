// A recorder with the Mender client, in a bubblewrap sandbox: its /etc/mender,
// Mender's data folder, the update modules folder, /mnt and /config are
// scratch folders; everything else is the host's, read-only.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "process.h"
#include "scratch.h"

namespace fleet_testing {

// Why no sandbox can run here, or "" when one can.
std::string sandbox_unavailable();

// The command line that runs a program with the host's /usr and top-level
// system folders read-only, plus these binds (host path, sandbox path).
std::vector<std::string> sandbox_command(
    const std::vector<std::pair<std::string, std::string>> &binds);

// Every file, link and folder under a folder by its relative path: a file's
// bytes, "link -> TARGET" for a link, "folder" for a folder.
std::map<std::string, std::string> snapshot(const std::string &dir);

class MenderDevice {
  public:
    // A device whose /mnt and /config start as a copy of tree (its mnt/ and
    // config/), with the update module installed by `cmake --install`.
    explicit MenderDevice(const std::string &tree);

    // Host path of a file on the device, such as "/mnt/mtd/app/config.xml".
    std::string host_path(const std::string &device_path) const;
    // A folder the sandbox can read at the same path: artifacts go there.
    std::string artifacts() const { return dir_ / "artifacts"; }
    // Mender's own folders, for a look inside.
    std::string data_folder() const { return dir_ / "data-mender"; }

    // The artifact of an update file, built as an operator builds it, in
    // artifacts().
    std::string build_artifact(const std::string &update_file, const std::string &name) const;
    // The artifact name the client reports: the last line, after its warnings.
    std::string installed_artifact() const;

    // Runs `mender --no-syslog ARGS...` in the sandbox; out holds what it
    // printed on standard output and standard error.
    testing_support::Outcome mender(const std::vector<std::string> &args) const;

    // The PATH in the sandbox: the folder of the unprefixed build of the tool
    // first, unless a test puts another there.
    std::string tool_folder;
    bool read_only_config = false;
    // A power cut in the next runs of the client, as tests/fleet/power_cut.sh
    // reads it ("before N", "tool SYSCALL N"), or "" for none.  "record"
    // cuts nowhere and counts the module's commands.
    std::string cut_plan;
    // The module's commands the runs since the plan was set made, one a line,
    // and which one was cut ("" when none was).
    std::string cut_calls() const;
    std::string cut_made() const;

  private:
    testing_support::ScratchDir dir_;
};

}  // namespace fleet_testing
