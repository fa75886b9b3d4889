#include "source_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace xml_store {

SourceFile::~SourceFile() {
    if (fd_ >= 0) ::close(fd_);
}

bool SourceFile::open(const std::string &path) {
    return adopt(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
}

bool SourceFile::adopt(int fd) {
    if (fd < 0) return false;
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
    window_size_ = 0;
    return ::fstat(fd_, &stat_) == 0 && S_ISREG(stat_.st_mode);
}

bool SourceFile::read_at(char *out, size_t length, size_t pos) const {
    while (length > 0) {
        const ssize_t n = ::pread(fd_, out, length, static_cast<off_t>(pos));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        out += n;
        pos += static_cast<size_t>(n);
        length -= static_cast<size_t>(n);
    }
    return true;
}

void SourceFile::load(size_t pos) const {
    window_begin_ = pos - pos % kWindow;
    window_size_ = std::min(kWindow, size() - std::min(size(), window_begin_));
    if (!read_at(window_, window_size_, window_begin_)) {
        failed_ = true;
        window_size_ = 0;
    }
}

size_t SourceFile::find(char c, size_t pos) const {
    while (pos < size()) {
        if (pos - window_begin_ >= window_size_) {
            load(pos);
            if (window_size_ == 0) break;
        }
        const char *from = window_ + (pos - window_begin_);
        const size_t run = window_begin_ + window_size_ - pos;
        if (const void *hit = std::memchr(from, c, run))
            return pos + static_cast<size_t>(static_cast<const char *>(hit) - from);
        pos += run;
    }
    return size();
}

std::string SourceFile::read(size_t pos, size_t length) const {
    std::string bytes(length, '\0');
    if (!read_at(bytes.data(), length, pos)) failed_ = true;
    return bytes;
}

bool SourceFile::copy(char *out, size_t length, size_t pos) const {
    while (length > 0) {
        if (pos - window_begin_ >= window_size_) {
            if (length >= kWindow) return read_at(out, length, pos);
            load(pos);
            if (failed_ || window_size_ == 0) return false;
        }
        const size_t run = std::min(length, window_begin_ + window_size_ - pos);
        std::copy_n(window_ + (pos - window_begin_), run, out);
        out += run;
        pos += run;
        length -= run;
    }
    return true;
}

bool SourceFile::holds(size_t pos, std::string_view text) const {
    if (pos > size() || text.size() > size() - pos) return false;
    for (size_t i = 0; i < text.size(); ++i)
        if (at(pos + i) != text[i]) return false;
    return !failed_;
}

bool SourceFile::read_all(char *out) const {
    return read_at(out, size(), 0);
}

bool SourceFile::unchanged() const {
    struct stat now;
    return ::fstat(fd_, &now) == 0 && now.st_size == stat_.st_size &&
           now.st_mtim.tv_sec == stat_.st_mtim.tv_sec &&
           now.st_mtim.tv_nsec == stat_.st_mtim.tv_nsec;
}

}  // namespace xml_store
