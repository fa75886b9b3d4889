// Inputs at and past the store's bounds: file sizes, entry path depths, and
// memory that runs out in the middle of a write or a save.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <string>

#include "process.h"
#include "store_helpers.h"
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
void write_padded(const std::string &path, size_t size) {
    std::string bytes = kConfig;
    bytes.resize(size, ' ');
    write_file(path, bytes);
}

TEST(Limits, FileSizeAtTheBoundOpensOneByteMoreDoesNot) {
    ScratchDir dir;
    const std::string path = dir / "config.xml";
    write_padded(path, static_cast<size_t>(xml_store::kMaxFileSize));
    const int handle = xml_file_open(path.c_str());
    EXPECT_GT(handle, 0);
    xml_file_close(handle);
    write_padded(path, static_cast<size_t>(xml_store::kMaxFileSize) + 1);
    EXPECT_EQ(xml_file_open(path.c_str()), 0);
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
    std::string path;
    int deepest_written = -1, deeper_refused = 0, saved = -1;
};

void *write_deep_paths(void *arg) {
    auto &run = *static_cast<DeepWrites *>(arg);
    const int handle = xml_file_open(run.path.c_str());
    for (const size_t depth : {xml_store::kMaxEntryDepth + 1, size_t{1000}, size_t{48000}})
        run.deeper_refused += write_value(handle, "x", path_of_depth(depth)) != 0;
    run.deepest_written = write_value(handle, "x", path_of_depth(xml_store::kMaxEntryDepth));
    run.saved = xml_file_save(handle);
    xml_file_close(handle);
    return nullptr;
}

TEST(Limits, DeepestEntryPathOnASmallThreadStack) {
    ScratchDir dir;
    DeepWrites run{dir / "config.xml"};
    write_file(run.path, kConfig);
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
    const std::string saved = read_file(run.path);
    std::string chain = "\n  <A>", indent = "  ";
    for (size_t depth = 2; depth < xml_store::kMaxEntryDepth; ++depth) {
        indent += "  ";
        chain += "\n" + indent + "<A>";
    }
    EXPECT_NE(saved.find(chain.substr(0, chain.size() - 3) + "<A>x</A>\n"), std::string::npos);
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

// A write that cannot hold its value, or the name of an element it would
// add, changes nothing: no element of it is left for a later write to find.
// The handle's next save fails and writes nothing: the update did not all
// reach the store.
TEST(OutOfMemory, AWriteThatCannotHoldItsValue) {
    if (kSanitized) GTEST_SKIP() << "a sanitizer's shadow memory does not fit an address limit";
    if (!emulation_note().empty()) GTEST_SKIP() << "the address limit would bind the emulator";
    ScratchDir dir;
    const std::string path = dir / "config.xml";
    write_file(path, kConfig);
    std::string huge(64 << 20, 'v');
    const std::string huge_name = "DVR_CFG.NEW." + huge;
    const int result = with_address_space_limit(16 << 20, [&] {
        const int handle = xml_file_open(path.c_str());
        if (write_value(handle, "5.6.7.8", "DVR_CFG.NET.IP") != 0) return 1;
        if (xml_file_write(handle, huge.data(), static_cast<int>(huge.size() + 1), "DVR_CFG.NET.IP",
                           0, 0) == 0)
            return 2;
        if (write_value(handle, "v", huge_name) == 0) return 4;
        if (write_value(handle, "v", "DVR_CFG.NEW") != 0) return 5;  // NEW holds no element
        if (xml_file_save(handle) == 0) return 3;
        return 0;
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(read_file(path), kConfig);
    EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"config.xml"});
}

// A save that runs out of memory while it writes its temporary file (the
// first change is small, the second too large to render) leaves the file as
// it was and no temporary file.
TEST(OutOfMemory, ASaveThatCannotRenderItsValue) {
    if (kSanitized) GTEST_SKIP() << "a sanitizer's shadow memory does not fit an address limit";
    if (!emulation_note().empty()) GTEST_SKIP() << "the address limit would bind the emulator";
    ScratchDir dir;
    const std::string path = dir / "config.xml";
    write_file(path, kConfig);
    std::string big(48 << 20, 'v');
    const int handle = xml_file_open(path.c_str());
    ASSERT_EQ(write_value(handle, "5.6.7.8", "DVR_CFG.NET.IP"), 0);
    ASSERT_EQ(write_value(handle, big, "DVR_CFG.NET.HUGE"), 0);
    big = std::string();
    const int result =
        with_address_space_limit(8 << 20, [&] { return xml_file_save(handle) == 0 ? 1 : 0; });
    xml_file_close(handle);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(read_file(path), kConfig);
    EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"config.xml"});
}

}  // namespace
