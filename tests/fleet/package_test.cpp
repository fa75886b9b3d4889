// The Debian packages scripts/package.sh made (UPDATE_CFG_PACKAGES names
// their folder): what each holds, lintian's verdict, and the packages of
// this machine's architecture installed with dpkg --root into a scratch
// root, whose tool then applies the sample update in the sandbox.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "sandbox.h"

using namespace testing_support;
using fleet_testing::snapshot;

namespace {

const std::string kPackages = PACKAGES_DIR;

struct Package {
    std::string name;
    std::string architecture;  // "" for this machine's and the cross builds'
    std::vector<std::string> holds;
};

// What each package must hold; %m is the architecture's multiarch folder.
const std::vector<Package> kPackageTable = {
    {"update-cfg",
     "",
     {"./usr/bin/update_cfg", "./usr/share/man/man8/update_cfg.8.gz",
      "./lib/systemd/system/update-cfg.service",
      "./lib/systemd/system/S10update-cfg.service -> /dev/null", "./etc/init.d/S10update-cfg",
      "./usr/share/doc/update-cfg/copyright", "./usr/share/doc/update-cfg/changelog.gz",
      "./usr/share/lintian/overrides/update-cfg"}},
    {"update-cfg-store",
     "",
     {"./usr/lib/%m/libxml.so", "./usr/share/doc/update-cfg-store/copyright",
      "./usr/share/doc/update-cfg-store/changelog.gz",
      "./usr/share/lintian/overrides/update-cfg-store"}},
    {"update-cfg-store-dev",
     "",
     {"./usr/include/xml_file.h", "./usr/share/doc/update-cfg-store-dev/copyright",
      "./usr/share/doc/update-cfg-store-dev/changelog.gz"}},
    {"update-cfg-mender",
     "all",
     {"./usr/share/mender/modules/v3/update-cfg", "./usr/share/doc/update-cfg-mender/copyright",
      "./usr/share/doc/update-cfg-mender/changelog.gz"}},
};

const std::vector<std::pair<std::string, std::string>> kArchitectures = {
    {"amd64", "x86_64-linux-gnu"},
    {"armhf", "arm-linux-gnueabihf"},
    {"arm64", "aarch64-linux-gnu"}};

std::string deb_of(const Package &package, const std::string &architecture) {
    return kPackages + "/" + package.name + "_" + PACKAGE_VERSION + "_" +
           (package.architecture.empty() ? architecture : package.architecture) + ".deb";
}

std::string shell(const std::string &command, const std::string &argument) {
    return run_program({"/bin/sh", "-c", command, argument}).out;
}

class Packages : public testing::Test {
  protected:
    void SetUp() override {
        if (kPackages.empty())
            GTEST_SKIP() << "no packages named (UPDATE_CFG_PACKAGES; scripts/test.sh makes them "
                            "with scripts/package.sh)";
    }
};

TEST_F(Packages, InfoAndContentsNameWhatEachHolds) {
    for (const auto &[architecture, multiarch] : kArchitectures) {
        for (const Package &package : kPackageTable) {
            const std::string deb = deb_of(package, architecture);
            SCOPED_TRACE(deb);
            ASSERT_TRUE(exists(deb));
            EXPECT_EQ(shell("dpkg-deb --field \"$0\" Package Architecture Version", deb),
                      "Package: " + package.name + "\nArchitecture: " +
                          (package.architecture.empty() ? architecture : package.architecture) +
                          "\nVersion: " PACKAGE_VERSION "\n");
            // Every file in the package, "PATH" or "PATH -> TARGET", and
            // nothing but what the table names and their folders.
            const std::string contents = shell(
                "dpkg-deb --contents \"$0\" | awk '$1 !~ /^d/ { $1=$2=$3=$4=$5=\"\"; "
                "sub(/^ +/, \"\"); print }' | sort",
                deb);
            std::vector<std::string> expected;
            for (std::string path : package.holds) {
                const size_t at = path.find("%m");
                if (at != std::string::npos) path.replace(at, 2, multiarch);
                expected.push_back(path);
            }
            std::sort(expected.begin(), expected.end());
            std::string listed;
            for (const std::string &path : expected) listed += path + "\n";
            EXPECT_EQ(contents, listed);
        }
        const std::string tool = deb_of(kPackageTable[0], architecture);
        const std::string info = shell("dpkg-deb --info \"$0\"", tool);
        EXPECT_NE(info.find(" Depends: libc6 (>= "), std::string::npos) << info;
        EXPECT_NE(info.find(" Suggests: update-cfg-store\n"), std::string::npos) << info;
        // Stripped: no symbol table left in the tool or the store.
        ScratchDir unpacked;
        ASSERT_TRUE(shell_succeeds("dpkg-deb -x '" + tool + "' '" + unpacked.path() +
                                   "' && dpkg-deb -x '" + deb_of(kPackageTable[1], architecture) +
                                   "' '" + unpacked.path() + "'"));
        for (const std::string &file : std::vector<std::string>{
                 "/usr/bin/update_cfg", "/usr/lib/" + multiarch + "/libxml.so"})
            EXPECT_EQ(shell("readelf -S \"$0\" | grep -c '\\.symtab\\|\\.debug_'",
                            unpacked.path() + file),
                      "0\n")
                << file;
    }
}

TEST_F(Packages, LintianReportsNoErrorAndNoWarningWithoutOverride) {
    const Outcome checked = run_program(
        {"/bin/sh", "-c", "lintian --fail-on error,warning \"$0\"/*.deb 2>&1", kPackages});
    EXPECT_EQ(checked.status, 0) << checked.out;
    // Every override carries its reason (a comment above it).
    for (const char *package : {"update-cfg", "update-cfg-store"}) {
        const std::string overrides =
            read_file(std::string(SOURCE_TREE "/packaging/") + package + ".lintian-overrides");
        std::string previous;
        size_t at = 0;
        while (at < overrides.size()) {
            const size_t end = overrides.find('\n', at);
            const std::string line = overrides.substr(at, end - at);
            if (!line.empty() && line[0] != '#') {
                EXPECT_EQ(previous.rfind("#", 0), 0u) << line;
            }
            previous = line;
            at = end + 1;
        }
    }
}

TEST_F(Packages, InstalledWithDpkgRootTheToolAppliesTheSampleUpdate) {
    const std::string why = fleet_testing::sandbox_unavailable();
    if (!why.empty()) GTEST_SKIP() << why;
    const std::string architecture = shell("dpkg --print-architecture | tr -d '\\n'", "");
    std::string multiarch;
    for (const auto &[name, triple] : kArchitectures)
        if (name == architecture) multiarch = triple;
    if (multiarch.empty()) GTEST_SKIP() << "no packages for " << architecture;

    ScratchDir root, device;
    std::string debs;
    for (const Package &package : kPackageTable) debs += " '" + deb_of(package, architecture) + "'";
    ASSERT_TRUE(shell_succeeds("mkdir -p '" + root.path() + "/var/lib/dpkg/updates' '" +
                               root.path() + "/var/lib/dpkg/info' && touch '" + root.path() +
                               "/var/lib/dpkg/status' && dpkg --root='" + root.path() +
                               "' --log=/dev/null --force-depends --force-script-chrootless "
                               "--install" +
                               debs));
    EXPECT_EQ(
        shell("dpkg-query --admindir=\"$0\"/var/lib/dpkg -W -f '${Package} ${Status}\\n' | sort",
              root.path()),
        "update-cfg install ok installed\nupdate-cfg-mender install ok installed\n"
        "update-cfg-store install ok installed\nupdate-cfg-store-dev install ok installed\n");

    ASSERT_TRUE(copy_sample_tree(device.path()));
    std::vector<std::string> argv =
        fleet_testing::sandbox_command({{root.path(), "ro:" + root.path()},
                                        {device / "mnt", "/mnt"},
                                        {device / "config", "/config"}});
    argv.insert(argv.end(), {"--setenv", "LD_LIBRARY_PATH", root.path() + "/usr/lib/" + multiarch,
                             root.path() + "/usr/bin/update_cfg"});
    const Outcome applied = run_program(argv);
    EXPECT_EQ(applied.status, 0);
    EXPECT_EQ(applied.out, expected("stdout.txt"));
    std::map<std::string, std::string> expected = snapshot(kExpectedTree);
    expected.erase("stdout.txt");
    EXPECT_EQ(snapshot(device.path()), expected);
    // The installed tool loads the installed store: no path of the build.
    EXPECT_EQ(
        shell("readelf -d \"$0\" | grep -c 'RUNPATH\\|RPATH'", root.path() + "/usr/bin/update_cfg"),
        "0\n");
}

}  // namespace
