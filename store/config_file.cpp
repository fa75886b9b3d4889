#include "config_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "../update_cfg/durable.h"
#include "extended_attributes.h"
#include "store_limits.h"

namespace xml_store {
namespace {

class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }
    bool close() { return close_fd(std::exchange(fd_, -1)); }

  private:
    int fd_;
};

// The new content on its way to the temporary file, summed up as it goes.
struct Sink {
    int fd;
    ConfigFile::Fingerprint written;
};

ssize_t sink_write(void *cookie, const char *data, size_t size) {
    Sink &sink = *static_cast<Sink *>(cookie);
    sink.written.add(data, size);  // of no use once a write failed: the save fails
    return write_all(sink.fd, data, size) ? static_cast<ssize_t>(size) : -1;
}

// Content summed up without being written anywhere.
ssize_t fingerprint_write(void *cookie, const char *data, size_t size) {
    static_cast<ConfigFile::Fingerprint *>(cookie)->add(data, size);
    return static_cast<ssize_t>(size);
}

// The file is read again in pieces of this size: the comparison needs no
// second copy of a large file in memory.
constexpr size_t kCheckChunk = size_t{64} * 1024;

}  // namespace

// Eight bytes at a time, whatever pieces they come in: a save streams its
// content in one set of pieces, the check reads it in another.
void ConfigFile::Fingerprint::add(const char *data, size_t length) {
    const auto mix = [this](uint64_t word) {
        hash = (hash ^ word) * 0x9E3779B97F4A7C15ULL;
        hash ^= hash >> 29;
    };
    for (; length > 0 && size % 8 != 0; --length) {
        pending |= static_cast<uint64_t>(static_cast<unsigned char>(*data++)) << (8 * (size++ % 8));
        if (size % 8 == 0) mix(std::exchange(pending, 0));
    }
    size += length - length % 8;  // the whole words, mixed below
    for (; length >= 8; data += 8, length -= 8) {
        uint64_t word;
        std::memcpy(&word, data, sizeof word);
        mix(word);
    }
    for (; length > 0; --length)
        pending |= static_cast<uint64_t>(static_cast<unsigned char>(*data++)) << (8 * (size++ % 8));
}

ConfigFile::~ConfigFile() {
    if (folder_ >= 0) ::close(folder_);
}

bool ConfigFile::open(const char *path) {
    const std::unique_ptr<char, decltype(&std::free)> real(::realpath(path, nullptr), &std::free);
    if (!real) return false;
    const std::string target = real.get();  // absolute, without links
    const size_t slash = target.rfind('/');
    name_ = target.substr(slash + 1);
    folder_ = ::open(slash == 0 ? "/" : target.substr(0, slash).c_str(),
                     O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder_ < 0) return false;
    // Non-blocking, so that a FIFO in the file's place is refused, not waited on.
    Fd fd(::openat(folder_, name_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW));
    if (fd.get() < 0 || ::fstat(fd.get(), &identity_) != 0 || !S_ISREG(identity_.st_mode) ||
        identity_.st_size > kMaxFileSize)
        return false;
    bytes_.resize(static_cast<size_t>(identity_.st_size));
    struct stat after;
    return read_up_to(fd.get(), &bytes_[0], bytes_.size()) == bytes_.size() &&
           ::fstat(fd.get(), &after) == 0 && same_file(after, identity_, true) && fd.close();
}

bool ConfigFile::names_opened_file(int fd) const {
    struct stat by_fd, by_name;
    return ::fstat(fd, &by_fd) == 0 && same_file(by_fd, identity_, true) &&
           ::fstatat(folder_, name_.c_str(), &by_name, AT_SYMLINK_NOFOLLOW) == 0 &&
           same_file(by_name, identity_, true);
}

