#include "text.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace xml_store {

size_t utf8_multibyte(std::string_view s, size_t i, uint32_t &cp) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char lead = byte(i);
    size_t extra;
    uint32_t min;
    if ((lead & 0xE0) == 0xC0) {
        extra = 1, cp = lead & 0x1F, min = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        extra = 2, cp = lead & 0x0F, min = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        extra = 3, cp = lead & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (s.size() - i <= extra) return 0;
    for (size_t k = 1; k <= extra; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return extra + 1;
}

// A whole file is checked at open: its ASCII, most of it, goes eight bytes
// at a time.
bool is_utf8(std::string_view s) {
    uint32_t cp;
    for (size_t i = 0, n; i < s.size(); i += n) {
        uint64_t word;
        if (s.size() - i >= sizeof word) {
            std::memcpy(&word, s.data() + i, sizeof word);
            if ((word & 0x8080808080808080ULL) == 0) {
                n = sizeof word;
                continue;
            }
        }
        if ((n = utf8_sequence(s, i, cp)) == 0) return false;
    }
    return true;
}

bool is_ascii(std::string_view s) {
    return std::none_of(s.begin(), s.end(),
                        [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
}

bool refers_to_declared_entity(std::string_view text) {
    // Comments, CDATA and processing instructions refer to nothing.
    static constexpr std::string_view kOpaque[][2] = {
        {"<!--", "-->"}, {"<![CDATA[", "]]>"}, {"<?", "?>"}};
    for (size_t at = text.find_first_of("&<"); at != std::string_view::npos;
         at = text.find_first_of("&<", at + 1)) {
        if (text[at] == '<') {
            for (const auto &[open, close] : kOpaque)
                if (text.substr(at, open.size()) == open) {
                    at = text.find(close, at + open.size());
                    if (at == std::string_view::npos) return false;
                    break;
                }
            continue;
        }
        const std::string_view name = text.substr(at + 1, text.find(';', at) - at - 1);
        if (!name.empty() && name[0] != '#' && name != "lt" && name != "gt" && name != "amp" &&
            name != "apos" && name != "quot")
            return true;
    }
    return false;
}

namespace {

bool is_control(uint32_t cp) {
    return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F);
}

bool is_name_start(uint32_t c) {
    return c == ':' || (c >= 'A' && c <= 'Z') || c == '_' || (c >= 'a' && c <= 'z') ||
           (c >= 0xC0 && c <= 0xD6) || (c >= 0xD8 && c <= 0xF6) || (c >= 0xF8 && c <= 0x2FF) ||
           (c >= 0x370 && c <= 0x37D) || (c >= 0x37F && c <= 0x1FFF) ||
           (c >= 0x200C && c <= 0x200D) || (c >= 0x2070 && c <= 0x218F) ||
           (c >= 0x2C00 && c <= 0x2FEF) || (c >= 0x3001 && c <= 0xD7FF) ||
           (c >= 0xF900 && c <= 0xFDCF) || (c >= 0xFDF0 && c <= 0xFFFD) ||
           (c >= 0x10000 && c <= 0xEFFFF);
}

bool is_name_char(uint32_t c) {
    return (c >= '0' && c <= '9') || c == '-' || is_name_start(c) || c == 0xB7 ||
           (c >= 0x300 && c <= 0x36F) || (c >= 0x203F && c <= 0x2040);
}

}  // namespace

bool is_storable_value(std::string_view value) {
    uint32_t cp;
    for (size_t i = 0, n; i < value.size(); i += n)
        if ((n = utf8_sequence(value, i, cp)) == 0 || (is_control(cp) && cp != '\t') ||
            cp == 0xFFFE || cp == 0xFFFF)
            return false;
    return true;
}

bool is_element_name(std::string_view name) {
    if (name.empty()) return false;
    uint32_t cp;
    for (size_t i = 0, n; i < name.size(); i += n)
        if ((n = utf8_sequence(name, i, cp)) == 0 ||
            !(i == 0 ? is_name_start(cp) : is_name_char(cp)))
            return false;
    return true;
}

namespace {

const char *entity_for(char c) {
    switch (c) {
        case '<':
            return "&lt;";
        case '&':
            return "&amp;";
        case '>':
            return "&gt;";
        case '"':
            return "&quot;";
        case '\'':
            return "&apos;";
        default:
            return nullptr;
    }
}

}  // namespace

void append_escaped(std::string &out, std::string_view value) {
    size_t plain = 0;  // start of the run not yet appended
    for (size_t i = 0; i < value.size(); ++i) {
        const char *entity = entity_for(value[i]);
        if (!entity) continue;
        out.append(value, plain, i - plain);
        out += entity;
        plain = i + 1;
    }
    out.append(value, plain);
}

}  // namespace xml_store
