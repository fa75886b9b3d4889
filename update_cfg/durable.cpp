#include "durable.h"

#include <errno.h>

bool same_file(const struct stat &a, const struct stat &b, bool change_time) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           (!change_time ||
            (a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec));
}

bool write_all(int fd, const char *data, size_t length) {
    while (length > 0) {
        const ssize_t n = write(fd, data, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

size_t read_up_to(int fd, char *data, size_t length) {
    size_t done = 0;
    while (done < length) {
        const ssize_t n = read(fd, data + done, length - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    return done;
}

bool close_fd(int fd) {
    return close(fd) == 0 || errno == EINTR;
}

bool replace_at(Replacement &r) {
    if (unlinkat(r.folder, r.temporary, 0) != 0 && errno != ENOENT) return false;
    const int fd =
        openat(r.folder, r.temporary, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return false;
    r.renamed = r.fill(fd, r.context) && fsync(fd) == 0 && (!r.ready || r.ready(r.context)) &&
                renameat(r.folder, r.temporary, r.folder, r.name) == 0;
    // The rename changed the new file's change time: it is read after it.
    const bool known = r.renamed && fstat(fd, &r.now) == 0;
    if (!known) r.now = {};
    const bool closed = close_fd(fd);
    if (!r.renamed) unlinkat(r.folder, r.temporary, 0);
    return known && closed && fsync(r.folder) == 0;
}
