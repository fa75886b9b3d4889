// The store fed arbitrary documents and writes through its four operations.
// Input: the document, a NUL, then one "entry=value" write a line.  Whatever
// it is fed, a document that opens saves to one that opens again and holds
// what was written, and a refused write changes no byte.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include <unistd.h>

#include "xml_file.h"

namespace {

void require(bool condition, const char *what) {
    if (!condition) {
        fprintf(stderr, "store fuzzer: %s\n", what);
        abort();
    }
}

// One file per process, in memory where the system has a tmpfs: saves flush.
const std::string &scratch_path() {
    static const std::string path = [] {
        const char *dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        return std::string(dir) + "/store-fuzzer-" + std::to_string(getpid()) + ".xml";
    }();
    return path;
}

void put(const std::string &bytes) {
    FILE *f = fopen(scratch_path().c_str(), "wb");
    require(f && fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size() && fclose(f) == 0,
            "scratch file written");
}

std::string get() {
    std::string bytes;
    if (FILE *f = fopen(scratch_path().c_str(), "rb")) {
        char buffer[4096];
        for (size_t n; (n = fread(buffer, 1, sizeof buffer, f)) > 0;) bytes.append(buffer, n);
        fclose(f);
    }
    return bytes;
}

int write_value(int handle, std::string value, const std::string &entry) {
    return xml_file_write(handle, value.data(), static_cast<int>(value.size() + 1), entry.c_str(),
                          0, 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string input(reinterpret_cast<const char *>(data), size);
    const size_t nul = input.find('\0');
    const std::string document = input.substr(0, nul);
    put(document);
    const int handle = xml_file_open(scratch_path().c_str());
    if (handle <= 0) return 0;

    std::map<std::string, std::string> last_written;
    std::string before = document;
    size_t pos = nul == std::string::npos ? input.size() : nul + 1;
    while (pos < input.size()) {
        size_t end = input.find('\n', pos);
        if (end == std::string::npos) end = input.size();
        const std::string line = input.substr(pos, end - pos);
        pos = end + 1;
        const size_t equals = line.find('=');
        if (equals == std::string::npos) continue;
        // The store reads an entry path up to its first NUL, as C text.
        const std::string entry = line.substr(0, std::min(equals, line.find('\0')));
        const std::string value = line.substr(equals + 1);
        const bool accepted = write_value(handle, value, entry) == 0;
        require(xml_file_save(handle) == 0, "a save of an open document succeeds");
        const std::string after = get();
        if (accepted)
            last_written[entry] = value;
        else
            require(after == before, "a refused write changes nothing");
        before = after;
    }
    xml_file_close(handle);

    const int reopened = xml_file_open(scratch_path().c_str());
    require(reopened > 0, "a saved document opens again");
    for (const auto &[entry, value] : last_written) {
        bool is_parent = false;
        for (const auto &other : last_written)
            is_parent |= other.first.compare(0, entry.size() + 1, entry + ".") == 0;
        if (!is_parent)
            require(write_value(reopened, value, entry) == 0 && xml_file_save(reopened) == 0 &&
                        get() == before,
                    "a saved document holds what was written");
    }
    xml_file_close(reopened);
    unlink(scratch_path().c_str());
    return 0;
}
