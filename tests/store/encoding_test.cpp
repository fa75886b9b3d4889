// The store's encodings against the published code tables: a value's bytes
// in each encoding, the characters each lacks, the byte sequences each
// refuses, and what is left when the C library cannot convert at all.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "document.h"
#include "encoding.h"
#include "scratch.h"

using xml_store::Document;
using xml_store::Encoding;

namespace {

struct Sample {
    const char *encoding;
    std::string utf8;     // a character the encoding has
    std::string encoded;  // its bytes there, from the encoding's table
    std::string invalid;  // bytes the encoding refuses; "" where every byte is a character
};

// The euro sign, a letter with an accent or a letter of the script the
// encoding is for.
const Sample kSamples[] = {
    {"UTF-8", "\xE2\x82\xAC", "\xE2\x82\xAC", "\xC3("},
    {"US-ASCII", "A", "A", "\x80"},
    {"ISO-8859-1", "\xC3\xA9", "\xE9", ""},
    {"ISO-8859-2", "\xC5\x82", "\xB3", ""},
    {"ISO-8859-3", "\xC4\xA5", "\xB6", "\xA5"},
    {"ISO-8859-4", "\xC4\x81", "\xE0", ""},
    {"ISO-8859-5", "\xD0\x96", "\xB6", ""},
    {"ISO-8859-6", "\xD8\xB9", "\xD9", "\xA1"},
    {"ISO-8859-7", "\xCE\xA9", "\xD9", "\xD2"},
    {"ISO-8859-8", "\xD7\x90", "\xE0", "\xA1"},
    {"ISO-8859-9", "\xC4\x9F", "\xF0", ""},
    {"ISO-8859-10", "\xC4\x81", "\xE0", ""},
    {"ISO-8859-11", "\xE0\xB8\x81", "\xA1", "\xDB"},
    {"ISO-8859-13", "\xC4\x85", "\xE0", ""},
    {"ISO-8859-14", "\xC5\xB5", "\xF0", ""},
    {"ISO-8859-15", "\xE2\x82\xAC", "\xA4", ""},
    {"ISO-8859-16", "\xC8\x99", "\xBA", ""},
    {"windows-1250", "\xC5\x82", "\xB3", "\x81"},
    {"windows-1251", "\xD0\x96", "\xC6", "\x98"},
    {"windows-1252", "\xE2\x82\xAC", "\x80", "\x81"},
    {"windows-1253", "\xCE\xA9", "\xD9", "\xAA"},
    {"windows-1254", "\xC4\x9F", "\xF0", "\x81"},
    {"windows-1255", "\xD7\x90", "\xE0", "\xFF"},
    {"windows-1256", "\xD8\xB9", "\xDA", ""},
    {"windows-1257", "\xC4\x85", "\xE0", "\xA1"},
    {"windows-1258", "\xE2\x82\xAB", "\xFE", "\x8A"},
    {"GB2312", "\xE4\xB8\xAD", "\xD6\xD0", "\xD6"},
    {"GBK", "\xE4\xB8\xAD", "\xD6\xD0", "\xD6"},
    {"GB18030", "\xE2\x82\xAC", "\xA2\xE3", "\x81\x30"},
    {"Big5", "\xE4\xB8\xAD", "\xA4\xA4", "\xA4"},
    {"Shift_JIS", "\xE6\x97\xA5", "\x93\xFA", "\x81\x20"},
    {"EUC-JP", "\xE6\x97\xA5", "\xC6\xFC", "\xC6"},
    {"EUC-KR", "\xED\x95\x9C", "\xC7\xD1", "\xC7"},
    {"KOI8-R", "\xD0\x96", "\xF6", ""},
};

void PrintTo(const Sample &s, std::ostream *os) {
    *os << s.encoding;
}

class EachEncoding : public testing::TestWithParam<Sample> {};

TEST_P(EachEncoding, ConvertsBothWaysByItsTable) {
    const Sample &s = GetParam();
    const Encoding encoding(s.encoding);
    ASSERT_EQ(encoding.from_utf8(s.utf8, Encoding::Missing::refuse), s.encoded)
        << "the C library has no tables for " << s.encoding;
    EXPECT_TRUE(encoding.ascii_compatible());
    const std::string text = "a<" + s.utf8 + "&b";
    EXPECT_EQ(encoding.from_utf8(text), "a<" + s.encoded + "&b");
    EXPECT_EQ(encoding.to_utf8("a<" + s.encoded + "&b"), text);
    EXPECT_TRUE(encoding.holds_only_characters(s.encoded));
    EXPECT_TRUE(encoding.holds_only_characters(""));
}

TEST_P(EachEncoding, WritesWhatItLacksAsReferences) {
    const Sample &s = GetParam();
    const Encoding encoding(s.encoding);
    // U+1F600 is in no legacy table; GB18030 and UTF-8 hold every character.
    const std::string face = "\xF0\x9F\x98\x80";
    const bool has_all = std::string(s.encoding) == "GB18030" || encoding.is_utf8();
    const std::optional<std::string> out = encoding.from_utf8("x" + face + s.utf8);
    ASSERT_TRUE(out.has_value());
    if (has_all) {
        EXPECT_EQ(encoding.to_utf8(*out), "x" + face + s.utf8);
    } else {
        EXPECT_EQ(*out, "x&#128512;" + s.encoded);
        EXPECT_EQ(encoding.from_utf8(face, Encoding::Missing::refuse), std::nullopt);
    }
}

TEST_P(EachEncoding, RefusesBytesOutsideItsTable) {
    const Sample &s = GetParam();
    const Encoding encoding(s.encoding);
    if (!s.invalid.empty()) {
        EXPECT_FALSE(encoding.holds_only_characters(s.invalid));
        EXPECT_FALSE(encoding.holds_only_characters("ok" + s.invalid));
        EXPECT_EQ(encoding.to_utf8(s.invalid), std::nullopt);
    }
    // Input that is not UTF-8 is never converted, whatever the encoding.
    for (const std::string bad :
         {"\xC3(", "\xED\xA0\x80", "\xC0\xAF", "\xF4\x90\x80\x80", "\xE2\x82"})
        EXPECT_EQ(encoding.from_utf8("v" + bad), std::nullopt) << testing::PrintToString(bad);
}

INSTANTIATE_TEST_SUITE_P(Tables, EachEncoding, testing::ValuesIn(kSamples),
                         [](const testing::TestParamInfo<Sample> &info) {
                             std::string name = info.param.encoding;
                             for (char &c : name)
                                 if (c == '-') c = '_';
                             return name;
                         });

TEST(Encoding, SingleByteEncodingsWithoutGapsTakeEveryByte) {
    std::string every;
    for (int b = 0; b < 256; ++b) every += static_cast<char>(b);
    EXPECT_TRUE(Encoding("ISO-8859-1").holds_only_characters(every));
    EXPECT_TRUE(Encoding("KOI8-R").holds_only_characters(every));
    EXPECT_FALSE(Encoding("windows-1252").holds_only_characters(every));
}

// Two encodings are told apart by what they make of text from many scripts
// and of every byte.
bool same_encoding(const Encoding &a, const Encoding &b) {
    const std::string text =
        "A\xC3\xA9\xC5\x82\xCE\xA9\xD0\x96\xD7\x90\xD8\xB9\xE0\xB8\x81"
        "\xE2\x82\xAC\xE4\xB8\xAD\xE6\x97\xA5\xED\x95\x9C";
    std::string bytes;
    for (int b = 0; b < 256; ++b) bytes += static_cast<char>(b);
    return a.is_utf8() == b.is_utf8() && a.ascii_compatible() == b.ascii_compatible() &&
           a.from_utf8(text) == b.from_utf8(text) && a.to_utf8(bytes) == b.to_utf8(bytes) &&
           a.holds_only_characters(bytes) == b.holds_only_characters(bytes);
}

TEST(Encoding, KnowsTheUsualNamesWhateverTheirCase) {
    const std::pair<const char *, const char *> names[] = {
        {"utf-8", "UTF-8"},
        {"UTF8", "UTF-8"},
        {"utf_8", "UTF-8"},
        {"ascii", "US-ASCII"},
        {"ANSI_X3.4-1968", "US-ASCII"},
        {"latin1", "ISO-8859-1"},
        {"iso_8859-1", "ISO-8859-1"},
        {"iso8859_1", "ISO-8859-1"},
        {"ISO8859-15", "ISO-8859-15"},
        {"Latin9", "ISO-8859-15"},
        {"latin5", "ISO-8859-9"},
        {"iso-8859-11", "ISO-8859-11"},
        {"CP1252", "windows-1252"},
        {"Windows-1250", "windows-1250"},
        {"x-cp1251", "windows-1251"},
        {"euc-cn", "GB2312"},
        {"gb2312", "GB2312"},
        {"cp936", "GBK"},
        {"gb18030", "GB18030"},
        {"BIG5", "Big5"},
        {"big-5", "Big5"},
        {"SJIS", "Shift_JIS"},
        {"shift-jis", "Shift_JIS"},
        {"MS_Kanji", "Shift_JIS"},
        {"x-sjis", "Shift_JIS"},
        {"eucJP", "EUC-JP"},
        {"euc-kr", "EUC-KR"},
        {"koi8-r", "KOI8-R"},
    };
    const Encoding utf8, unknown("X-NO-SUCH-ENCODING");
    for (const auto &[given, usual] : names) {
        const Encoding encoding(given), expected(usual);
        EXPECT_TRUE(same_encoding(encoding, expected)) << given;
        EXPECT_EQ(same_encoding(encoding, utf8), std::string(usual) == "UTF-8") << given;
        EXPECT_FALSE(same_encoding(encoding, unknown)) << given;
    }
    // Near misses are not taken for a known name: only ASCII is known then.
    for (const char *near_miss : {"ISO-8859-12", "ISO-8859-17", "windows-1259", "CP12520", "UTF-9"})
        EXPECT_TRUE(same_encoding(Encoding(near_miss), unknown)) << near_miss;
    EXPECT_EQ(Encoding("Latin1").from_utf8("\xC3\xA9"), "\xE9");
}

// document as a file, after value is written to its root <a> and saved;
// "<open failed>" when it does not open.
std::string saved_with(const std::string &document, const std::string &value,
                       xml_store::WriteResult &result) {
    testing_support::ScratchDir dir;
    const std::string path = dir / "config.xml";
    testing_support::write_file(path, document);
    const std::unique_ptr<Document> opened = Document::open(path.c_str());
    if (!opened) return "<open failed>";
    result = opened->write("a", value);
    return opened->save() ? testing_support::read_file(path) : "<save failed>";
}

// The declaration the parse yields names the encoding: a value written goes
// into the file in it ("\xC3\xA9\xE6\x97\xA5" is U+00E9 U+65E5).  A file
// starting with the byte order mark of UTF-16 or UTF-32 does not open, nor
// does one whose declaration is not a declaration at the start.
TEST(Encoding, ReadsTheDeclaration) {
    const std::pair<std::string, const char *> documents[] = {
        {"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><a/>", "ISO-8859-1"},
        {"<?xml version='1.0' encoding='gb2312' standalone='yes'?><a/>", "GB2312"},
        {"<?xml version = \"1.0\"\r\n  encoding\t=\t'Shift_JIS' ?>\n<a/>", "Shift_JIS"},
        {"\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"windows-1252\"?><a/>", "windows-1252"},
        {"<?xml version=\"1.0\"?><a/>", "UTF-8"},
        {"<?xml version=\"1.0\" standalone=\"no\"?><a/>", "UTF-8"},
        {"<a encoding=\"ISO-8859-1\"/>", "UTF-8"},
        {"<!-- <?xml version=\"1.0\" encoding=\"GBK\"?> --><a/>", "UTF-8"},
        {"<?xml-stylesheet encoding=\"GBK\"?><a/>", "UTF-8"},
        {"<?xml version=\"1.0\" encoding=\"ISO-8859-1//TRANSLIT\"?><a/>", nullptr},
        {"<?xml version=\"1.0\" encoding=\"\"?><a/>", nullptr},
        {" <?xml version=\"1.0\" encoding=\"GBK\"?><a/>", nullptr},
        {"<a/><?xml version=\"1.0\" encoding=\"GBK\"?>", nullptr},
        {"<?xml version=\"1.0\"?><a><?xml encoding=\"GBK\"?></a>", nullptr},
        {"<?xml version=\"1.0\" encoding=\"GBK\"?><a/", nullptr},
        {"<?xml version=\"1.0\" encoding=GBK?><a/>", nullptr},
        // Byte order marks of UTF-16 and UTF-32 (whole files in those are
        // refused by InItsOwnEncoding.UTF16AndUTF32FilesAreRefusedAtOpen).
        {"\xFF\xFE<a/>", nullptr},
        {"\xFE\xFF<a/>", nullptr},
        {std::string("\0\0\xFE\xFF<a/>", 8), nullptr},
    };
    const std::string value = "\xC3\xA9\xE6\x97\xA5";
    for (const auto &[document, encoding] : documents) {
        xml_store::WriteResult result{};
        const std::string saved = saved_with(document, value, result);
        if (!encoding) {
            EXPECT_EQ(saved, "<open failed>") << testing::PrintToString(document);
            continue;
        }
        const std::string spelled = Encoding(encoding).from_utf8(value).value();
        EXPECT_NE(saved.find(">" + spelled + "</a>"), std::string::npos)
            << testing::PrintToString(document) << " as " << encoding;
    }
}

// ISO646-KR reads the byte '\\' as U+20A9 and has no backslash: a text of
// ASCII bytes is not that text in UTF-8 there, and writing it is a change.
// Text without such a byte is still taken as it lies.
TEST(Encoding, AsciiBytesAreNotTakenForUtf8WhereTheyReadOtherwise) {
    EXPECT_TRUE(Encoding("ISO-8859-1").reads_as_utf8("a\\b~"));
    EXPECT_FALSE(Encoding("ISO646-KR").reads_as_utf8("a\\b"));
    EXPECT_FALSE(Encoding("Shift_JIS").reads_as_utf8("a~b"));
    EXPECT_TRUE(Encoding("Shift_JIS").reads_as_utf8("a/b"));
    const std::string document = "<?xml version=\"1.0\" encoding=\"ISO646-KR\"?><a>x\\y</a>";
    xml_store::WriteResult result{};
    EXPECT_NE(saved_with(document, "x\\y", result).find("<a>x&#92;y</a>"), std::string::npos);
    EXPECT_EQ(result, xml_store::WriteResult::written);
    EXPECT_EQ(saved_with(document, "x\xE2\x82\xA9y", result), document);
    EXPECT_EQ(result, xml_store::WriteResult::unchanged);
}

TEST(Encoding, TellsWhichEncodingsAByteWiseParserReads) {
    for (const char *name : {"UTF-8", "ISO-8859-1", "Shift_JIS", "GB18030", "Big5", "GBK"})
        EXPECT_TRUE(Encoding(name).ascii_compatible()) << name;
    for (const char *name : {"UTF-16", "UTF-16LE", "UTF-32", "UTF-7", "IBM037", "ISO-2022-JP",
                             "ISO-2022-CN", "ISO-2022-KR", "ISO646-DE"})
        EXPECT_FALSE(Encoding(name).ascii_compatible()) << name;
}

// iconv takes suffixes in a name as orders: "//TRANSLIT" would turn a
// missing character into '?' instead of a reference.
TEST(Encoding, NamesXmlDoesNotAllowConvertNothing) {
    for (const char *name : {"ISO-8859-1//TRANSLIT", "UTF-16//IGNORE", "latin1 ", "1252", ""}) {
        const Encoding encoding(name);
        EXPECT_FALSE(encoding.ascii_compatible()) << name;
        EXPECT_EQ(encoding.from_utf8("\xE2\x82\xAC"), "&#8364;") << name;
        EXPECT_EQ(encoding.to_utf8("\xE9"), std::nullopt) << name;
    }
}

// Without the C library's tables only ASCII is certain: every other
// character becomes a reference, and only ASCII bytes convert; which bytes
// the file may hold cannot be told.
TEST(Encoding, FallsBackToReferencesWhereTheCLibraryCannotConvert) {
    const Encoding encoding("X-NO-SUCH-ENCODING");
    EXPECT_TRUE(encoding.ascii_compatible());
    EXPECT_EQ(encoding.from_utf8("Caf\xC3\xA9 \xE4\xB8\xAD\xF0\x9F\x98\x80<&"),
              "Caf&#233; &#20013;&#128512;<&");
    EXPECT_EQ(encoding.from_utf8("plain", Encoding::Missing::refuse), "plain");
    EXPECT_EQ(encoding.from_utf8("Caf\xC3\xA9", Encoding::Missing::refuse), std::nullopt);
    EXPECT_EQ(encoding.from_utf8("bad\xC3("), std::nullopt);
    EXPECT_TRUE(encoding.holds_only_characters("ascii only\t\n"));
    EXPECT_TRUE(encoding.holds_only_characters("Caf\xE9"));
    EXPECT_EQ(encoding.to_utf8("ascii only\t\n"), "ascii only\t\n");
    EXPECT_EQ(encoding.to_utf8("Caf\xE9"), std::nullopt);
    EXPECT_EQ(encoding.to_utf8("\xC3\xA9"), std::nullopt);
}

// ISO-2022-JP switches sets with escapes: every converted piece must end
// back in ASCII, or the markup after it would be read as kanji.
TEST(Encoding, StatefulEncodingsEndEachPieceInTheirInitialState) {
    const Encoding encoding("ISO-2022-JP");
    const std::string nichi = "\xE6\x97\xA5";  // JIS X 0208 0x467C
    ASSERT_EQ(encoding.from_utf8("a" + nichi), "a\x1B$BF|\x1B(B")
        << "the C library has no tables for ISO-2022-JP";
    EXPECT_EQ(encoding.from_utf8(nichi + "\xC3\xA9" + nichi), "\x1B$BF|\x1B(B&#233;\x1B$BF|\x1B(B");
    // A piece starts in the initial state whatever the previous one did.
    EXPECT_EQ(encoding.to_utf8("\x1B$BF|"), nichi);
    EXPECT_EQ(encoding.to_utf8("F|"), "F|");
    EXPECT_EQ(encoding.to_utf8("\x1B$BF|\x1B(Bx"), nichi + "x");
}

// Where the C library has no tables, the bytes cannot be tried: the
// stateful and wide families are known by name, anything else is taken as
// ASCII alone.
TEST(Encoding, WithoutTablesTheStatefulFamiliesAreKnownByName) {
    for (const char *name : {"HZ", "HZ-GB-2312", "ISO-2022-JP-9", "UTF-7-X", "UCS-2-X"}) {
        const Encoding encoding(name);
        EXPECT_EQ(encoding.from_utf8("\xC3\xA9"), "&#233;") << name << " converts";
        EXPECT_FALSE(encoding.ascii_compatible()) << name;
    }
    EXPECT_TRUE(Encoding("X-NO-SUCH-ENCODING").ascii_compatible());
}

// Every encoding the C library lists, judged by its bytes straight through
// iconv: one the store takes spells markup as ASCII and no character of a
// sample from many scripts with a byte of markup or a control.
TEST(Encoding, WhatItTakesOfTheCLibrarysEncodingsSpellsMarkupAsAscii) {
    FILE *list = popen("iconv -l 2>/dev/null", "r");
    ASSERT_NE(list, nullptr);
    std::string names;
    for (int c; (c = fgetc(list)) != EOF;) names += static_cast<char>(c);
    pclose(list);
    const std::string markup = "<?xml version='1.0'?>\t\r\n<!DOCTYPE [&#;]-->AZaz09_.:/=\"";
    // Latin, Greek, Cyrillic, Hebrew, Arabic, Thai, kana, CJK, Hangul, symbols.
    const char *const samples[] = {"\xC3\xA9",     "\xC5\x82",     "\xCE\xA9",     "\xD0\x96",
                                   "\xD7\x90",     "\xD8\xB9",     "\xE0\xB8\x81", "\xE3\x82\xA2",
                                   "\xE4\xB8\xAD", "\xE6\x97\xA5", "\xE6\xAC\xA1", "\xE8\x82\x8C",
                                   "\xEC\x83\xA5", "\xED\x95\x9C", "\xE2\x82\xAC"};
    const auto through = [](const char *to, const char *from, const std::string &in,
                            std::string &out) {
        iconv_t cd = iconv_open(to, from);
        if (reinterpret_cast<intptr_t>(cd) == -1) return false;
        char buffer[256];
        char *src = const_cast<char *>(in.data()), *dst = buffer;
        size_t left = in.size(), room = sizeof buffer;
        bool ok = iconv(cd, &src, &left, &dst, &room) != static_cast<size_t>(-1) &&
                  iconv(cd, nullptr, nullptr, &dst, &room) != static_cast<size_t>(-1);
        out.assign(buffer, dst);
        iconv_close(cd);
        return ok;
    };
    int taken = 0, refused = 0;
    for (size_t at = 0; at < names.size();) {
        const size_t end = names.find_first_of(",\n", at);
        std::string name = names.substr(at, end - at);
        at = end == std::string::npos ? names.size() : end + 1;
        name.erase(0, name.find_first_not_of(' '));
        if (name.size() > 2 && name.compare(name.size() - 2, 2, "//") == 0)
            name.resize(name.size() - 2);
        std::string a, out;  // iconv converts it both ways, or it is not tried
        if (name.empty() || !through(name.c_str(), "UTF-8", "a", a) ||
            !through("UTF-8", name.c_str(), a, out))
            continue;
        if (!Encoding(name).ascii_compatible()) {
            ++refused;
            continue;
        }
        ++taken;
        EXPECT_TRUE(through(name.c_str(), "UTF-8", markup, out) && out == markup) << name;
        EXPECT_TRUE(through("UTF-8", name.c_str(), markup, out) && out == markup) << name;
        for (const char *sample : samples) {
            if (!through(name.c_str(), "UTF-8", sample, out)) continue;  // not in this encoding
            for (const char byte : out)
                EXPECT_TRUE(static_cast<unsigned char>(byte) >= 0x20 &&
                            std::string_view("<>&\"'=/?!-").find(byte) == std::string_view::npos)
                    << name << " spells " << testing::PrintToString(std::string(sample)) << " as "
                    << testing::PrintToString(out);
        }
    }
    EXPECT_GT(taken, 100);
    EXPECT_GT(refused, 100);
    for (const char *name : {"ISO-2022-JP", "ISO-2022-CN", "ISO-2022-KR", "UTF-7", "UTF-16"})
        EXPECT_FALSE(Encoding(name).ascii_compatible()) << name;
}

}  // namespace
