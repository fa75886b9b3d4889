// A document's own encoding, spoken through the C library's iconv.
//
// The store keeps a file's bytes as they are, so whatever a write adds must
// be in the encoding the file declares: a value arrives as UTF-8 (or already
// in the file's encoding) and goes into the file in the file's encoding, with
// a character reference for each character that encoding lacks.  Names of
// elements cannot hold references: a name the encoding cannot spell is
// refused instead.
#pragma once

#include <iconv.h>

#include <bitset>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "text.h"

namespace xml_store {

class Encoding {
  public:
    // Unmappable characters in from_utf8(): written as a reference "&#N;"
    // (text), or the whole conversion refused (names).
    enum class Missing { reference, refuse };

    // UTF-8, the encoding of a document that declares none.
    Encoding() = default;
    // The encoding a declaration names: any name iconv knows, in any letter
    // case, or a name that is one once its '-' and '_' and a leading "x-"
    // are dropped ("utf_8", "x-cp1251"; not "SHIFTJIS", which iconv does
    // not know so written).  Where the C library has no
    // conversion for it (a device libc without its tables, or a name nobody
    // knows), only ASCII is known: from_utf8() writes every other character
    // as a reference and to_utf8() takes ASCII alone.
    explicit Encoding(std::string_view name);

    // UTF-8 itself: UTF-8 goes in unchanged.
    bool is_utf8() const { return utf8_; }
    // Whether the store takes a document in this encoding; the constructor
    // decides, and says which those are.
    bool ascii_compatible() const { return ascii_compatible_; }
    // True when bytes of this encoding are the same bytes in UTF-8: always
    // in UTF-8 itself, and ASCII without the bytes that read as other
    // characters: '\\' and '~' in Shift_JIS (U+00A5 and U+203E), a few in
    // the national variants of ISO 646.
    bool reads_as_utf8(std::string_view bytes) const {
        if (utf8_) return true;
        for (const char c : bytes) {
            const auto b = static_cast<unsigned char>(c);
            if (b >= 0x80 || reads_otherwise_[b]) return false;
        }
        return true;
    }

    // False when bytes hold a sequence this encoding does not have; true
    // for any bytes where the C library cannot convert, which cannot tell.
    bool holds_only_characters(std::string_view bytes) const;
    // bytes, in this encoding, as UTF-8; empty when they are not valid.
    std::optional<std::string> to_utf8(std::string_view bytes) const;
    // utf8 in this encoding, each piece ending in the encoding's initial
    // shift state; empty when utf8 is not valid UTF-8, or (Missing::refuse)
    // when the encoding lacks one of its characters.  An ASCII character
    // whose byte reads as another one is missing too: Shift_JIS writes '\\'
    // as the byte it reads as U+00A5.
    std::optional<std::string> from_utf8(std::string_view utf8,
                                         Missing missing = Missing::reference) const;

  private:
    struct Close {
        using pointer = iconv_t;
        void operator()(iconv_t cd) const { iconv_close(cd); }
    };
    using Conversion = std::unique_ptr<void, Close>;  // empty: no such conversion here

    // Also learns which bytes below 0x80 read as other characters.
    bool spells_markup_as_ascii();
    // UTF-8 holds bytes below 0x80 only as the ASCII characters.
    size_t find_reading_otherwise(std::string_view utf8, size_t from) const {
        for (; from < utf8.size(); ++from) {
            const auto b = static_cast<unsigned char>(utf8[from]);
            if (b < 0x80 && reads_otherwise_[b]) return from;
        }
        return std::string_view::npos;
    }

    bool utf8_ = true;
    bool ascii_compatible_ = true;
    // The bytes below 0x80 that read as another character; none assumed
    // where the C library cannot tell.
    std::bitset<0x80> reads_otherwise_;
    // Both or neither: the C library converts this encoding both ways.
    Conversion to_utf8_;
    Conversion from_utf8_;
};

}  // namespace xml_store
