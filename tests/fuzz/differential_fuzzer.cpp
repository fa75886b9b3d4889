// The store through its four C operations, judged by libexpat, a parser the
// store does not use.  Input: a document in UTF-8, a NUL, then one write a
// line, "entry=value" with the value in UTF-8 or "%entry=value" with the
// value converted first to the encoding the document declares.  A document
// that declares another encoding than UTF-8 is converted to it before it is
// written to a file.
//
// Whatever the document, when libexpat reads it as well-formed the store
// must open it; and after the writes and a save:
//   - libexpat reads the saved file as well-formed;
//   - every element not written keeps its attributes and its text;
//   - every written element holds the written value, as libexpat decodes it;
//   - the saved bytes with the written pieces taken out are the original's
//     with the same elements' old content taken out.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "expat_view.h"
#include "fuzz_store.h"

using testing_support::encoding_declared_in;
using testing_support::ExpatElement;
using testing_support::ExpatView;
using testing_support::parse_with_expat;
using testing_support::transcode;

namespace {

struct Write {
    std::string entry, value;
    bool encoded;  // the value is in the document's encoding
};

bool is_utf8_name(const std::string &encoding) {
    static const std::regex utf8("utf-?8", std::regex::icase);
    return std::regex_match(encoding, utf8);
}

// Encodings a byte-wise parser cannot read; the store refuses them at open.
bool ascii_incompatible(const std::string &encoding) {
    static const std::regex wide("(utf-?(16|32|7)|ucs-?[24]|ibm0?37|cp0?37|ebcdic).*",
                                 std::regex::icase);
    return std::regex_match(encoding, wide);
}

// Whether a byte-wise parser can read documents in encoding, judged by its
// bytes through iconv: markup must be the same bytes as in ASCII, and no
// character of a sample from many scripts may be spelled with a byte of
// markup or a control (the stateful ISO-2022 family and UTF-7 are).
bool markup_is_ascii_in(const std::string &encoding) {
    if (ascii_incompatible(encoding)) return false;
    const std::string markup = "<?xml version='1.0'?>\t\r\n<!DOCTYPE [&#;]-->AZaz09_.:/=\"";
    std::string out;
    if (!transcode(markup, "UTF-8", encoding, out) || out != markup) return false;
    for (const char *sample : {"\xC3\xA9", "\xD0\x96", "\xCE\xA9", "\xE4\xB8\xAD", "\xE6\x97\xA5",
                               "\xE6\xAC\xA1", "\xE8\x82\x8C", "\xEC\x83\xA5", "\xE2\x82\xAC"}) {
        if (!transcode(sample, "UTF-8", encoding, out)) continue;  // not in this encoding
        for (const char byte : out)
            if (static_cast<unsigned char>(byte) < 0x20 || strchr("<>&\"'=/?!-", byte))
                return false;
    }
    return true;
}

struct Case {
    std::string document;  // the file's bytes as given to the store
    std::string saved;     // the file's bytes after the save
};

[[noreturn]] void fail(const Case &c, const std::string &what) {
    fprintf(stderr, "differential fuzzer: %s\n--- original\n%s\n--- saved\n%s\n--- end\n",
            what.c_str(), c.document.c_str(), c.saved.c_str());
    fuzz_store::remove_file();
    abort();
}

void require(bool condition, const Case &c, const std::string &what) {
    if (!condition) fail(c, what);
}

// True when raw element content holds a reference to an entity other than
// the five XML predefines: the store cannot expand it and compares such an
// element by its raw text.
bool holds_declared_entity(const std::string &raw) {
    static const std::regex entity("&(?!(lt|gt|amp|quot|apos|#[0-9]+|#x[0-9a-fA-F]+);)");
    return std::regex_search(raw, entity);
}

std::string parent_of(const std::string &path) {
    const size_t dot = path.rfind('.');
    return dot == std::string::npos ? std::string() : path.substr(0, dot);
}

// The part of an element that a write of its value replaces: from the close
// of its start tag to its end.
std::pair<size_t, size_t> tail_of(const ExpatElement &e) {
    return {e.tag_end - (e.self_closing ? 2 : 1), e.end};
}

std::string without(const std::string &text, std::vector<std::pair<size_t, size_t>> ranges) {
    std::sort(ranges.begin(), ranges.end());
    std::string out;
    size_t at = 0;
    for (const auto &[begin, end] : ranges) {
        if (begin > at) out.append(text, at, begin - at);
        at = std::max(at, end);
    }
    if (at < text.size()) out.append(text, at, std::string::npos);
    return out;
}

bool blank(const std::string &s) {
    return s.find_first_not_of(" \t\r\n") == std::string::npos;
}

std::string non_blank(std::string s) {
    s.erase(std::remove_if(s.begin(), s.end(),
                           [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }),
            s.end());
    return s;
}

// True when a write of a value, utf8 as decoded, must be taken: the element
// exists in the original without child elements, none was created under it,
// and the value holds only characters element text may hold.
bool must_be_taken(const ExpatView &before, const std::string &entry, const std::string &utf8,
                   const std::vector<std::string> &written) {
    // "#n" marks a later sibling of the same name in the view, and is no
    // part of an XML name.
    if (entry.find('#') != std::string::npos) return false;
    const ExpatElement *element = before.find(entry);
    if (!element || element->children != 0) return false;
    for (const std::string &other : written)
        if (other.compare(0, entry.size() + 1, entry + ".") == 0) return false;
    for (size_t i = 0; i < utf8.size();) {
        const auto byte = [&](size_t k) { return static_cast<unsigned char>(utf8[k]); };
        const unsigned char lead = byte(i);
        const size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
        if (lead >= 0xF8 || (lead >= 0x80 && lead < 0xC2) || i + length > utf8.size()) return false;
        uint32_t cp = length == 1 ? lead : lead & (0x7F >> length);
        for (size_t k = 1; k < length; ++k) {
            if ((byte(i + k) & 0xC0) != 0x80) return false;
            cp = cp << 6 | (byte(i + k) & 0x3F);
        }
        const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < least[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        if ((cp < 0x20 && cp != '\t') || (cp >= 0x7F && cp <= 0x9F) || cp == 0xFFFE || cp == 0xFFFF)
            return false;
        i += length;
    }
    return true;
}

// Names XML 1.0 took in its fifth edition (U+20AC, say), which libexpat and
// older parsers refuse and the store takes: such entry paths are passed over.
bool has_non_ascii_entry(const std::vector<Write> &writes) {
    return std::any_of(writes.begin(), writes.end(), [](const Write &w) {
        return std::any_of(w.entry.begin(), w.entry.end(),
                           [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
    });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string input(reinterpret_cast<const char *>(data), size);
    const size_t nul = input.find('\0');
    if (nul == std::string::npos) return 0;
    const std::string utf8_document = input.substr(0, nul);

    std::vector<Write> writes;
    for (std::string line : fuzz_store::write_lines(input)) {
        const bool encoded = !line.empty() && line[0] == '%';
        if (encoded) line.erase(0, 1);
        const size_t equals = line.find('=');
        if (equals == std::string::npos || line.find('\0') != std::string::npos) continue;
        writes.push_back({line.substr(0, equals), line.substr(equals + 1), encoded});
    }

    const std::string encoding = encoding_declared_in(utf8_document);
    if (has_non_ascii_entry(writes)) return 0;
    Case c;
    if (is_utf8_name(encoding)) {
        c.document = utf8_document;
    } else if (!transcode(utf8_document, "UTF-8", encoding, c.document)) {
        return 0;
    }
    if (!markup_is_ascii_in(encoding)) {
        // A save in such an encoding could write a file that does not open.
        fuzz_store::put(c.document);
        const int handle = xml_file_open(fuzz_store::file().c_str());
        xml_file_close(handle);
        require(handle <= 0, c, "a document in an encoding whose markup is not ASCII opens");
        return 0;
    }
    for (Write &w : writes) {
        std::string converted;
        if (w.encoded && transcode(w.value, "UTF-8", encoding, converted)) {
            w.value = converted;
        } else {
            w.encoded = false;
        }
    }

    const ExpatView before = parse_with_expat(c.document);
    if (!before.well_formed) return 0;

    fuzz_store::put(c.document);
    const int handle = xml_file_open(fuzz_store::file().c_str());
    require(handle > 0, c, "a well-formed document does not open");

    std::map<std::string, std::string> final_values;  // path -> value in UTF-8
    std::vector<std::string> order;
    for (const Write &w : writes) {
        std::string utf8 = w.value, checked;
        // Bytes that are not UTF-8 are the document's own, encoded or not.
        // Checked through UTF-32, which refuses what lies past U+10FFFF:
        // glibc's UTF-8 to UTF-8 passes such sequences through.
        if ((w.encoded || !transcode(w.value, "UTF-8", "UTF-32LE", checked)) &&
            transcode(w.value, encoding, "UTF-8", checked))
            utf8 = checked;
        const int result = fuzz_store::write_value(handle, w.value, w.entry);
        if (result != 0) {
            require(!must_be_taken(before, w.entry, utf8, order), c,
                    "a storable value for an element that holds one is refused: " + w.entry);
            continue;
        }
        if (!final_values.count(w.entry)) order.push_back(w.entry);
        final_values[w.entry] = utf8;
    }
    require(xml_file_save(handle) == 0, c, "the save fails");
    xml_file_close(handle);
    c.saved = fuzz_store::get();

    const ExpatView after = parse_with_expat(c.saved);
    require(after.well_formed, c, "the saved file is not well-formed: " + after.error);
    const int again = xml_file_open(fuzz_store::file().c_str());
    xml_file_close(again);
    require(again > 0, c, "the saved file does not open again");

    // Which elements a write changed, and where.
    std::set<std::string> changed;  // written with another value than they held
    std::set<std::string> grown;    // given new elements
    std::vector<std::pair<size_t, size_t>> old_pieces, new_pieces;
    for (const std::string &path : order) {
        const ExpatElement *old = before.find(path);
        const ExpatElement *now = after.find(path);
        require(now != nullptr, c, "a written element is missing: " + path);
        if (now->children == 0)
            require(now->text == final_values[path], c,
                    "a written element does not hold its value: " + path);
        if (!old) continue;
        const std::string raw = before.utf8.substr(old->tag_end, old->content_end - old->tag_end);
        if (old->children == 0 && old->text == final_values[path] && !holds_declared_entity(raw))
            continue;  // the value it held: not a change
        changed.insert(path);
        old_pieces.push_back(tail_of(*old));
        new_pieces.push_back(tail_of(*now));
    }
    for (const ExpatElement &now : after.elements) {
        if (before.find(now.path)) continue;
        const std::string parent = parent_of(now.path);
        const ExpatElement *old_parent = before.find(parent);
        if (!old_parent) continue;  // inside a new element
        for (std::string p = parent; !p.empty(); p = parent_of(p)) grown.insert(p);
        if (old_parent->children == 0) {
            if (changed.insert(parent).second) {
                old_pieces.push_back(tail_of(*old_parent));
                new_pieces.push_back(tail_of(*after.find(parent)));
            }
        } else {
            size_t begin = now.begin;
            while (begin > 0 && strchr(" \t\r\n", after.utf8[begin - 1])) --begin;
            new_pieces.push_back({begin, now.end});
        }
    }

    for (const ExpatElement &old : before.elements) {
        const ExpatElement *now = after.find(old.path);
        require(now != nullptr, c, "an element is gone: " + old.path);
        require(now->attributes == old.attributes, c, "attributes changed: " + old.path);
        if (final_values.count(old.path)) continue;
        if (grown.count(old.path) || changed.count(old.path)) {
            require(non_blank(now->text) == non_blank(old.text), c, "text changed: " + old.path);
        } else {
            require(now->text == old.text, c, "text changed: " + old.path);
            require(now->children == old.children, c, "children changed: " + old.path);
        }
    }
    for (const ExpatElement &now : after.elements)
        if (!before.find(now.path) && now.children == 0 && !final_values.count(now.path))
            require(blank(now.text), c, "a new element holds an unwritten value: " + now.path);

    require(without(after.utf8, new_pieces) == without(before.utf8, old_pieces), c,
            "bytes outside the written pieces changed");
    return 0;
}
