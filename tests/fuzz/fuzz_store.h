// What the two fuzzers of the store share: the one configuration file a
// process works on, and the layout of an input, a document, a NUL, then one
// write a line.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "scratch.h"
#include "xml_file.h"

namespace fuzz_store {

inline std::string g_folder;  // made by the first call of file()

// Removes the file and its folder; abort() runs no atexit handler, so a
// failing check calls it first.
inline void remove_file() {
    if (g_folder.empty()) return;
    unlink((g_folder + "/config.xml").c_str());
    rmdir(g_folder.c_str());
}

// The file, in a folder of this process's own: in memory where the system
// has a tmpfs, since every save flushes the file and its folder.
inline const std::string &file() {
    static const std::string path = [] {
        std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        if (const char *tmp = getenv("TMPDIR")) base = tmp;
        std::string made = base + "/store_fuzz.XXXXXX";
        if (!mkdtemp(made.data())) abort();
        g_folder = made;
        atexit(remove_file);
        return made + "/config.xml";
    }();
    return path;
}

inline void put(const std::string &bytes) {
    testing_support::write_file(file(), bytes);
}

inline std::string get() {
    return testing_support::read_file(file());
}

// The lines of input after its first NUL, split at line feeds.
inline std::vector<std::string> write_lines(const std::string &input) {
    std::vector<std::string> lines;
    const size_t nul = input.find('\0');
    for (size_t pos = nul == std::string::npos ? input.size() : nul + 1; pos < input.size();) {
        size_t end = input.find('\n', pos);
        if (end == std::string::npos) end = input.size();
        lines.push_back(input.substr(pos, end - pos));
        pos = end + 1;
    }
    return lines;
}

// Writes value with the length the tool passes: its bytes plus the terminator.
inline int write_value(int handle, std::string value, const std::string &entry) {
    return xml_file_write(handle, value.data(), static_cast<int>(value.size() + 1), entry.c_str(),
                          0, 0);
}

}  // namespace fuzz_store
