#include "atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>

namespace xml_store {
namespace {

// Closes a descriptor on every path out of a function; close() is checked
// explicitly where its result matters.
class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }
    bool close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

  private:
    int fd_;
};

std::string folder_of(const std::string &path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The temporary file has a fixed name, so a copy left by a power cut is
// replaced by the next save instead of piling up.
std::string temporary_for(const std::string &target) {
    const size_t slash = target.rfind('/');
    const size_t base = slash == std::string::npos ? 0 : slash + 1;
    return target.substr(0, base) + "." + target.substr(base) + ".tmp";
}

bool write_temporary(const std::string &tmp, const struct stat &target,
                     const std::function<bool(int fd)> &write_content) {
    if (::unlink(tmp.c_str()) != 0 && errno != ENOENT) return false;
    Fd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (fd.get() < 0) return false;
    if (::geteuid() == 0 && ::fchown(fd.get(), target.st_uid, target.st_gid) != 0) return false;
    return ::fchmod(fd.get(), target.st_mode & 07777) == 0 && write_content(fd.get()) &&
           ::fsync(fd.get()) == 0 && fd.close();
}

bool sync_folder(const std::string &folder) {
    Fd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return fd.get() >= 0 && ::fsync(fd.get()) == 0 && fd.close();
}

}  // namespace

bool replace_file(const std::string &path, const std::function<bool(int fd)> &write_content) {
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                         &std::free);
    if (!resolved) return false;
    const std::string target = resolved.get();
    struct stat st;
    if (::stat(target.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    // The rename would get past a file's missing write permission; honour it.
    if (::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) return false;

    const std::string tmp = temporary_for(target);
    if (!write_temporary(tmp, st, write_content) || ::rename(tmp.c_str(), target.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    return sync_folder(folder_of(target));
}

}  // namespace xml_store
