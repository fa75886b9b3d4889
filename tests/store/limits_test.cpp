// Inputs at and past the store's bounds: file sizes, entry path depths, and
// memory that runs out in the middle of a write or a save.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <string>

#include "process.h"
#include "store_case.h"
#include "store_limits.h"

using namespace testing_support;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

const std::string kConfig = "<DVR_CFG>\n  <NET>\n    <IP>1.2.3.4</IP>\n  </NET>\n</DVR_CFG>\n";

// A whole document of exactly size bytes: blanks pad it after the root.
std::string padded(size_t size) {
    std::string bytes = kConfig;
    bytes.resize(size, ' ');
    return bytes;
}

TEST(Limits, FileSizeAtTheBoundOpensOneByteMoreDoesNot) {
    const auto bound = static_cast<size_t>(xml_store::kMaxFileSize);
    EXPECT_GT(StoreFile(padded(bound)).handle, 0);
    EXPECT_EQ(StoreFile(padded(bound + 1)).handle, 0);
}

// A 32-bit size would see 115 bytes, or a zero-length buffer for 4 GiB - 1:
// either is refused whole, and the file is left as it is.
TEST(Limits, SparseFilesPastFourGibibytesAreRefused) {
    ScratchDir dir;
    const std::string path = dir / "config.xml";
    for (const long long size : {(4LL << 30) + 115, (4LL << 30) - 1, 4LL << 30}) {
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(pwrite(fd, kConfig.data(), kConfig.size(), 0),
                  static_cast<ssize_t>(kConfig.size()));
        if (ftruncate(fd, static_cast<off_t>(size)) != 0) {
            close(fd);
            GTEST_SKIP() << "this file system holds no file of " << size << " bytes";
        }
        close(fd);
        EXPECT_EQ(xml_file_open(path.c_str()), 0) << size;
        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_size, size);
    }
}

std::string path_of_depth(size_t depth) {
    std::string entry = "DVR_CFG";
    for (size_t i = 1; i < depth; ++i) entry += ".A";
    return entry;
}

// What a thread with a small stack (a small C library's default) does with
// the deepest entry path there is, and with deeper ones.
struct DeepWrites {
    int handle;
    int deepest_written = -1, deeper_refused = 0, saved = -1;
};

void *write_deep_paths(void *arg) {
    auto &run = *static_cast<DeepWrites *>(arg);
    for (const size_t depth : {xml_store::kMaxEntryDepth + 1, size_t{1000}, size_t{48000}})
        run.deeper_refused += write_value(run.handle, "x", path_of_depth(depth)) != 0;
    run.deepest_written = write_value(run.handle, "x", path_of_depth(xml_store::kMaxEntryDepth));
    run.saved = xml_file_save(run.handle);
    return nullptr;
}

TEST_XML(Limits, DeepestEntryPathOnASmallThreadStack, kConfig) {
    DeepWrites run{store.handle};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    // Sanitizers multiply stack frames; the bound is for the product build.
    ASSERT_EQ(pthread_attr_setstacksize(&attr, kSanitized ? 1024 * 1024 : 128 * 1024), 0);
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, &attr, write_deep_paths, &run), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
    EXPECT_EQ(run.deeper_refused, 3);
    EXPECT_EQ(run.deepest_written, 0);
    EXPECT_EQ(run.saved, 0);

    // The new elements nest one in another, indented a level each.
    std::string chain = "\n  <A>", indent = "  ";
    for (size_t depth = 2; depth < xml_store::kMaxEntryDepth; ++depth) {
        indent += "  ";
        chain += "\n" + indent + "<A>";
    }
    EXPECT_NE(store.bytes().find(chain.substr(0, chain.size() - 3) + "<A>x</A>\n"),
              std::string::npos);
}

// Runs body in a child process whose address space is capped at its size
// now plus headroom; returns what the child returned, or -1 when it died.
template <typename Body>
int with_address_space_limit(size_t headroom, Body body) {
    return in_child([&] {
        long pages = 0;
        if (FILE *f = fopen("/proc/self/statm", "r")) {
            if (fscanf(f, "%ld", &pages) != 1) pages = 0;
            fclose(f);
        }
        const rlim_t now = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE));
        const struct rlimit limit = {now + headroom, now + headroom};
        if (pages == 0 || setrlimit(RLIMIT_AS, &limit) != 0) return 100;
        return body();
    });
}

// Memory runs out in a child process whose address space is capped, while
// it works on the store opened before; whatever it did, the file is as it
// was and nothing is left beside it.
class OutOfMemory : public testing::Test {
  protected:
    void SetUp() override {
        if (kSanitized) GTEST_SKIP() << "a sanitizer's shadow memory does not fit an address limit";
        if (!emulation_note().empty()) GTEST_SKIP() << "the address limit would bind the emulator";
        ASSERT_GT(store.handle, 0);
        ASSERT_EQ(store.write("DVR_CFG.NET.IP", "5.6.7.8"), 0);
    }
    void TearDown() override {
        EXPECT_EQ(store.bytes(), kConfig);
        EXPECT_EQ(store.files(), kJustTheFile);
    }
    StoreFile store{kConfig};
};

// A write that cannot hold its value, or the name of an element it would
// add, changes nothing: no element of it is left for a later write to find.
// The handle's next save fails and writes nothing: the update did not all
// reach the store.
TEST_F(OutOfMemory, AWriteThatCannotHoldItsValue) {
    std::string huge(64 << 20, 'v');
    const std::string huge_name = "DVR_CFG.NEW." + huge;
    const auto in_the_child = [&] {
        const int len = static_cast<int>(huge.size() + 1);
        if (xml_file_write(store.handle, huge.data(), len, "DVR_CFG.NET.IP", 0, 0) == 0) return 2;
        if (store.write(huge_name, "v") == 0) return 4;
        if (store.write("DVR_CFG.NEW", "v") != 0) return 5;  // NEW holds no element
        return store.save() == 0 ? 3 : 0;
    };
    EXPECT_EQ(with_address_space_limit(16 << 20, in_the_child), 0);
}

// A save that runs out of memory while it writes its temporary file (the
// first change is small, the second too large to render) leaves the file as
// it was and no temporary file.
TEST_F(OutOfMemory, ASaveThatCannotRenderItsValue) {
    ASSERT_EQ(store.write("DVR_CFG.NET.HUGE", std::string(48 << 20, 'v')), 0);
    EXPECT_EQ(with_address_space_limit(8 << 20, [&] { return store.save() == 0 ? 1 : 0; }), 0);
}

}  // namespace
