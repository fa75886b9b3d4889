// Recorders in bubblewrap sandboxes: one with the Mender client, whose
// /etc/mender, data folder and update modules folder are scratch folders, and
// one with SWUpdate; on both /mnt and /config are scratch folders and
// everything else is the host's, read-only.
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

// A device's /mnt and /config under root as they are: names, links, bytes,
// and each file's and folder's mode and owner.
std::map<std::string, std::string> device_state(const std::string &root);

// Writes at path (on the host) a whole progress record of the tool's own
// making for the content of update_file, naming stores: what a run leaves
// once those stores took that update.
bool write_progress_record(const std::string &update_file, const std::vector<std::string> &stores,
                           const std::string &path);

// Makes root/mnt and root/config a copy of tree's mnt/ and config/.
void copy_device_tree(const std::string &tree, const std::string &root);

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

// What `swupdate -i` printed, judged by the installer's own lines: its
// closing line ("SWUpdate was successful !" or "SWUpdate *failed* !") and its
// exit status follow an exchange on its control socket that now and then
// goes wrong in 2022.12 (exit 1 after a success, a closing "successful"
// after a failure, and now and then the closing line before the install
// ended, which then dies with the client: "none").  An image refused before
// the install (a bad signature, hash or hardware revision) is "refused".
enum class Verdict { successful, failed, refused, none };
Verdict installer_verdict(const std::string &out);

class SwupdateDevice {
  public:
    // A device whose /mnt and /config start as a copy of tree (its mnt/ and
    // config/), of hardware "recorder" at revision "1.0".
    explicit SwupdateDevice(const std::string &tree);

    std::string host_path(const std::string &device_path) const;
    std::string root() const { return dir_.path(); }
    // A folder the sandbox can read at the same path: images go there.
    std::string artifacts() const { return dir_ / "artifacts"; }

    // Runs `swupdate -v -H recorder:REVISION -k CERT -i IMAGE` in the
    // sandbox; out holds what it printed on standard output and error.
    testing_support::Outcome swupdate(const std::string &image, const std::string &cert) const;

    // The PATH in the sandbox: path_first (when set), then the folder of the
    // unprefixed build of the tool, unless a test puts another there.
    std::string path_first;
    std::string tool_folder;
    std::string revision = "1.0";
    bool read_only_config = false;
    // Host folders the sandbox may write at the same path.
    std::vector<std::string> writable;

  private:
    testing_support::ScratchDir dir_;
};

}  // namespace fleet_testing
