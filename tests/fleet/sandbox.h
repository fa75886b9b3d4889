// Recorders in bubblewrap sandboxes: one with the Mender client, whose
// /etc/mender, data folder and update modules folder are scratch folders, and
// one with SWUpdate; on both /mnt and /config are scratch folders and
// everything else is the host's, read-only.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "device_tree.h"
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
// making for the content of update_file, naming stores (as kConfigs names
// them): what a run leaves on a device once those stores took that update.
bool write_progress_record(const std::string &update_file, const std::vector<std::string> &stores,
                           const std::string &path);

// What both devices share: /mnt and /config start as a copy of the sample
// tree's without its update file (an install brings one), and the tool they
// run is the unprefixed build's.
class Device {
  public:
    Device();

    // Host path of a file on the device: "/mnt/mtd/app/config.xml", or
    // relative to its root as kConfigs names it.
    std::string host_path(const std::string &device_path) const;
    std::string root() const { return dir_.path(); }
    // A folder the sandbox can read at the same path: artifacts go there.
    std::string artifacts() const { return dir_ / "artifacts"; }

    // The PATH in the sandbox: the folder of the unprefixed build of the tool
    // first, unless a test puts another there.
    std::string tool_folder;
    bool read_only_config = false;

  protected:
    testing_support::ScratchDir dir_;
};

// Arrangements that make an install fail, on either device: the working
// configuration on a link with /config read-only; the working configuration
// cut short; a stand-in for update_cfg first on the PATH that changes the
// working configuration, runs does, and kills itself half way (unless does
// ends it first).
// What a tool stopped half way leaves besides that change: a progress
// record, and temporary files as a power cut in a restore or an install
// leaves them.
inline const std::string kHalfWay =
    "echo 1 >/mnt/mtd/app/update.cfg.progress\n"
    "echo x >/mnt/mtd/app/.config.xml.default.update-cfg\n"
    "echo x >/mnt/mtd/app/.update.cfg.update-cfg\n";
void link_working_configuration(Device &device);
void truncate_working_configuration(Device &device);
void use_tool_stand_in(Device &device, const std::string &does);

// Expects every configuration on the device to hold text, and its update
// file gone: what an applied update leaves.
void expect_applied(const Device &device, const std::string &text);

class MenderDevice : public Device {
  public:
    // A sample device with the update module installed by `cmake --install`.
    MenderDevice();

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

    // A power cut in the next runs of the client, as tests/fleet/power_cut.sh
    // reads it ("before N", "tool SYSCALL N"), or "" for none.  "record"
    // cuts nowhere and counts the module's commands.
    std::string cut_plan;
    // The module's commands the runs since the plan was set made, one a line,
    // and which one was cut ("" when none was).
    std::string cut_calls() const;
    std::string cut_made() const;
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

// A sample device of hardware "recorder" at revision "1.0".
class SwupdateDevice : public Device {
  public:
    // Runs `swupdate -v -H recorder:REVISION -k CERT -i IMAGE` in the
    // sandbox; out holds what it printed on standard output and error.
    testing_support::Outcome swupdate(const std::string &image, const std::string &cert) const;

    // Before the tool's folder on the PATH, when set.
    std::string path_first;
    std::string revision = "1.0";
    // Host folders the sandbox may write at the same path.
    std::vector<std::string> writable;
};

}  // namespace fleet_testing
