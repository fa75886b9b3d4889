// Copying extended attributes between two open files: what is copied, what
// is skipped, and failures forced by an invalid descriptor and by strace.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <map>
#include <string>

#include "extended_attributes.h"
#include "process.h"
#include "scratch.h"
#include "strace_log.h"

using namespace testing_support;
using xml_store::copy_extended_attributes;

namespace {

using Attributes = std::map<std::string, std::string>;

// Read back with the path calls, not the descriptor calls under test.
Attributes attributes_of(const std::string &path) {
    Attributes all;
    char names[4096];
    const ssize_t size = listxattr(path.c_str(), names, sizeof names);
    for (ssize_t at = 0; at < size; at += static_cast<ssize_t>(strlen(names + at)) + 1) {
        char value[8192];
        const ssize_t length = getxattr(path.c_str(), names + at, value, sizeof value);
        all[names + at] = std::string(value, length < 0 ? 0 : static_cast<size_t>(length));
    }
    return all;
}

// A POSIX ACL granting user 1000 read and write, as the kernel stores it:
// version 2, then (tag, permissions, id) entries in tag order.
std::string access_acl() {
    std::string acl;
    const auto put = [&](uint32_t value, size_t bytes) {
        for (size_t i = 0; i < bytes; ++i) acl += static_cast<char>((value >> (8 * i)) & 0xFF);
    };
    put(2, 4);
    const uint32_t entries[][3] = {
        {0x01, 6, 0xFFFFFFFF}, {0x02, 6, 1000},       {0x04, 4, 0xFFFFFFFF},
        {0x10, 6, 0xFFFFFFFF}, {0x20, 4, 0xFFFFFFFF},
    };
    for (const auto &entry : entries) put(entry[0], 2), put(entry[1], 2), put(entry[2], 4);
    return acl;
}

class ExtendedAttributes : public testing::Test {
  protected:
    void SetUp() override {
        write_file(from_, "old");
        write_file(to_, "new");
        if (setxattr(from_.c_str(), "user.probe", "1", 1, 0) != 0)
            GTEST_SKIP() << "no user attributes on this file system: " << strerror(errno);
        removexattr(from_.c_str(), "user.probe");
    }
    bool copy() {
        const int from = open(from_.c_str(), O_RDONLY | O_CLOEXEC);
        const int to = open(to_.c_str(), O_RDONLY | O_CLOEXEC);
        const bool copied = copy_extended_attributes(from, to);
        const int error = errno;
        close(from), close(to);
        errno = error;
        return copied;
    }
    void set(const std::string &path, const std::string &name, const std::string &value) {
        ASSERT_EQ(setxattr(path.c_str(), name.c_str(), value.data(), value.size(), 0), 0)
            << name << ": " << strerror(errno);
    }
    ScratchDir dir_;
    const std::string from_ = dir_ / "config.xml", to_ = dir_ / ".config.xml.tmp";
};

TEST_F(ExtendedAttributes, CopiesUserAttributesOfAnySize) {
    const Attributes attributes = {{"user.empty", ""},
                                   {"user.binary", std::string("\0\x01\xFF", 3)},
                                   {"user.large", std::string(3000, 'v')}};
    for (const auto &[name, value] : attributes) set(from_, name, value);
    EXPECT_TRUE(copy());
    EXPECT_EQ(attributes_of(to_), attributes);
    EXPECT_EQ(read_file(to_), "new");
}

TEST_F(ExtendedAttributes, CopiesSecurityLabelsAndAccessLists) {
    if (geteuid() != 0) GTEST_SKIP() << "security attributes need root";
    if (setxattr(from_.c_str(), "security.store_test", "label", 5, 0) != 0)
        GTEST_SKIP() << "this file system takes no security attribute: " << strerror(errno);
    const std::string acl = access_acl();
    if (setxattr(from_.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) != 0)
        GTEST_SKIP() << "this file system takes no access list: " << strerror(errno);
    set(from_, "user.kept", "yes");
    EXPECT_TRUE(copy());
    const Attributes expected = {
        {"security.store_test", "label"}, {"system.posix_acl_access", acl}, {"user.kept", "yes"}};
    EXPECT_EQ(attributes_of(to_), expected);
}

TEST_F(ExtendedAttributes, KeepsWhatTheNewFileHasAndReplacesWhatBothHave) {
    set(from_, "user.both", "from the old file");
    set(to_, "user.both", "from the new file");
    set(to_, "user.own", "own");
    EXPECT_TRUE(copy());
    EXPECT_EQ(attributes_of(to_),
              (Attributes{{"user.both", "from the old file"}, {"user.own", "own"}}));
}

TEST_F(ExtendedAttributes, NoAttributesIsNothingToCopy) {
    EXPECT_TRUE(copy());
    EXPECT_EQ(attributes_of(to_), Attributes{});
}

TEST_F(ExtendedAttributes, FailsOnADescriptorThatIsNotOpen) {
    set(from_, "user.a", "1");
    const int to = open(to_.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_FALSE(copy_extended_attributes(-1, to));
    EXPECT_EQ(errno, EBADF);
    const int from = open(from_.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_FALSE(copy_extended_attributes(from, 999));
    EXPECT_EQ(errno, EBADF);
    close(from), close(to);
    EXPECT_EQ(attributes_of(to_), Attributes{});
}

// The calls fail as the kernel would make them fail, through strace.
TEST_F(ExtendedAttributes, SkipsWhatIsRefusedAndFailsOnOtherErrors) {
    if (!strace_note().empty()) GTEST_SKIP() << strace_note();
    set(from_, "user.a", "1");
    set(from_, "user.b", "2");
    set(from_, "user.c", "3");
    struct Case {
        const char *inject;
        const char *printed;
        size_t copied;  // how many of the three arrive
    } cases[] = {
        {"fsetxattr:error=EPERM", "copied\n", 0},
        {"fsetxattr:error=EOPNOTSUPP:when=2", "copied\n", 2},
        {"fsetxattr:error=EIO:when=2", "failed: EIO\n", 1},
        {"fsetxattr:error=ENOSPC", "failed: ENOSPC\n", 0},
        {"fgetxattr:error=EIO:when=3", "failed: EIO\n", 1},
        {"fgetxattr:error=ERANGE:when=2", "copied\n", 3},   // grew since its size was asked
        {"fgetxattr:error=ENODATA:when=1", "copied\n", 2},  // removed since it was listed
        {"flistxattr:error=EIO", "failed: EIO\n", 0},
        {"flistxattr:error=EOPNOTSUPP", "copied\n", 0},
    };
    for (const Case &c : cases) {
        write_file(to_ + ".case", "new");
        const Outcome outcome =
            run_program(under_strace({"-o", "/dev/null", "-e", std::string("inject=") + c.inject},
                                     {COPY_ATTRIBUTES_PROBE, from_, to_ + ".case"}));
        EXPECT_EQ(outcome.out, c.printed) << c.inject;
        EXPECT_EQ(attributes_of(to_ + ".case").size(), c.copied) << c.inject;
        unlink((to_ + ".case").c_str());
    }
}

}  // namespace
