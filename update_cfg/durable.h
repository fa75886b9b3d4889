// Changes to the device's flash that a power cut cannot tear, and the test
// that a file is still the one seen before.  Compiled into both libxml.so and
// the tool: one atomic replace and one "same file" for both.  The tool runs
// beside the device's own libxml.so, so this needs nothing but the C library.
#pragma once

#include <fcntl.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

// The same file with the same content as far as the file system tells: the
// same device, inode, size and modification time and, with change_time, the
// same change time, which a rewrite in place changes even when the writer
// puts the size and modification time back.  The tool leaves it out for the
// update file it holds open: a new update renamed over that file, or its
// deletion, changes its change time (the link count), not its content.
bool same_file(const struct stat &a, const struct stat &b, bool change_time);

// Writes all of data.  An interrupted write goes on: a signal is no failure.
bool write_all(int fd, const char *data, size_t length);
// Reads into data up to length bytes, fewer only at the end of the file or
// on an error; an interrupted read goes on, as a write does.
size_t read_up_to(int fd, char *data, size_t length);
// Linux releases a descriptor even when close() fails with EINTR.
bool close_fd(int fd);

// Two for the tool alone, inline so that libxml.so, which compiles this
// file's source too, does not carry them.
//
// The folder that holds path, into folder (capacity size).  False when it
// does not fit.
inline bool folder_of(const char *path, char *folder, size_t size) {
    const char *slash = strrchr(path, '/');
    const int length = !slash || slash == path ? 1 : static_cast<int>(slash - path);
    const int n = snprintf(folder, size, "%.*s", length, slash ? path : ".");
    return n >= 0 && static_cast<size_t>(n) < size;
}
// Flushes a folder, so that a rename or deletion in it outlives a power cut.
inline bool flush_folder(const char *folder) {
    const int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool flushed = fsync(fd) == 0;
    return close_fd(fd) && flushed;
}

// Puts new content at name in folder so that a power cut leaves either the
// old file or the new one.  Whatever is at temporary (a fixed name in the same
// folder, so that a copy left by a power cut is replaced by the next replace
// instead of piling up) is removed and the file created anew, never truncated:
// it could be a link to another file.  fill writes the content into it; it is
// flushed; ready, when given, has the last word; it is renamed over name; the
// folder is flushed.  On failure before the rename no temporary file remains.
struct Replacement {
    int folder;  // an open descriptor of the folder
    const char *name;
    const char *temporary;
    bool (*fill)(int fd, void *context);
    bool (*ready)(void *context);
    void *context;
    bool renamed = false;  // the new content took the file's place
    struct stat now = {};  // the new file after the rename; zeroed when unknown
};
bool replace_at(Replacement &replacement);
