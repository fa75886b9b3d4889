#include "recording_store.h"

#include <string>

#include "xml_file.h"

RecordingStore &RecordingStore::instance() {
    static RecordingStore store;
    return store;
}

extern "C" {

int xml_file_open(const char *path) {
    RecordingStore &store = RecordingStore::instance();
    if (store.on_open) store.on_open(path);
    const auto named = store.handle_for.find(path);
    const int handle = named != store.handle_for.end() ? named->second : store.next_handle++;
    store.calls.push_back("open " + std::string(path) + " -> " + std::to_string(handle));
    return handle;
}

int xml_file_write(int handle, char *value, int len, const char *entry, int a, int b) {
    RecordingStore &store = RecordingStore::instance();
    store.writes.push_back({handle, value, len, entry});
    store.calls.push_back("write " + std::to_string(handle) + " [" + value + "] " +
                          std::to_string(len) + " " + entry + " " + std::to_string(a) + " " +
                          std::to_string(b));
    return store.write_result;
}

int xml_file_save(int handle) {
    RecordingStore &store = RecordingStore::instance();
    store.calls.push_back("save " + std::to_string(handle));
    const auto named = store.save_result.find(handle);
    return named == store.save_result.end() ? 0 : named->second;
}

int xml_file_close(int handle) {
    RecordingStore::instance().calls.push_back("close " + std::to_string(handle));
    return 0;
}
}
