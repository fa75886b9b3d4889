// Saves that run out of memory at their last check or while copying the
// file's attributes: the file stays untouched and no temporary file or
// descriptor remains, "no memory" being one more failure of the save.  Both
// run inside replace_at (update_cfg/durable.cpp), which cleans up only when
// they return, so an exception that unwound past it would leave
// ".config.xml.tmp" behind with its descriptor open.
#include <dirent.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "config_file.h"
#include "document.h"
#include "scratch.h"

using namespace testing_support;

namespace {

// When set, the next new[] of exactly this many bytes throws bad_alloc: the
// store's re-read chunk, and nothing else the save allocates with new[].
size_t fail_array_of = 0;

const size_t kCheckChunk = size_t{64} * 1024;  // as in store/config_file.cpp

}  // namespace

void *operator new[](size_t size) {
    if (fail_array_of != 0 && size == fail_array_of) {
        fail_array_of = 0;
        throw std::bad_alloc();
    }
    if (void *p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete[](void *p) noexcept {
    std::free(p);
}
void operator delete[](void *p, size_t) noexcept {
    std::free(p);
}

namespace {

const char kDocument[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<DVR_CFG><NET><IP>10.0.0.1</IP></NET></DVR_CFG>\n";

int open_descriptors() {
    int count = 0;
    if (DIR *dir = opendir("/proc/self/fd")) {
        while (readdir(dir)) ++count;
        closedir(dir);
    }
    return count;
}

// ConfigFile::replace itself: the bad_alloc of the last-moment check fails
// the replace, and leaves neither the temporary file nor its descriptor.
TEST(OutOfMemorySave, ASaveOutOfMemoryAtItsLastCheckLeavesNoTemporaryFile) {
    ScratchDir dir;
    const std::string path = dir / "config.xml";
    write_file(path, kDocument);
    const int descriptors = open_descriptors();
    {
        xml_store::ConfigFile file;
        ASSERT_TRUE(file.open(path.c_str()));
        fail_array_of = kCheckChunk;
        EXPECT_FALSE(file.replace([](FILE *out) { return std::fputs(kDocument, out) >= 0; }));
        const bool reached = fail_array_of == 0;
        fail_array_of = 0;
        EXPECT_TRUE(reached) << "the injected allocation failure was not reached";
    }
    EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"config.xml"})
        << "a temporary file stays beside the file";
    EXPECT_EQ(open_descriptors(), descriptors) << "the temporary file's descriptor stays open";
    EXPECT_EQ(read_file(path), kDocument);
}

// The same through the store's document, as libxml.so's xml_file_save
// calls it for the tool: the save fails (the tool would say "save ...
// failed!" and keep the update file) and leaves no ".config.xml.tmp".
TEST(OutOfMemorySave, AStoreSaveOutOfMemoryFailsWithoutATemporaryFile) {
    ScratchDir dir;
    const std::string path = dir / "config.xml";
    write_file(path, kDocument);
    {
        const std::unique_ptr<xml_store::Document> document =
            xml_store::Document::open(path.c_str());
        ASSERT_TRUE(document);
        ASSERT_EQ(document->write("DVR_CFG.NET.IP", "10.0.0.42"), xml_store::WriteResult::written);
        fail_array_of = kCheckChunk;
        const bool saved = document->save();
        const bool reached = fail_array_of == 0;
        fail_array_of = 0;
        ASSERT_TRUE(reached) << "the injected allocation failure was not reached";
        EXPECT_FALSE(saved);
    }
    EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"config.xml"})
        << "a temporary file stays beside the file";
    EXPECT_EQ(read_file(path), kDocument);
}

}  // namespace
