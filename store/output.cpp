#include "output.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace xml_store {

Output::Output(int fd) : fd_(fd), buffer_(new char[kBuffer]) {}

bool Output::flush() {
    for (size_t done = 0; ok_ && done < used_;) {
        const ssize_t n = ::write(fd_, buffer_.get() + done, used_ - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) ok_ = false;
        done += n > 0 ? static_cast<size_t>(n) : 0;
    }
    used_ = 0;
    return ok_;
}

bool Output::append(std::string_view bytes) {
    while (ok_ && !bytes.empty()) {
        if (used_ == kBuffer && !flush()) break;
        const size_t length = std::min(kBuffer - used_, bytes.size());
        std::copy_n(bytes.data(), length, buffer_.get() + used_);
        used_ += length;
        bytes.remove_prefix(length);
    }
    return ok_;
}

bool Output::append(const SourceFile &source, size_t from, size_t to) {
    while (ok_ && from < to) {
        if (used_ == kBuffer && !flush()) break;
        const size_t length = std::min(kBuffer - used_, to - from);
        if (!source.copy(buffer_.get() + used_, length, from)) ok_ = false;
        used_ += length;
        from += length;
    }
    return ok_;
}

}  // namespace xml_store
