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

#include <optional>
#include <string>
#include <string_view>

namespace xml_store {

// The encoding named by the XML declaration at the start of document (after
// a UTF-8 byte order mark), as written there; "UTF-16" or "UTF-32" after
// those byte order marks; "UTF-8" when the document declares none.
std::string declared_encoding(std::string_view document);

// The usual name of an encoding given under any of its usual names, letter
// case, '-' and '_' ignored: "latin1" and "iso_8859-1" give "ISO-8859-1",
// "SJIS" gives "Shift_JIS".  A name not known here comes back as it is.
std::string canonical_encoding(std::string_view name);

class Encoding {
  public:
    // Unmappable characters in from_utf8(): written as a reference "&#N;"
    // (text), or the whole conversion refused (names).
    enum class Missing { reference, refuse };

    // name: any encoding name, as declared_encoding() gives it.
    explicit Encoding(std::string_view name);
    ~Encoding();
    Encoding(const Encoding &) = delete;
    Encoding &operator=(const Encoding &) = delete;

    // The canonical name (canonical_encoding()).
    const std::string &name() const { return name_; }
    // UTF-8 itself: UTF-8 goes in unchanged.
    bool is_utf8() const { return utf8_; }
    // False when the C library has no conversion for this encoding (a device
    // libc without its tables, or a name nobody knows).  Only ASCII is known
    // then: from_utf8() writes every other character as a reference, and
    // valid() and to_utf8() accept ASCII alone.
    bool converts() const { return converts_; }
    // True when the markup characters, letters, digits and blanks are the
    // same bytes as in ASCII and never part of another character: a
    // byte-wise XML parser reads such a file right, and what a save adds
    // reads back.  False for UTF-16, UTF-32, EBCDIC and the stateful ones
    // (ISO-2022-*, HZ, UTF-7), which the store refuses, and for a name XML
    // does not allow ("ISO-8859-1//TRANSLIT").
    bool ascii_compatible() const { return ascii_compatible_; }

    // True when bytes are a whole, valid sequence of this encoding.
    bool valid(std::string_view bytes) const { return to_utf8(bytes).has_value(); }
    // bytes, in this encoding, as UTF-8; empty when they are not valid.
    std::optional<std::string> to_utf8(std::string_view bytes) const;
    // utf8 in this encoding, each piece ending in the encoding's initial
    // shift state; empty when utf8 is not valid UTF-8, or (Missing::refuse)
    // when the encoding lacks one of its characters.
    std::optional<std::string> from_utf8(std::string_view utf8,
                                         Missing missing = Missing::reference) const;

  private:
    bool spells_markup_as_ascii() const;

    std::string name_;
    bool utf8_ = false;
    bool converts_ = false;
    bool ascii_compatible_ = false;
    iconv_t to_utf8_ = nullptr;  // nullptr: the C library has no such conversion
    iconv_t from_utf8_ = nullptr;
};

}  // namespace xml_store
