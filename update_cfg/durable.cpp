#include "durable.h"

#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

namespace {

bool write_all(int fd, const char *data, size_t length) {
    while (length > 0) {
        const ssize_t n = write(fd, data, length);
        if (n <= 0) return false;
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

bool folder_of(const char *path, char *folder, size_t size) {
    const char *slash = strrchr(path, '/');
    const int length = !slash || slash == path ? 1 : static_cast<int>(slash - path);
    const char *from = slash ? path : ".";
    const int n = snprintf(folder, size, "%.*s", length, from);
    return n >= 0 && static_cast<size_t>(n) < size;
}

bool flush_folder(const char *folder) {
    const int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool flushed = fsync(fd) == 0;
    return close(fd) == 0 && flushed;
}

bool replace_file(const char *path, const char *temporary, const char *data, size_t length) {
    // A temporary file left by a run that was stopped is overwritten.
    const int fd = open(temporary, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return false;
    const bool written = write_all(fd, data, length) && fsync(fd) == 0;
    char folder[PATH_MAX];
    if (close(fd) != 0 || !written || rename(temporary, path) != 0) {
        unlink(temporary);
        return false;
    }
    return folder_of(path, folder, sizeof folder) && flush_folder(folder);
}
