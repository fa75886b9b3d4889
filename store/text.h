// What XML text may carry, and how a value is written into it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace xml_store {

size_t utf8_multibyte(std::string_view s, size_t i, uint32_t &cp);

// The length of the valid UTF-8 sequence at s[i], with its code point in cp;
// 0 when none starts there (overlong forms, surrogates and code points past
// U+10FFFF are not valid).  Every value and name passes through here a byte
// at a time: ASCII takes no call.
inline size_t utf8_sequence(std::string_view s, size_t i, uint32_t &cp) {
    const unsigned char lead = static_cast<unsigned char>(s[i]);
    if (lead >= 0x80) return utf8_multibyte(s, i, cp);
    cp = lead;
    return 1;
}
bool is_utf8(std::string_view s);
bool is_ascii(std::string_view s);

// True when value is UTF-8 that the store writes as element text: no control
// character but tab (C0, DEL and C1), neither U+FFFE nor U+FFFF.
bool is_storable_value(std::string_view value);

// True when name is an XML 1.0 element name without ".", the entry path's
// separator.
bool is_element_name(std::string_view name);

// True when s holds anything but blanks and line ends.
inline bool has_text(std::string_view s) {
    return s.find_first_not_of(" \t\r\n") != s.npos;
}

// True when text, as the file spells it, refers to an entity other than
// XML's five: one that only the DOCTYPE defines.
bool refers_to_declared_entity(std::string_view text);

// Appends value with <, &, >, " and ' replaced by entity references.
void append_escaped(std::string &out, std::string_view value);

}  // namespace xml_store
