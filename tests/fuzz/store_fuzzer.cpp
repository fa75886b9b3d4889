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

#include "fuzz_store.h"

using namespace fuzz_store;

namespace {

void require(bool condition, const char *what) {
    if (!condition) {
        fprintf(stderr, "store fuzzer: %s\n", what);
        remove_file();
        abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string input(reinterpret_cast<const char *>(data), size);
    const std::string document = input.substr(0, input.find('\0'));
    put(document);
    const int handle = xml_file_open(file().c_str());
    if (handle <= 0) return 0;

    std::map<std::string, std::string> last_written;
    std::string before = document;
    for (const std::string &line : write_lines(input)) {
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

    const int reopened = xml_file_open(file().c_str());
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
    return 0;
}
