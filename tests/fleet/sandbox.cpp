#include "sandbox.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

namespace fleet_testing {

using testing_support::Outcome;
using testing_support::run_program;
using testing_support::shell_succeeds;

namespace {

const char kDeviceType[] = "recorder";
const char kFactoryArtifact[] = "factory";

std::string folder_of(const std::string &path) {
    return path.substr(0, path.rfind('/'));
}

}  // namespace

std::string sandbox_unavailable() {
    if (!testing_support::emulation_note().empty()) return testing_support::emulation_note();
    if (!shell_succeeds("command -v bwrap")) return "bubblewrap is not installed";
    if (run_program({"/usr/bin/bwrap", "--ro-bind", "/", "/", "true"}).status != 0)
        return "bubblewrap cannot start a sandbox here (no namespaces)";
    return "";
}

std::vector<std::string> sandbox_command(
    const std::vector<std::pair<std::string, std::string>> &binds) {
    std::vector<std::string> argv = testing_support::sandbox_with_system();
    // The scratch folders usually live in /tmp: the sandbox's own /tmp comes
    // first, the binds on top of it.
    argv.insert(argv.end(), {"--tmpfs", "/tmp", "--proc", "/proc", "--dev", "/dev", "--ro-bind",
                             BUILD_TREE, BUILD_TREE});
    for (const auto &[host, inside] : binds) {
        const bool read_only = inside.rfind("ro:", 0) == 0;
        argv.insert(argv.end(), {read_only ? "--ro-bind" : "--bind", host,
                                 read_only ? inside.substr(3) : inside});
    }
    return argv;
}

std::map<std::string, std::string> snapshot(const std::string &dir) {
    namespace fs = std::filesystem;
    std::map<std::string, std::string> files;
    for (const fs::directory_entry &entry : fs::recursive_directory_iterator(dir)) {
        const std::string name = fs::relative(entry.path(), dir).string();
        if (entry.is_symlink())
            files[name] = "link -> " + fs::read_symlink(entry.path()).string();
        else if (entry.is_directory())
            files[name] = "folder";
        else
            files[name] = testing_support::read_file(entry.path().string());
    }
    return files;
}

MenderDevice::MenderDevice(const std::string &tree) : tool_folder(folder_of(DEFAULT_TOOL)) {
    const std::string root = dir_.path();
    const std::string setup =
        "mkdir -p '" + root + "/mnt' '" + root + "/config' '" + root + "/etc-mender' '" + root +
        "/data-mender' '" + root + "/artifacts' && cp -R '" + tree + "/mnt/.' '" + root +
        "/mnt' && cp -R '" + tree + "/config/.' '" + root +
        "/config' && '" CMAKE_PROGRAM "' --install '" BUILD_TREE "' --prefix '" + root +
        "/usr' --component mender";
    if (!shell_succeeds(setup)) throw std::runtime_error("cannot set up the device: " + setup);
    // Standalone mode: no server.  The device type decides which artifacts
    // fit; the artifact name is what the device runs before any update.
    testing_support::write_file(dir_ / "etc-mender/mender.conf", "{}\n");
    testing_support::write_file(dir_ / "etc-mender/artifact_info",
                                std::string("artifact_name=") + kFactoryArtifact + "\n");
    testing_support::write_file(dir_ / "data-mender/device_type",
                                std::string("device_type=") + kDeviceType + "\n");
}

std::string MenderDevice::host_path(const std::string &device_path) const {
    return dir_.path() + device_path;
}

Outcome MenderDevice::mender(const std::vector<std::string> &args) const {
    std::vector<std::string> argv = sandbox_command({
        {dir_ / "artifacts", "ro:" + artifacts()},
        {dir_ / "etc-mender", "/etc/mender"},
        // As on Debian: /var/lib/mender is a link to the data partition.
        {dir_ / "data-mender", "/data/mender"},
        {dir_ / "usr/share/mender/modules/v3", "/usr/share/mender/modules/v3"},
        {dir_ / "mnt", "/mnt"},
        {dir_ / "config", read_only_config ? "ro:/config" : "/config"},
    });
    argv.insert(argv.end(), {"--symlink", "/data/mender", "/var/lib/mender", "--setenv", "PATH",
                             tool_folder + ":/usr/sbin:/usr/bin:/sbin:/bin", "/bin/sh", "-c",
                             "exec \"$0\" \"$@\" 2>&1", "mender", "--no-syslog"});
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv);
}

}  // namespace fleet_testing
