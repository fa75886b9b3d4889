#include "output.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace xml_store {

Output::Output(int fd) : fd_(fd) {
    buffer_.reserve(kBuffer);
}

bool Output::flush() {
    for (size_t done = 0; ok_ && done < buffer_.size();) {
        const ssize_t n = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) ok_ = false;
        done += n > 0 ? static_cast<size_t>(n) : 0;
    }
    buffer_.clear();
    return ok_;
}

bool Output::append(std::string_view bytes) {
    while (ok_ && !bytes.empty()) {
        if (buffer_.size() == kBuffer && !flush()) break;
        const size_t length = std::min(kBuffer - buffer_.size(), bytes.size());
        buffer_.append(bytes.data(), length);
        bytes.remove_prefix(length);
    }
    return ok_;
}

bool Output::append(const SourceFile &source, size_t from, size_t to) {
    while (ok_ && from < to) {
        if (buffer_.size() == kBuffer && !flush()) break;
        const size_t length = std::min(kBuffer - buffer_.size(), to - from);
        const size_t old = buffer_.size();
        buffer_.resize(old + length);
        if (!source.read_at(buffer_.data() + old, length, from)) ok_ = false;
        from += length;
    }
    return ok_;
}

}  // namespace xml_store
