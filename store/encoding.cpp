#include "encoding.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <iterator>

#include "text.h"

namespace xml_store {
namespace {

// iconv_open, with nullptr for its (iconv_t)-1: no such conversion here.
iconv_t open_conversion(const char *to, const char *from) {
    iconv_t cd = iconv_open(to, from);
    return reinterpret_cast<intptr_t>(cd) == -1 ? nullptr : cd;
}

void append_reference(std::string &out, uint32_t cp) {
    out += "&#" + std::to_string(cp) + ";";
}

// Feeds in through cd into out; false, with errno, where cd stops short of
// the end.  in and left then point at the sequence it could not take.
bool convert(iconv_t cd, char *&in, size_t &left, std::string &out) {
    for (;;) {
        char buffer[512];
        char *to = buffer;
        size_t room = sizeof buffer;
        const size_t result = iconv(cd, &in, &left, &to, &room);
        out.append(buffer, to - buffer);
        if (result != static_cast<size_t>(-1)) return true;
        if (errno != E2BIG) return false;
    }
}

// Puts a stateful encoding (ISO-2022-JP, say) back into its initial shift
// state, so that what follows, ASCII markup or a reference, reads as ASCII;
// and lets out what a conversion held back.
void return_to_initial_state(iconv_t cd, std::string &out) {
    char buffer[32];
    char *to = buffer;
    size_t room = sizeof buffer;
    iconv(cd, nullptr, nullptr, &to, &room);
    out.append(buffer, to - buffer);
}

// Encoding names as compared: upper case, without '-' and '_'.
std::string key_of(std::string_view name) {
    std::string key;
    for (const char c : name)
        if (c != '-' && c != '_') key += static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return key;
}

struct Alias {
    const char *key;
    // cppcheck-suppress unusedStructMember ; read through find_if's iterator
    const char *name;
};

constexpr Alias kAliases[] = {
    {"UTF8", "UTF-8"},          {"USASCII", "US-ASCII"},
    {"ASCII", "US-ASCII"},      {"ANSIX3.41968", "US-ASCII"},
    {"ISO646US", "US-ASCII"},   {"CSASCII", "US-ASCII"},
    {"LATIN1", "ISO-8859-1"},   {"LATIN2", "ISO-8859-2"},
    {"LATIN3", "ISO-8859-3"},   {"LATIN4", "ISO-8859-4"},
    {"CYRILLIC", "ISO-8859-5"}, {"ARABIC", "ISO-8859-6"},
    {"GREEK", "ISO-8859-7"},    {"HEBREW", "ISO-8859-8"},
    {"LATIN5", "ISO-8859-9"},   {"LATIN6", "ISO-8859-10"},
    {"LATIN7", "ISO-8859-13"},  {"LATIN8", "ISO-8859-14"},
    {"LATIN9", "ISO-8859-15"},  {"LATIN10", "ISO-8859-16"},
    {"GB2312", "GB2312"},       {"EUCCN", "GB2312"},
    {"CSGB2312", "GB2312"},     {"GBK", "GBK"},
    {"CP936", "GBK"},           {"MS936", "GBK"},
    {"WINDOWS936", "GBK"},      {"GB18030", "GB18030"},
    {"BIG5", "Big5"},           {"CSBIG5", "Big5"},
    {"CNBIG5", "Big5"},         {"XXBIG5", "Big5"},
    {"SHIFTJIS", "Shift_JIS"},  {"SJIS", "Shift_JIS"},
    {"MSKANJI", "Shift_JIS"},   {"CSSHIFTJIS", "Shift_JIS"},
    {"XSJIS", "Shift_JIS"},     {"EUCJP", "EUC-JP"},
    {"XEUCJP", "EUC-JP"},       {"CSEUCPKDFMTJAPANESE", "EUC-JP"},
    {"EUCKR", "EUC-KR"},        {"CSEUCKR", "EUC-KR"},
    {"KOI8R", "KOI8-R"},        {"CSKOI8R", "KOI8-R"},
};

// The number after prefix when key is prefix and then digits alone, else -1.
int number_after(const std::string &key, const char *prefix) {
    const size_t length = strlen(prefix);
    if (key.compare(0, length, prefix) != 0 || key.size() == length || key.size() > length + 4)
        return -1;
    int n = 0;
    for (size_t i = length; i < key.size(); ++i) {
        if (key[i] < '0' || key[i] > '9') return -1;
        n = n * 10 + (key[i] - '0');
    }
    return n;
}

// XML's EncName: a letter, then letters, digits, '.', '_' and '-'.
bool is_encoding_name(std::string_view name) {
    const auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
    if (name.empty() || !letter(name[0])) return false;
    for (const char c : name)
        if (!letter(c) && !(c >= '0' && c <= '9') && c != '.' && c != '_' && c != '-') return false;
    return true;
}

// Families in which markup bytes can be part of another character: 7-bit
// and stateful encodings (the ISO-2022 family, HZ, UTF-7) and the wide ones.
// Consulted only where the C library cannot convert the encoding, so that
// its bytes cannot be tried (a device libc without those tables); wherever
// it can, the bytes decide (Encoding::spells_markup_as_ascii()).  Keys as
// key_of() gives them, each the start of a name.
constexpr const char *kNotAsciiBased[] = {"ISO2022", "CSISO2022", "HZ",   "UTF7", "UNICODE11UTF7",
                                          "UTF16",   "UTF32",     "UCS2", "UCS4"};

bool named_not_ascii_based(std::string_view name) {
    const std::string key = key_of(name);
    return std::any_of(std::begin(kNotAsciiBased), std::end(kNotAsciiBased),
                       [&](const char *prefix) { return key.rfind(prefix, 0) == 0; });
}

// The bytes below 0x80 that XML markup is made of, besides letters and digits.
constexpr std::string_view kMarkupSymbols = "\t\n\r !\"#%&'()*+,-./:;<=>?[]_|";

bool is_markup_byte(unsigned char b) {
    return (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') ||
           kMarkupSymbols.find(static_cast<char>(b)) != std::string_view::npos;
}

enum class Decoded { character, incomplete, invalid };

// What cd makes of bytes alone, from its initial state: one whole character
// (then in out), the start of a longer one, or anything else.
Decoded decode_alone(iconv_t cd, std::string_view bytes, std::string &out) {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    out.clear();
    char *in = const_cast<char *>(bytes.data());
    size_t left = bytes.size();
    if (!convert(cd, in, left, out))
        return errno == EINVAL ? Decoded::incomplete : Decoded::invalid;
    return_to_initial_state(cd, out);
    uint32_t cp;
    return !out.empty() && utf8_sequence(out, 0, cp) == out.size() ? Decoded::character
                                                                   : Decoded::invalid;
}

}  // namespace

std::string declared_encoding(std::string_view document) {
    const auto starts = [&](std::string_view prefix) {
        return document.substr(0, prefix.size()) == prefix;
    };
    if (starts(std::string_view("\0\0\xFE\xFF", 4)) || starts(std::string_view("\xFF\xFE\0\0", 4)))
        return "UTF-32";
    if (starts("\xFE\xFF") || starts("\xFF\xFE")) return "UTF-16";
    if (starts("\xEF\xBB\xBF")) document.remove_prefix(3);
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    if (!starts("<?xml") || document.size() < 6 || !blank(document[5])) return "UTF-8";
    const std::string_view declaration = document.substr(0, document.find("?>"));
    size_t i = 5;
    for (;;) {
        while (i < declaration.size() && blank(declaration[i])) ++i;
        const size_t name = i;
        while (i < declaration.size() && !blank(declaration[i]) && declaration[i] != '=') ++i;
        const std::string_view attribute = declaration.substr(name, i - name);
        while (i < declaration.size() && blank(declaration[i])) ++i;
        if (attribute.empty() || i >= declaration.size() || declaration[i] != '=') return "UTF-8";
        ++i;
        while (i < declaration.size() && blank(declaration[i])) ++i;
        if (i >= declaration.size() || (declaration[i] != '"' && declaration[i] != '\''))
            return "UTF-8";
        const size_t close = declaration.find(declaration[i], i + 1);
        if (close == std::string_view::npos) return "UTF-8";
        if (attribute == "encoding") return std::string(declaration.substr(i + 1, close - i - 1));
        i = close + 1;
    }
}

std::string canonical_encoding(std::string_view name) {
    const std::string key = key_of(name);
    const auto alias = std::find_if(std::begin(kAliases), std::end(kAliases),
                                    [&](const Alias &a) { return key == a.key; });
    if (alias != std::end(kAliases)) return alias->name;
    const int iso = number_after(key, "ISO8859");
    if (iso >= 1 && iso <= 16 && iso != 12) return "ISO-8859-" + std::to_string(iso);
    for (const char *windows : {"WINDOWS", "CP", "XCP"}) {
        const int page = number_after(key, windows);
        if (page >= 1250 && page <= 1258) return "windows-" + std::to_string(page);
    }
    return std::string(name);
}

Encoding::Encoding(std::string_view name) : name_(canonical_encoding(name)) {
    utf8_ = name_ == "UTF-8";
    if (utf8_) {
        converts_ = ascii_compatible_ = true;
        return;
    }
    // iconv reads "//TRANSLIT" and "//IGNORE" in a name as orders; XML
    // allows letters, digits, '.', '_' and '-' alone.
    if (!is_encoding_name(name_)) return;
    to_utf8_ = open_conversion("UTF-8", name_.c_str());
    from_utf8_ = open_conversion(name_.c_str(), "UTF-8");
    converts_ = to_utf8_ && from_utf8_;
    ascii_compatible_ = converts_ ? spells_markup_as_ascii() : !named_not_ascii_based(name_);
}

// A byte-wise parser reads the file right, and what a save adds reads back,
// when every byte below 0x80 is a character by itself, the bytes of markup
// being those very characters both ways, and no longer character holds a
// blank or a symbol of markup.  Stateful encodings fail the first: a byte
// that shifts (ESC and SO in ISO-2022, '~' in HZ, '+' in UTF-7) is no
// character alone; so do UTF-16 and UTF-32.  EBCDIC fails the second.
// Letters and the symbols from '@' up may follow a lead byte (Shift_JIS,
// Big5, GBK), digits too (GB18030): inside a name or a text, where such
// characters stand, a byte-wise parser reads past them.
bool Encoding::spells_markup_as_ascii() const {
    std::string out;
    for (int b = 1; b < 0x80; ++b) {
        const std::string byte(1, static_cast<char>(b));
        if (decode_alone(to_utf8_, byte, out) != Decoded::character) return false;
        if (is_markup_byte(static_cast<unsigned char>(b)) &&
            (out != byte || from_utf8(byte) != byte))
            return false;
    }
    for (int lead = 0x80; lead < 0x100; ++lead) {
        std::string pair(2, static_cast<char>(lead));
        if (decode_alone(to_utf8_, pair.substr(0, 1), out) != Decoded::incomplete) continue;
        for (const char symbol : kMarkupSymbols) {
            if (symbol >= '@') continue;
            pair[1] = symbol;
            if (decode_alone(to_utf8_, pair, out) != Decoded::invalid) return false;
        }
    }
    return true;
}

Encoding::~Encoding() {
    if (to_utf8_) iconv_close(to_utf8_);
    if (from_utf8_) iconv_close(from_utf8_);
}

std::optional<std::string> Encoding::to_utf8(std::string_view bytes) const {
    if (utf8_) return xml_store::is_utf8(bytes) ? std::optional<std::string>(bytes) : std::nullopt;
    if (!converts_) return is_ascii(bytes) ? std::optional<std::string>(bytes) : std::nullopt;
    iconv(to_utf8_, nullptr, nullptr, nullptr, nullptr);
    std::string out;
    char *in = const_cast<char *>(bytes.data());
    size_t left = bytes.size();
    if (!convert(to_utf8_, in, left, out)) return std::nullopt;
    // windows-1258 holds a letter back until it knows no accent follows.
    return_to_initial_state(to_utf8_, out);
    return out;
}

std::optional<std::string> Encoding::from_utf8(std::string_view utf8, Missing missing) const {
    if (utf8_) return xml_store::is_utf8(utf8) ? std::optional<std::string>(utf8) : std::nullopt;
    std::string out;
    if (!converts_) {
        uint32_t cp;
        for (size_t i = 0, n; i < utf8.size(); i += n) {
            if ((n = utf8_sequence(utf8, i, cp)) == 0) return std::nullopt;
            if (cp < 0x80) {
                out += static_cast<char>(cp);
            } else if (missing == Missing::refuse) {
                return std::nullopt;
            } else {
                append_reference(out, cp);
            }
        }
        return out;
    }
    iconv(from_utf8_, nullptr, nullptr, nullptr, nullptr);
    char *in = const_cast<char *>(utf8.data());
    size_t left = utf8.size();
    while (!convert(from_utf8_, in, left, out)) {
        // The C library says EILSEQ both for bad UTF-8 and for a character
        // the encoding lacks; only the second becomes a reference.
        uint32_t cp;
        const size_t at = utf8.size() - left;
        const size_t n = errno == EILSEQ ? utf8_sequence(utf8, at, cp) : 0;
        if (n == 0 || missing == Missing::refuse) return std::nullopt;
        return_to_initial_state(from_utf8_, out);
        append_reference(out, cp);
        in += n;
        left -= n;
    }
    return_to_initial_state(from_utf8_, out);
    return out;
}

}  // namespace xml_store
