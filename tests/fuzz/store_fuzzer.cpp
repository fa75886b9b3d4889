// The store fed arbitrary documents and writes.  Input: the document, a NUL,
// then one "entry=value" write a line.  Whatever it is fed, a document that
// opens renders to one that opens again and holds what was written, and a
// refused write changes no byte.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include "document.h"

using xml_store::Document;
using xml_store::WriteResult;

namespace {

// Documents come from a file in memory, the way the store reads a file.
std::unique_ptr<Document> load(const std::string &bytes) {
    const int fd = memfd_create("document", MFD_CLOEXEC);
    if (fd < 0 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        abort();
    return Document::load(fd);
}

std::string rendered(const Document &document) {
    return document.rendered_text(document.render());
}

void require(bool condition, const char *what) {
    if (!condition) {
        fprintf(stderr, "store fuzzer: %s\n", what);
        abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string input(reinterpret_cast<const char *>(data), size);
    const size_t nul = input.find('\0');
    std::unique_ptr<Document> document = load(input.substr(0, nul));
    if (!document) return 0;

    std::map<std::string, std::string> last_written;
    std::string before = rendered(*document);
    require(before == input.substr(0, nul), "an untouched document renders as read");
    size_t pos = nul == std::string::npos ? input.size() : nul + 1;
    while (pos < input.size()) {
        size_t end = input.find('\n', pos);
        if (end == std::string::npos) end = input.size();
        const std::string line = input.substr(pos, end - pos);
        pos = end + 1;
        const size_t equals = line.find('=');
        if (equals == std::string::npos) continue;
        const std::string entry = line.substr(0, equals), value = line.substr(equals + 1);
        const WriteResult result = document->write(entry, value);
        const std::string after = rendered(*document);
        if (result == WriteResult::written || result == WriteResult::unchanged) {
            last_written[entry] = value;
        } else {
            require(after == before, "a refused write changes nothing");
        }
        if (result == WriteResult::unchanged)
            require(after == before, "an equal write changes nothing");
        before = after;
    }

    std::unique_ptr<Document> reopened = load(before);
    require(reopened != nullptr, "a saved document opens again");
    for (const auto &[entry, value] : last_written) {
        bool is_parent = false;
        for (const auto &other : last_written)
            is_parent |= other.first.compare(0, entry.size() + 1, entry + ".") == 0;
        if (!is_parent)
            require(reopened->write(entry, value) == WriteResult::unchanged,
                    "a saved document holds what was written");
    }
    return 0;
}
