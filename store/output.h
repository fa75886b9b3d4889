// Writes a file's pieces, its own bytes and bytes of the file it replaces,
// in few large writes through one fixed buffer.
#pragma once

#include <memory>
#include <string_view>

#include "source_file.h"

namespace xml_store {

class Output {
  public:
    explicit Output(int fd);

    bool append(std::string_view bytes);
    // Appends the source's bytes [from, to).
    bool append(const SourceFile &source, size_t from, size_t to);
    // Writes what is buffered; false when any write failed.
    bool flush();

  private:
    static constexpr size_t kBuffer = size_t{64} * 1024;
    int fd_;
    std::unique_ptr<char[]> buffer_;  // not zeroed: every byte is written before it is used
    size_t used_ = 0;
    bool ok_ = true;
};

}  // namespace xml_store
