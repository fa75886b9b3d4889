// The C interface: handles to open documents.  No exception crosses it; a
// failed allocation is a failed call.
#include "xml_file.h"

#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>

#include "atomic_file.h"
#include "document.h"

namespace {

struct Store {
    std::string path;
    std::unique_ptr<xml_store::Document> document;
};

std::unordered_map<int, Store> &stores() {
    static std::unordered_map<int, Store> open_stores;
    return open_stores;
}

Store *find_store(int handle) {
    const auto it = stores().find(handle);
    return it == stores().end() ? nullptr : &it->second;
}

// Handles are not reused while the process lives, so a stale handle cannot
// reach a store opened later.
int next_handle() {
    static int last = 0;
    if (last == INT_MAX) return 0;
    return ++last;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int xml_file_open(const char *path) try {
    if (!path) return 0;
    auto document = xml_store::Document::open(path);
    if (!document) return 0;
    const int handle = next_handle();
    if (handle > 0) stores().emplace(handle, Store{path, std::move(document)});
    return handle;
} catch (...) {
    return 0;
}

__attribute__((visibility("default"))) int xml_file_write(int handle, char *value, int len,
                                                          const char *entry, int, int) try {
    Store *store = find_store(handle);
    if (!store || !value || !entry || len <= 0) return -1;
    // Reads no further than len bytes: a value without its terminator there
    // is refused, not overrun.
    if (strnlen(value, static_cast<size_t>(len)) != static_cast<size_t>(len) - 1) return -1;
    const auto result = store->document->write(entry, std::string_view(value, len - 1));
    return result == xml_store::WriteResult::written || result == xml_store::WriteResult::unchanged
               ? 0
               : -1;
} catch (...) {
    return -1;
}

__attribute__((visibility("default"))) int xml_file_save(int handle) try {
    Store *store = find_store(handle);
    if (!store) return -1;
    xml_store::Document &document = *store->document;
    // Flash wears with every write: a file whose bytes would not change is
    // left alone.
    if (!document.dirty()) return 0;
    const xml_store::Rendering rendering = document.render();
    if (!(rendering.same_as_source && document.file_holds_source())) {
        // Copying the untouched bytes from a file someone rewrote since the
        // open would mix two versions.
        if (!document.source_intact()) return -1;
        const bool saved = xml_store::replace_file(
            store->path, [&](int fd) { return document.write_rendering(fd, rendering); });
        if (!saved) return -1;
    }
    document.mark_saved(rendering);
    return 0;
} catch (...) {
    return -1;
}

__attribute__((visibility("default"))) int xml_file_close(int handle) {
    return stores().erase(handle) == 1 ? 0 : -1;
}
}
