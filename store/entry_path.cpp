#include "entry_path.h"

#include <algorithm>

#include "store_limits.h"
#include "text.h"

namespace xml_store {

std::vector<std::string_view> split_entry_path(std::string_view path) {
    const size_t count = static_cast<size_t>(std::count(path.begin(), path.end(), '.')) + 1;
    if (count > kMaxEntryDepth) return {};
    std::vector<std::string_view> parts;
    parts.reserve(count);
    for (;;) {
        const size_t dot = path.find('.');
        const std::string_view part = path.substr(0, dot);
        if (!is_element_name(part)) return {};
        parts.push_back(part);
        if (dot == std::string_view::npos) return parts;
        path.remove_prefix(dot + 1);
    }
}

}  // namespace xml_store
