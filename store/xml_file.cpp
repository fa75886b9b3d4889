// The C interface: a table of open documents.  No exception crosses it; a
// failed allocation is a failed call.
#include "xml_file.h"

#include <climits>
#include <cstring>
#include <memory>
#include <unordered_map>

#include "document.h"

namespace {

using xml_store::Document;
using xml_store::WriteResult;

std::unordered_map<int, std::unique_ptr<Document>> &documents() {
    static std::unordered_map<int, std::unique_ptr<Document>> open_documents;
    return open_documents;
}

Document *find(int handle) {
    const auto it = documents().find(handle);
    return it == documents().end() ? nullptr : it->second.get();
}

// Handles are not reused while the process lives, so a stale handle cannot
// reach a store opened later.
int next_handle() {
    static int last = 0;
    return last == INT_MAX ? 0 : ++last;
}

}  // namespace

extern "C" {

int xml_file_open(const char *path) try {
    if (!path) return 0;
    std::unique_ptr<Document> document = Document::open(path);
    if (!document) return 0;
    const int handle = next_handle();
    if (handle > 0) documents().emplace(handle, std::move(document));
    return handle;
} catch (...) {
    return 0;
}

int xml_file_write(int handle, char *value, int len, const char *entry, int, int) {
    Document *document = find(handle);
    if (!document || !value || !entry || len <= 0) return -1;
    // Reads no further than len bytes: a value without its terminator there
    // is refused, not overrun.
    if (strnlen(value, static_cast<size_t>(len)) != static_cast<size_t>(len) - 1) return -1;
    const WriteResult result = document->write(entry, std::string_view(value, len - 1));
    return result == WriteResult::written || result == WriteResult::unchanged ? 0 : -1;
}

int xml_file_save(int handle) {
    Document *document = find(handle);
    return document && document->save() ? 0 : -1;
}

int xml_file_close(int handle) {
    return documents().erase(handle) == 1 ? 0 : -1;
}
}
