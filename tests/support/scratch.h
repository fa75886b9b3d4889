// Throwaway folders and whole-file helpers for tests.
#pragma once

#include <string>
#include <vector>

namespace testing_support {

// A fresh folder under the system's temporary folder, removed with its
// content when the object goes.
class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;

    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

void write_file(const std::string &path, const std::string &content);
std::string read_file(const std::string &path);
bool exists(const std::string &path);
// path without links, or path itself where it does not resolve.
std::string real_path(const std::string &path);
// The lines of text, without their line ends; a last line need not end.
std::vector<std::string> lines_of(const std::string &text);
// Names in a folder, without "." and "..", sorted.
std::vector<std::string> list_dir(const std::string &path);

// Mounts are only possible for root; each test process gets mounts of its
// own, gone when it exits.  False, with the reason in why, where that is
// not possible here.
bool private_mounts(std::string &why);
bool mount_tmpfs(const std::string &dir, const std::string &size);
bool remount_read_only(const std::string &dir);
// Writes file until its file system has no byte left.
void fill_file_system(const std::string &file);

}  // namespace testing_support
