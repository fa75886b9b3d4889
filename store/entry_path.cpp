#include "entry_path.h"

#include "store_limits.h"
#include "text.h"

namespace xml_store {

bool is_entry_path(std::string_view path) {
    for (size_t depth = 1;; ++depth) {
        const size_t dot = path.find('.');
        if (!is_element_name(path.substr(0, dot)) || depth > kMaxEntryDepth) return false;
        if (dot == std::string_view::npos) return true;
        path.remove_prefix(dot + 1);
    }
}

}  // namespace xml_store