// A writer that puts the file's size and times back, or writes within the
// same second on a file system that keeps whole seconds (flash file systems,
// vfat, ext4 with small inodes), leaves the identity as it was: only the
// bytes tell.  Until the first save they are compared exactly, then by the
// fingerprint of what that save wrote.
bool ConfigFile::holds_expected_bytes(int fd) const {
    const std::unique_ptr<char[]> chunk(new char[kCheckChunk]);
    Fingerprint seen;
    for (size_t at = 0;;) {
        const ssize_t n = ::pread(fd, chunk.get(), kCheckChunk, static_cast<off_t>(at));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return saved_ ? seen == *saved_ : at == bytes_.size();
        const size_t length = static_cast<size_t>(n);
        if (saved_)
            seen.add(chunk.get(), length);
        else if (length > bytes_.size() - at ||
                 std::memcmp(chunk.get(), bytes_.data() + at, length) != 0)
            return false;
        at += length;
    }
}

bool ConfigFile::replace(const std::function<bool(FILE *)> &write_content) {
    // Saves through this library hold an exclusive lock on the file they
    // replace.  It lives on the inode, so it needs no lock file and dies with
    // its holder.  A second save meanwhile fails at once rather than wait:
    // the first one is replacing the version it opened, after which it would
    // fail anyway.  The lock also keeps the fixed temporary name to one saver
    // at a time; being fixed, a copy left by a power cut is replaced by the
    // next save instead of piling up.
    Fd current(::openat(folder_, name_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW));
    if (current.get() < 0 || ::flock(current.get(), LOCK_EX | LOCK_NB) != 0 ||
        !names_opened_file(current.get()))
        return false;
    // The rename would get past a file's missing write permission; honour it.
    if (::faccessat(folder_, name_.c_str(), W_OK, AT_EACCESS) != 0) return false;
    // Flash wears with every write: what the last save wrote, whole, to the
    // file that is still there, is not written again.
    if (saved_whole_) {
        Fingerprint content;
        FILE *out = ::fopencookie(&content, "w", {nullptr, fingerprint_write, nullptr, nullptr});
        bool summed = false;
        try {
            summed = out && write_content(out) && std::fflush(out) == 0;
        } catch (...) {
        }
        if (out) std::fclose(out);
        if (summed && content == *saved_) return true;
    }

    // What replace_at asks of the save: the new file's attributes and
    // content, then, at the last moment before the rename, the check for
    // writers that take no lock.  One that writes after this check and
    // before the rename is still lost.
    struct Save {
        ConfigFile &file;
        int current;
        const std::function<bool(FILE *)> &write_content;
        Sink sink;
    } save{*this, current.get(), write_content, {-1, {}}};
    const std::string temporary = "." + name_ + ".tmp";
    Replacement replacement{
        folder_, name_.c_str(), temporary.c_str(),
        // Nothing may unwind past replace_at, which would leave the temporary
        // file behind: a step that runs out of memory fails instead.
        [](int fd, void *context) {
            Save &save = *static_cast<Save *>(context);
            const struct stat &identity = save.file.identity_;
            try {
                if ((::geteuid() == 0 && ::fchown(fd, identity.st_uid, identity.st_gid) != 0) ||
                    ::fchmod(fd, identity.st_mode & 07777) != 0 ||
                    !copy_extended_attributes(save.current, fd))
                    return false;
            } catch (...) {
                return false;
            }
            save.sink.fd = fd;
            FILE *out = ::fopencookie(&save.sink, "w", {nullptr, sink_write, nullptr, nullptr});
            if (!out) return false;
            bool written = false;
            try {
                written = save.write_content(out) && std::fflush(out) == 0 && !std::ferror(out);
            } catch (...) {
            }
            return std::fclose(out) == 0 && written;
        },
        [](void *context) {
            const Save &save = *static_cast<Save *>(context);
            try {
                return save.file.names_opened_file(save.current) &&
                       save.file.holds_expected_bytes(save.current);
            } catch (...) {
                return false;
            }
        },
        &save};
    const bool replaced = replace_at(replacement);
    if (replacement.renamed) {
        saved_ = save.sink.written;
        identity_ = replacement.now;  // zeroed when unknown: it matches no file
    }
    saved_whole_ = replaced;
    return replaced;
}

}  // namespace xml_store
