// The update-file reader fed arbitrary bytes, as a real update file through
// the tool's own pass, with the recording store in place of libxml.so.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "recording_store.h"
#include "scratch.h"
#include "update.h"

namespace {

void require(bool condition, const char *what) {
    if (!condition) {
        fprintf(stderr, "reader fuzzer: %s\n", what);
        abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    static testing_support::ScratchDir dir;
    if (chdir(dir.path().c_str()) != 0 || system("mkdir -p mnt/mtd/app") != 0) abort();
    if (!freopen("/dev/null", "w", stdout)) abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    testing_support::write_file("./mnt/mtd/app/update.cfg",
                                std::string(reinterpret_cast<const char *>(data), size));
    RecordingStore &store = RecordingStore::instance();
    store.reset();
    // A failed save keeps the update file: finish() then only closes it,
    // with no folder flush and no deletion for every input.
    store.save_result[1] = -1;
    update_cfg tool;
    tool.open_update_file();
    tool.update("./mnt/mtd/app/config.xml");
    tool.finish();

    require(store.calls.size() >= 3, "every pass opens, saves and closes");
    require(store.calls.front().rfind("open ", 0) == 0, "open first");
    require(store.calls.back() == "close 1", "close last");
    require(store.calls.size() == store.writes.size() + 3, "only writes between open and save");
    for (const RecordingStore::Write &write : store.writes) {
        require(write.handle == 1, "the handle of the open store");
        require(write.len == static_cast<int>(write.value.size()) + 1, "len is strlen+1");
        require(write.value.size() <= 63, "a value fits its buffer");
        require(write.value.find('#') == std::string::npos, "no comment reaches the store");
        require(write.value.find('\n') == std::string::npos, "no line end in a value");
        require(write.entry.rfind("DVR_CFG.", 0) == 0, "entry paths start with the root");
        require(write.entry.size() <= 8 + 63 + 1 + 63, "section and key fit their buffers");
    }
    return 0;
}
