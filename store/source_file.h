// The configuration file as it was opened, read in small windows where a
// save needs its bytes, so that a document never holds a second copy of it.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace xml_store {

class SourceFile {
  public:
    SourceFile() = default;
    SourceFile(const SourceFile &) = delete;
    SourceFile &operator=(const SourceFile &) = delete;
    ~SourceFile();

    // Opens a regular file.  False when it is missing, unreadable or anything
    // but a regular file; a FIFO does not block the open.
    bool open(const std::string &path);
    // Takes an open descriptor, which must be of a regular file (or a memfd).
    bool adopt(int fd);

    size_t size() const { return static_cast<size_t>(stat_.st_size); }
    // The byte at pos < size(); '\0' after a read error, which failed() tells.
    char at(size_t pos) const {
        if (pos - window_begin_ >= window_size_) load(pos);
        return pos - window_begin_ < window_size_ ? window_[pos - window_begin_] : '\0';
    }
    // The first c at or after pos, or size(): a search through the window.
    size_t find(char c, size_t pos) const;
    std::string read(size_t pos, size_t length) const;
    // True when the bytes at pos are text; reads through the window.
    bool holds(size_t pos, std::string_view text) const;
    // Reads the whole file into out, which holds size() bytes.
    bool read_all(char *out) const;
    // Reads length bytes at pos into out, straight from the file.
    bool read_at(char *out, size_t length, size_t pos) const;
    // The same through the window: short runs between a save's splices
    // cost no system call each.
    bool copy(char *out, size_t length, size_t pos) const;

    bool failed() const { return failed_; }
    // False once the file was written or resized by someone since it was opened.
    bool unchanged() const;

  private:
    void load(size_t pos) const;

    int fd_ = -1;
    struct stat stat_ {};
    static constexpr size_t kWindow = 16384;
    mutable char window_[kWindow] = {};
    mutable size_t window_begin_ = 0;
    mutable size_t window_size_ = 0;
    mutable bool failed_ = false;
};

}  // namespace xml_store
