// The configuration file on disk: its bytes as opened, and their replacement
// so that neither a power cut nor another writer leaves a torn or mixed file.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>

namespace xml_store {

class ConfigFile {
  public:
    ConfigFile() = default;
    ConfigFile(const ConfigFile &) = delete;
    ConfigFile &operator=(const ConfigFile &) = delete;
    ~ConfigFile();

    // Reads the regular file at path whole.  A symbolic link is resolved here,
    // once: the file is the one named at open, whatever the working folder
    // or the links do later.  False when it is missing, unreadable, not a
    // regular file, over kMaxFileSize or changed while it was read.
    bool open(const char *path);
    const std::string &bytes() const { return bytes_; }

    // Replaces the file's content with what write_content writes to the
    // stream it is given (true when all of it was written).  Refused, the
    // file left alone, when it is no longer the one opened or last saved
    // (same device, inode, size, modification and change time, and, read
    // again just before the rename, the same bytes), or when another save of
    // it is under way.  The new content goes to a temporary file beside it
    // (replace_at, durable.h), which takes the file's mode, owner and
    // extended attributes (those the process may set), is flushed and is
    // renamed over it; then the folder is flushed.  On failure no temporary
    // file is left and the file is as it was, except when a step after the
    // rename failed (the folder's flush): the file then holds the new
    // content, which a power cut may still undo, and the next replace() of
    // this object writes it again (refused, were the new file's identity not
    // to be read).  Content that the last replace() wrote whole, to the file
    // still there, is not written again: true, and the file left alone.
    bool replace(const std::function<bool(FILE *)> &write_content);

    // A file's bytes as they stream past, summed up: enough to tell the
    // content of the last save from another writer's without keeping it.
    struct Fingerprint {
        uint64_t size = 0;
        uint64_t hash = 0;
        uint64_t pending = 0;  // the size % 8 bytes past the last whole eight
        void add(const char *data, size_t length);
        bool operator==(const Fingerprint &other) const {
            return size == other.size && hash == other.hash && pending == other.pending;
        }
    };

  private:
    bool names_opened_file(int fd) const;
    bool holds_expected_bytes(int fd) const;

    int folder_ = -1;
    std::string name_;
    struct stat identity_ {};
    std::string bytes_;
    // What the last save wrote; until one did, the file should hold bytes_.
    std::optional<Fingerprint> saved_;
    bool saved_whole_ = false;  // the last replace() succeeded, folder flushed
};

}  // namespace xml_store
