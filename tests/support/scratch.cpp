#include "scratch.h"

#include <dirent.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testing_support {

ScratchDir::ScratchDir() {
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/update_cfg_test.XXXXXX";
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

ScratchDir::~ScratchDir() {
    const std::string command = "chmod -R u+rwX '" + path_ + "' 2>/dev/null; umount -R '" + path_ +
                                "' 2>/dev/null; rm -rf '" + path_ + "'";
    (void)std::system(command.c_str());
}

void write_file(const std::string &path, const std::string &content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "<missing " + path + ">";
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string real_path(const std::string &path) {
    char buffer[PATH_MAX];
    return realpath(path.c_str(), buffer) ? buffer : path;
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::vector<std::string> list_dir(const std::string &path) {
    std::vector<std::string> names;
    if (DIR *dir = opendir(path.c_str())) {
        while (const dirent *entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool private_mounts(std::string &why) {
    static int state = 0;  // 0 untried, 1 ready, -1 impossible
    static std::string reason;
    if (state == 0) {
        if (geteuid() != 0) {
            reason = "needs root to mount a scratch file system";
        } else if (unshare(CLONE_NEWNS) != 0 ||
                   mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            reason = std::string("no private mount namespace: ") + std::strerror(errno);
        }
        state = reason.empty() ? 1 : -1;
    }
    why = reason;
    return state == 1;
}

bool mount_tmpfs(const std::string &dir, const std::string &size) {
    const std::string options = "size=" + size;
    return mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()) == 0;
}

bool remount_read_only(const std::string &dir) {
    return mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
           mount(nullptr, dir.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) == 0;
}

void fill_file_system(const std::string &file) {
    FILE *f = std::fopen(file.c_str(), "w");
    if (!f) throw std::runtime_error("cannot create " + file);
    const std::string block(4096, 'x');
    while (std::fwrite(block.data(), 1, block.size(), f) == block.size() && std::fflush(f) == 0) {
    }
    std::fclose(f);
}

}  // namespace testing_support
