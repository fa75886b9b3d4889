// What XML text may carry, and how a value is written into it.
#pragma once

#include <string>
#include <string_view>

namespace xml_store {

// True when value is UTF-8 that an XML document can hold as element text:
// no control characters but tab, no noncharacters U+FFFE and U+FFFF.
bool is_storable_value(std::string_view value);

// True when name is an XML 1.0 element name without ".", the entry path's
// separator.
bool is_element_name(std::string_view name);

// True when s holds anything but blanks and line ends.
inline bool has_text(std::string_view s) {
    return s.find_first_not_of(" \t\r\n") != s.npos;
}

// Appends value with <, &, >, " and ' replaced by entity references.
void append_escaped(std::string &out, std::string_view value);

}  // namespace xml_store
