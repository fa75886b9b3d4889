// Shortcuts over the C interface for the store's tests.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "scratch.h"
#include "xml_file.h"

namespace testing_support {

// Writes value with the length the tool passes: its bytes plus the terminator.
inline int write_value(int handle, std::string value, const std::string &entry) {
    return xml_file_write(handle, value.data(), static_cast<int>(value.size() + 1), entry.c_str(),
                          0, 0);
}

using Writes = std::vector<std::pair<std::string, std::string>>;  // entry, value

// Saves document as a file, applies writes (each must be accepted), saves and
// returns the file's bytes.
inline std::string apply(const std::string &document, const Writes &writes) {
    ScratchDir dir;
    const std::string path = dir / "config.xml";
    write_file(path, document);
    const int handle = xml_file_open(path.c_str());
    if (handle <= 0) return "<open failed>";
    for (const auto &[entry, value] : writes)
        if (write_value(handle, value, entry) != 0) return "<write refused: " + entry + ">";
    const int saved = xml_file_save(handle);
    xml_file_close(handle);
    return saved == 0 ? read_file(path) : "<save failed>";
}

}  // namespace testing_support
