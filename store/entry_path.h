// Entry paths: "DVR_CFG.NET.IP" names the element chain DVR_CFG, NET, IP.
#pragma once

#include <string_view>
#include <vector>

namespace xml_store {

// Splits an entry path at its dots into parts, which it reuses.  False when
// the path is empty, has an empty component or one that is not an XML
// element name, or has more than kMaxEntryDepth components.
bool split_entry_path(std::string_view path, std::vector<std::string_view> &parts);

}  // namespace xml_store
