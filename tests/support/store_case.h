// A store case: a document written to a scratch file and opened through the
// C interface, with the calls a case makes on it.  TEST_XML gives a case its
// document in one line, as pugixml's own tests do.  What a case checks it
// reads from the file's bytes, never from the store.
#pragma once

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cctype>
#include <string>
#include <utility>
#include <vector>

#include "scratch.h"
#include "xml_file.h"

namespace testing_support {

// Writes value with the length the tool passes: its bytes plus the terminator.
inline int write_value(int handle, std::string value, const std::string &entry) {
    return xml_file_write(handle, value.data(), static_cast<int>(value.size() + 1), entry.c_str(),
                          0, 0);
}

// text with the first from replaced by to; from must be there.
inline std::string replaced(std::string text, const std::string &from, const std::string &to) {
    const size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

// text as a test's name: what a name cannot hold becomes '_'.
inline std::string test_name(std::string text) {
    for (char &c : text)
        if (!isalnum(static_cast<unsigned char>(c))) c = '_';
    return text;
}

inline struct stat stat_of(const std::string &path) {
    struct stat st {};
    lstat(path.c_str(), &st);
    return st;
}

// What a folder holds after a save that left nothing behind.
inline const std::vector<std::string> kJustTheFile = {"config.xml"};

class StoreFile {
  public:
    // Writes document as dir/config.xml and opens it; handle is 0 when it
    // does not open.
    explicit StoreFile(const std::string &document) {
        write_file(path, document);
        handle = xml_file_open(path.c_str());
    }
    ~StoreFile() { close(); }
    StoreFile(const StoreFile &) = delete;
    StoreFile &operator=(const StoreFile &) = delete;

    int write(const std::string &entry, const std::string &value) const {
        return write_value(handle, value, entry);
    }
    int save() const { return xml_file_save(handle); }
    int close() {
        const int closed = handle > 0 ? xml_file_close(handle) : -1;
        handle = 0;
        return closed;
    }
    // Closes the handle and opens the file anew, as a later run would.
    int reopen() {
        close();
        return handle = xml_file_open(path.c_str());
    }
    std::string bytes() const { return read_file(path); }
    std::vector<std::string> files() const { return list_dir(dir.path()); }
    struct stat status() const {
        return stat_of(path);
    }
    // True when the file is still the one before describes, not written since:
    // a rename or a write in place changes the change time.
    bool untouched_since(const struct stat &before) const {
        const struct stat now = status();
        return now.st_ino == before.st_ino && now.st_ctim.tv_sec == before.st_ctim.tv_sec &&
               now.st_ctim.tv_nsec == before.st_ctim.tv_nsec;
    }

    ScratchDir dir;
    const std::string path = dir / "config.xml";
    int handle = 0;
};

// An element S crowded with children <Kn>i</Kn>, n = i % names: among more
// than a few the store finds them through a table of their names.  before
// goes ahead of the first child, between after it.
inline std::string crowded(int children, int names, const std::string &before = "",
                           const std::string &between = "") {
    std::string doc = "<DVR_CFG><S>" + before;
    for (int i = 0; i < children; ++i) {
        const std::string name = "K" + std::to_string(i % names);
        doc += "<" + name + ">" + std::to_string(i) + "</" + name + ">" + (i ? "" : between);
    }
    return doc + "</S></DVR_CFG>";
}

using Writes = std::vector<std::pair<std::string, std::string>>;  // entry, value

// Saves document as a file, applies writes (each must be accepted), saves and
// returns the file's bytes.
inline std::string apply(const std::string &document, const Writes &writes) {
    StoreFile store(document);
    if (store.handle <= 0) return "<open failed>";
    for (const auto &[entry, value] : writes)
        if (store.write(entry, value) != 0) return "<write refused: " + entry + ">";
    return store.save() == 0 ? store.bytes() : "<save failed>";
}

// True when the store opens bytes as a file.
inline bool opens(const std::string &bytes) {
    return StoreFile(bytes).handle > 0;
}

}  // namespace testing_support

// TEST_XML(Suite, Name, document) { ... }: a test whose body finds document
// open as `store`, a StoreFile.
#define TEST_XML(suite, name, document)                             \
    void suite##_##name##_body(testing_support::StoreFile &store);  \
    TEST(suite, name) {                                             \
        testing_support::StoreFile store(document);                 \
        ASSERT_GT(store.handle, 0) << "the document does not open"; \
        suite##_##name##_body(store);                               \
    }                                                               \
    void suite##_##name##_body(testing_support::StoreFile &store)
