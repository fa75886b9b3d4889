// Entry paths: "DVR_CFG.NET.IP" names the element chain DVR_CFG, NET, IP.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

namespace xml_store {

// Splits an entry path at its dots.  Empty when the path is empty, has an
// empty component or one that is not an XML element name.
std::optional<std::vector<std::string_view>> split_entry_path(std::string_view path);

}  // namespace xml_store
