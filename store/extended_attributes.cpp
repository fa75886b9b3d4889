#include "extended_attributes.h"

#include <sys/xattr.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace xml_store {
namespace {

// Calls query(buffer, size) the way the *xattr calls are meant to be called:
// once for the size, then again whenever the data grew in between (ERANGE).
template <typename Query>
bool read_sized(std::vector<char> &buffer, Query query) {
    for (;;) {
        const ssize_t size = query(nullptr, 0);
        if (size < 0) return false;
        buffer.resize(static_cast<size_t>(size));
        const ssize_t got = query(buffer.data(), buffer.size());
        if (got >= 0) {
            buffer.resize(static_cast<size_t>(got));
            return true;
        }
        if (errno != ERANGE) return false;
    }
}

bool refused_here(int error) {
    return error == EPERM || error == ENOTSUP;
}

}  // namespace

bool copy_extended_attributes(int from, int to) {
    std::vector<char> names, value;
    if (!read_sized(names, [&](char *list, size_t size) { return flistxattr(from, list, size); }))
        return errno == ENOTSUP;  // a file system without attributes has none to copy
    for (size_t at = 0; at < names.size(); at += strlen(names.data() + at) + 1) {
        const char *name = names.data() + at;
        const bool read = read_sized(
            value, [&](char *data, size_t size) { return fgetxattr(from, name, data, size); });
        if (!read) {
            if (errno == ENODATA) continue;  // removed since it was listed
            return false;
        }
        if (fsetxattr(to, name, value.data(), value.size(), 0) != 0 && !refused_here(errno))
            return false;
    }
    return true;
}

}  // namespace xml_store
