#include "sandbox.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>

#include "progress_record.h"

namespace fleet_testing {

using testing_support::Outcome;
using testing_support::run_program;
using testing_support::shell_succeeds;

namespace {

const char kDeviceType[] = "recorder";
const char kFactoryArtifact[] = "factory";
// Every command the update module runs, each of which a power cut may
// precede.
const char *const kModuleCommands[] = {
    "basename", "cat",      "cksum", "cmp",   "cp",  "dirname", "grep", "ln", "ls",         "mkdir",
    "mv",       "readlink", "rm",    "rmdir", "sed", "stat",    "sync", "tr", "update_cfg", "wc"};

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

bool write_progress_record(const std::string &update_file, const std::vector<std::string> &stores,
                           const std::string &path) {
    FILE *stream = fopen(update_file.c_str(), "r");
    if (!stream) return false;
    ProgressRecord record;
    const bool read = record.start(stream);
    fclose(stream);
    if (!read) return false;
    for (const std::string &store : stores) record.add(("/" + store).c_str());
    return record.save(path.c_str(), (path + ".tmp").c_str());
}

std::map<std::string, std::string> device_state(const std::string &root) {
    namespace fs = std::filesystem;
    std::map<std::string, std::string> state;
    for (const char *top : {"mnt", "config"}) {
        const std::string dir = root + "/" + top;
        for (const fs::directory_entry &entry : fs::recursive_directory_iterator(dir)) {
            const std::string name =
                std::string(top) + "/" + fs::relative(entry.path(), dir).string();
            struct stat st;
            if (lstat(entry.path().c_str(), &st) != 0) continue;
            const std::string mode = std::to_string(st.st_mode & 07777) + " " +
                                     std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid);
            if (S_ISLNK(st.st_mode))
                state[name] = "link -> " + fs::read_symlink(entry.path()).string();
            else if (S_ISDIR(st.st_mode))
                state[name] = mode + " folder";
            else if (S_ISREG(st.st_mode))
                state[name] = mode + " " + testing_support::read_file(entry.path().string());
            else  // a FIFO, a device or a socket: opening it might block
                state[name] = mode + " special " + std::to_string(st.st_mode & S_IFMT);
        }
    }
    return state;
}

Device::Device() : tool_folder(folder_of(DEFAULT_TOOL)) {
    if (!testing_support::copy_sample_tree(root()) ||
        unlink(host_path(testing_support::kUpdate).c_str()) != 0 ||
        mkdir(artifacts().c_str(), 0755) != 0)
        throw std::runtime_error("cannot lay out the device in " + root());
}

std::string Device::host_path(const std::string &device_path) const {
    return device_path.rfind('/', 0) == 0 ? root() + device_path : dir_ / device_path;
}

void link_working_configuration(Device &device) {
    const std::string app = device.host_path("/mnt/mtd/app/");
    if (rename((app + "config.xml").c_str(), (app + "config.real.xml").c_str()) != 0 ||
        symlink("config.real.xml", (app + "config.xml").c_str()) != 0)
        throw std::runtime_error("cannot put the working configuration on a link");
    device.read_only_config = true;
}

void truncate_working_configuration(Device &device) {
    const std::string config = device.host_path(testing_support::kConfigs[0]);
    testing_support::write_file(config, testing_support::read_file(config).substr(0, 200));
}

void use_tool_stand_in(Device &device, const std::string &does) {
    const std::string bin = device.artifacts() + "/bin";
    if (mkdir(bin.c_str(), 0755) != 0) throw std::runtime_error("cannot make " + bin);
    testing_support::write_file(
        bin + "/update_cfg",
        "#!/bin/sh\necho '<DVR_CFG/>' >/mnt/mtd/app/config.xml\n" + does + "kill -9 $$\n");
    if (chmod((bin + "/update_cfg").c_str(), 0755) != 0)
        throw std::runtime_error("cannot make the stand-in for update_cfg");
    device.tool_folder = bin;
}

void expect_applied(const Device &device, const std::string &text) {
    for (const std::string &config : testing_support::kConfigs)
        EXPECT_NE(testing_support::read_file(device.host_path(config)).find(text),
                  std::string::npos)
            << config;
    EXPECT_FALSE(testing_support::exists(device.host_path(testing_support::kUpdate)));
}

MenderDevice::MenderDevice() {
    const std::string root = dir_.path();
    const std::string setup =
        "mkdir -p '" + root + "/etc-mender' '" + root + "/data-mender' '" + root +
        "/artifacts' && '" CMAKE_PROGRAM "' --install '" BUILD_TREE "' --prefix '" + root +
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

std::string MenderDevice::build_artifact(const std::string &update_file,
                                         const std::string &name) const {
    const std::string out = artifacts() + "/" + name + ".mender";
    if (!shell_succeeds("ARTIFACT_NAME='" + name +
                        "' bash '" SOURCE_TREE "/scripts/mender-artifact.sh' '" + update_file +
                        "' recorder '" + out + "'"))
        throw std::runtime_error("cannot build the artifact " + out);
    return out;
}

std::string MenderDevice::installed_artifact() const {
    const std::string out = mender({"show-artifact"}).out;
    const size_t end = out.rfind('\n', out.size() >= 2 ? out.size() - 2 : 0);
    return end == std::string::npos ? out : out.substr(end + 1);
}

std::string MenderDevice::cut_calls() const {
    return testing_support::read_file(dir_ / "cut/calls");
}

std::string MenderDevice::cut_made() const {
    const std::string cut = dir_ / "cut/cut";
    return testing_support::exists(cut) ? testing_support::read_file(cut) : "";
}

Outcome MenderDevice::mender(const std::vector<std::string> &args) const {
    std::string path = tool_folder + ":/usr/sbin:/usr/bin:/sbin:/bin";
    const std::string cut = dir_ / "cut";
    if (!cut_plan.empty()) {
        if (!testing_support::exists(cut)) {
            // The sandbox sees the cut folder, not the source tree.
            if (mkdir(cut.c_str(), 0755) != 0) throw std::runtime_error("cannot make " + cut);
            testing_support::write_file(
                cut + "/power_cut.sh",
                testing_support::read_file(SOURCE_TREE "/tests/fleet/power_cut.sh"));
            if (chmod((cut + "/power_cut.sh").c_str(), 0755) != 0)
                throw std::runtime_error("cannot make " + cut + "/power_cut.sh executable");
            for (const char *command : kModuleCommands)
                if (symlink("power_cut.sh", (cut + "/" + command).c_str()) != 0)
                    throw std::runtime_error("cannot link " + cut + "/" + command);
        }
        testing_support::write_file(cut + "/plan", cut_plan + "\n");
        testing_support::write_file(cut + "/calls", "");
        unlink((cut + "/cut").c_str());
        path = cut + ":" + path;
    }
    std::vector<std::pair<std::string, std::string>> binds = {
        {artifacts(), "ro:" + artifacts()},
        {dir_ / "etc-mender", "/etc/mender"},
        // As on Debian: /var/lib/mender is a link to the data partition.
        {dir_ / "data-mender", "/data/mender"},
        {dir_ / "usr/share/mender/modules/v3", "/usr/share/mender/modules/v3"},
        {dir_ / "mnt", "/mnt"},
        {dir_ / "config", read_only_config ? "ro:/config" : "/config"},
    };
    if (!cut_plan.empty()) binds.emplace_back(cut, cut);
    std::vector<std::string> argv = sandbox_command(binds);
    argv.insert(argv.end(), {"--symlink", "/data/mender", "/var/lib/mender", "--setenv", "CUT_DIR",
                             cut, "--setenv", "PATH", path, "/bin/sh", "-c",
                             "exec \"$0\" \"$@\" 2>&1", "mender", "--no-syslog"});
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv);
}

Verdict installer_verdict(const std::string &out) {
    const std::pair<const char *, Verdict> lines[] = {
        {"Image invalid or corrupted. Not installing", Verdict::refused},
        {"Installation failed !", Verdict::failed},
        {"SWUPDATE successful !", Verdict::successful},
    };
    for (const auto &[line, verdict] : lines) {
        const size_t at = out.find(line);
        if (at == std::string::npos) continue;
        // The client's closing line before the installer's verdict: the
        // client ended first and took the install down with it, and what
        // the installer said then is about a cut install.
        return out.find("[endupdate]") < at ? Verdict::none : verdict;
    }
    return Verdict::none;
}

Outcome SwupdateDevice::swupdate(const std::string &image, const std::string &cert) const {
    std::vector<std::pair<std::string, std::string>> binds = {
        {artifacts(), "ro:" + artifacts()},
        {dir_ / "mnt", "/mnt"},
        {dir_ / "config", read_only_config ? "ro:/config" : "/config"},
    };
    for (const std::string &dir : writable) binds.emplace_back(dir, dir);
    std::vector<std::string> argv = sandbox_command(binds);
    // No user namespace: root in the sandbox keeps its power over the
    // owners of files, so that a restore can give a file its owner back.
    const auto all = std::find(argv.begin(), argv.end(), "--unshare-all");
    if (all != argv.end() && geteuid() == 0) {
        *all = "--unshare-pid";
        argv.insert(all + 1, {"--unshare-ipc", "--unshare-net", "--unshare-uts"});
    }
    const std::string path = (path_first.empty() ? "" : path_first + ":") + tool_folder +
                             ":/usr/sbin:/usr/bin:/sbin:/bin";
    argv.insert(argv.end(),
                {"--setenv", "PATH", path, "/bin/sh", "-c", "exec \"$0\" \"$@\" 2>&1", "swupdate",
                 "-v", "-H", "recorder:" + revision, "-k", cert, "-i", image});
    return run_program(argv);
}

}  // namespace fleet_testing
