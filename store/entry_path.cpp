#include "entry_path.h"

#include "store_limits.h"
#include "text.h"

namespace xml_store {

bool split_entry_path(std::string_view path, std::vector<std::string_view> &parts) {
    parts.clear();
    for (;;) {
        const size_t dot = path.find('.');
        const std::string_view part = path.substr(0, dot);
        if (!is_element_name(part) || parts.size() == kMaxEntryDepth) return false;
        parts.push_back(part);
        if (dot == std::string_view::npos) return true;
        path.remove_prefix(dot + 1);
    }
}

}  // namespace xml_store
