#include "device_tree.h"

#include <stdexcept>

#include "process.h"
#include "scratch.h"

namespace testing_support {

std::string sample(const std::string &path) {
    return read_file(kSampleTree + "/" + path);
}

std::string expected(const std::string &path) {
    return read_file(kExpectedTree + "/" + path);
}

std::string replaced(std::string text, const std::string &from, const std::string &to) {
    const size_t at = text.find(from);
    if (at == std::string::npos) throw std::logic_error(from + " is not in the text");
    return text.replace(at, from.size(), to);
}

bool copy_sample_tree(const std::string &dir) {
    return shell_succeeds("mkdir -p '" + dir + "' && cp -R '" + kSampleTree + "/.' '" + dir + "'");
}

}  // namespace testing_support
