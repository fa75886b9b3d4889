// Entry paths: "DVR_CFG.NET.IP" names the element chain DVR_CFG, NET, IP.
#pragma once

#include <string_view>
#include <vector>

namespace xml_store {

// The path's components, split at its dots; none when the path is empty,
// has an empty component or one that is not an XML element name, or has
// more than kMaxEntryDepth components.
std::vector<std::string_view> split_entry_path(std::string_view path);

}  // namespace xml_store
