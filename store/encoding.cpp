#include "encoding.h"

#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <iterator>

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

// The spelling iconv is asked for when it does not know a name as given:
// without '-' and '_', which its own names place differently ("utf_8",
// "MS_Kanji" against "MS-KANJI"), and without the "x-" of a private name.
std::string plain_spelling(std::string_view name) {
    if (name.size() > 2 && (name[0] == 'x' || name[0] == 'X') && name[1] == '-')
        name.remove_prefix(2);
    std::string plain;
    for (const char c : name)
        if (c != '-' && c != '_') plain += c;
    return plain;
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
// it can, the bytes decide (Encoding::spells_markup_as_ascii()).  Each the
// start of a name as plain_spelling() gives it.
constexpr const char *kNotAsciiBased[] = {"ISO2022", "CSISO2022", "HZ",   "UTF7", "UNICODE11UTF7",
                                          "UTF16",   "UTF32",     "UCS2", "UCS4"};

bool named_not_ascii_based(const std::string &plain) {
    return std::any_of(std::begin(kNotAsciiBased), std::end(kNotAsciiBased),
                       [&](const char *prefix) {
                           return strncasecmp(plain.c_str(), prefix, strlen(prefix)) == 0;
                       });
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

// The store takes a document in
//   - UTF-8, declared or not;
//   - an encoding the C library converts both ways and that spells markup
//     as ASCII does (spells_markup_as_ascii()): the ISO-8859 and windows
//     code pages, KOI8, the EUC, GB and Big5 families, Shift_JIS and more;
//   - an encoding the C library cannot convert, as ASCII alone, unless its
//     name is of a family in kNotAsciiBased.
// It refuses every other: UTF-16, UTF-32, EBCDIC, the stateful ones
// (ISO-2022-*, HZ, UTF-7), and a name XML does not allow, which iconv could
// read as orders ("ISO-8859-1//TRANSLIT").
Encoding::Encoding(std::string_view name) : utf8_(false), ascii_compatible_(false) {
    if (!is_encoding_name(name)) return;
    const std::string plain = plain_spelling(name);
    if (strcasecmp(plain.c_str(), "UTF8") == 0) {
        utf8_ = ascii_compatible_ = true;
        return;
    }
    for (const std::string &spelling : {std::string(name), plain}) {
        to_utf8_.reset(open_conversion("UTF-8", spelling.c_str()));
        from_utf8_.reset(open_conversion(spelling.c_str(), "UTF-8"));
        if (to_utf8_ && from_utf8_) break;
    }
    if (!to_utf8_ || !from_utf8_) {
        to_utf8_.reset();
        from_utf8_.reset();
    }
    ascii_compatible_ = to_utf8_ ? spells_markup_as_ascii() : !named_not_ascii_based(plain);
}

// A byte-wise parser reads the file right, and what a save adds reads back,
// when every byte below 0x80 is a character by itself, the bytes of markup
// being those very characters both ways, and no byte that starts a longer
// character takes a blank or a symbol of markup below '@' after it.
// Stateful encodings fail the first: a byte that shifts (ESC and SO in
// ISO-2022, '~' in HZ, '+' in UTF-7) is no character alone; so do UTF-16
// and UTF-32.  EBCDIC fails the second.  Letters, digits and the symbols
// from '@' up may follow a lead byte (Shift_JIS, Big5, GBK; digits in
// GB18030): inside a name or a text, where such characters stand, a
// byte-wise parser reads past them.  Only the byte after a lead byte is
// tried.  The other bytes below 0x80 may read as other characters: the
// same walk notes which (reads_as_utf8(), from_utf8()).
bool Encoding::spells_markup_as_ascii() {
    std::string out;
    for (int b = 1; b < 0x80; ++b) {
        const std::string byte(1, static_cast<char>(b));
        if (decode_alone(to_utf8_.get(), byte, out) != Decoded::character) return false;
        reads_otherwise_[b] = out != byte;
        if (is_markup_byte(static_cast<unsigned char>(b)) &&
            (out != byte || from_utf8(byte) != byte))
            return false;
    }
    for (int lead = 0x80; lead < 0x100; ++lead) {
        std::string pair(2, static_cast<char>(lead));
        if (decode_alone(to_utf8_.get(), pair.substr(0, 1), out) != Decoded::incomplete) continue;
        for (const char symbol : kMarkupSymbols) {
            if (symbol >= '@') continue;
            pair[1] = symbol;
            if (decode_alone(to_utf8_.get(), pair, out) != Decoded::invalid) return false;
        }
    }
    return true;
}

bool Encoding::holds_only_characters(std::string_view bytes) const {
    if (utf8_) return xml_store::is_utf8(bytes);
    return !to_utf8_ || to_utf8(bytes).has_value();
}

std::optional<std::string> Encoding::to_utf8(std::string_view bytes) const {
    if (utf8_) return xml_store::is_utf8(bytes) ? std::optional<std::string>(bytes) : std::nullopt;
    if (!to_utf8_) return is_ascii(bytes) ? std::optional<std::string>(bytes) : std::nullopt;
    iconv_t cd = to_utf8_.get();
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    std::string out;
    char *in = const_cast<char *>(bytes.data());
    size_t left = bytes.size();
    if (!convert(cd, in, left, out)) return std::nullopt;
    // windows-1258 holds a letter back until it knows no accent follows.
    return_to_initial_state(cd, out);
    return out;
}

std::optional<std::string> Encoding::from_utf8(std::string_view utf8, Missing missing) const {
    if (utf8_) return xml_store::is_utf8(utf8) ? std::optional<std::string>(utf8) : std::nullopt;
    std::string out;
    if (!from_utf8_) {
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
    // Such a byte would read back as another character: a reference, then,
    // between pieces converted without it.
    size_t odd = reads_otherwise_.none() ? std::string_view::npos : find_reading_otherwise(utf8, 0);
    if (odd != std::string_view::npos) {
        size_t from = 0;
        for (; odd != std::string_view::npos;
             from = odd + 1, odd = find_reading_otherwise(utf8, from)) {
            const std::optional<std::string> piece =
                from_utf8(utf8.substr(from, odd - from), missing);
            if (!piece || missing == Missing::refuse) return std::nullopt;
            out += *piece;
            append_reference(out, static_cast<unsigned char>(utf8[odd]));
        }
        const std::optional<std::string> rest = from_utf8(utf8.substr(from), missing);
        if (!rest) return std::nullopt;
        return out += *rest;
    }
    iconv_t cd = from_utf8_.get();
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char *in = const_cast<char *>(utf8.data());
    size_t left = utf8.size();
    while (!convert(cd, in, left, out)) {
        // The C library says EILSEQ both for bad UTF-8 and for a character
        // the encoding lacks; only the second becomes a reference.
        uint32_t cp;
        const size_t at = utf8.size() - left;
        const size_t n = errno == EILSEQ ? utf8_sequence(utf8, at, cp) : 0;
        if (n == 0 || missing == Missing::refuse) return std::nullopt;
        return_to_initial_state(cd, out);
        append_reference(out, cp);
        in += n;
        left -= n;
    }
    return_to_initial_state(cd, out);
    return out;
}

}  // namespace xml_store
