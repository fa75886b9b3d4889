// Entry paths: "DVR_CFG.NET.IP" names the element chain DVR_CFG, NET, IP.
#pragma once

#include <string_view>

namespace xml_store {

// False when the path is empty, has an empty component or one that is not
// an XML element name, or has more than kMaxEntryDepth components.
bool is_entry_path(std::string_view path);

// The first component of path, which then starts past it and its dot:
// empty after the last.
inline std::string_view take_component(std::string_view &path) {
    const size_t dot = path.find('.');
    const std::string_view component = path.substr(0, dot);
    path.remove_prefix(dot == std::string_view::npos ? path.size() : dot + 1);
    return component;
}

}  // namespace xml_store
