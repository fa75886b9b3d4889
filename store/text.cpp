#include "text.h"

#include <cstdint>

namespace xml_store {
namespace {

constexpr uint32_t kInvalid = 0xFFFFFFFF;

// Decodes the UTF-8 sequence at s[i] and moves i past it.  Overlong forms,
// surrogates and code points past U+10FFFF are invalid.
uint32_t next_code_point(std::string_view s, size_t &i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char lead = byte(i);
    if (lead < 0x80) {
        ++i;
        return lead;
    }
    size_t extra;
    uint32_t cp, min;
    if ((lead & 0xE0) == 0xC0) {
        extra = 1, cp = lead & 0x1F, min = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        extra = 2, cp = lead & 0x0F, min = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        extra = 3, cp = lead & 0x07, min = 0x10000;
    } else {
        return kInvalid;
    }
    if (s.size() - i <= extra) return kInvalid;
    for (size_t k = 1; k <= extra; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return kInvalid;
        cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return kInvalid;
    i += extra + 1;
    return cp;
}

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
    return is_name_start(c) || c == '-' || (c >= '0' && c <= '9') || c == 0xB7 ||
           (c >= 0x300 && c <= 0x36F) || (c >= 0x203F && c <= 0x2040);
}

}  // namespace

bool is_storable_value(std::string_view value) {
    for (size_t i = 0; i < value.size();) {
        const uint32_t cp = next_code_point(value, i);
        if (cp == kInvalid || (is_control(cp) && cp != '\t') || cp == 0xFFFE || cp == 0xFFFF)
            return false;
    }
    return true;
}

bool is_element_name(std::string_view name) {
    if (name.empty()) return false;
    for (size_t i = 0; i < name.size();) {
        const bool first = i == 0;
        const uint32_t cp = next_code_point(name, i);
        if (cp == kInvalid || !(first ? is_name_start(cp) : is_name_char(cp))) return false;
    }
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
