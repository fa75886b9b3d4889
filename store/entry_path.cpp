#include "entry_path.h"

#include "text.h"

namespace xml_store {

std::optional<std::vector<std::string_view>> split_entry_path(std::string_view path) {
    std::vector<std::string_view> parts;
    for (;;) {
        const size_t dot = path.find('.');
        const std::string_view part = path.substr(0, dot);
        if (!is_element_name(part)) return std::nullopt;
        parts.push_back(part);
        if (dot == std::string_view::npos) return parts;
        path.remove_prefix(dot + 1);
    }
}

}  // namespace xml_store
