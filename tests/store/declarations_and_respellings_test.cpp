// Declarations the parser reads more loosely than XML, encoding names, and
// values the file's encoding spells otherwise than they read back: each
// judged as an independent reader (iconv and libexpat) reads the saved file.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>

#include "expat_view.h"
#include "store_case.h"

using namespace testing_support;

namespace {

// pugixml takes a processing instruction whose target is "xml" in any
// letter case for the declaration.  A file that starts "<?XML" is no XML
// (libexpat refuses it): the store reads no encoding from it, so the file is
// UTF-8, and its Latin-1 byte has it refused at open.
TEST(DeclarationsAndRespellings, DeclarationInAnotherLetterCaseIsNoDeclaration) {
    for (const char *target : {"XML", "xMl", "Xml"}) {
        const std::string document = std::string("<?") + target +
                                     " version=\"1.0\" encoding=\"ISO-8859-1\"?>\n"
                                     "<DVR_CFG><K>caf\xE9</K></DVR_CFG>\n";
        ASSERT_FALSE(parse_with_expat(document).well_formed) << target;
        EXPECT_FALSE(opens(document)) << target;
    }
}

// pugixml expands references in the declaration's values, where XML allows
// none (libexpat refuses the file): the store refuses it rather than open it
// in the encoding the reference spells, or in one a "&#x0;" cut short.
TEST(DeclarationsAndRespellings, ReferenceInTheDeclaredEncodingIsRefused) {
    for (const char *encoding : {"&#73;SO-8859-1", "ISO&#45;8859-1", "ISO-8859-1&#x0;x"}) {
        const std::string document = std::string("<?xml version=\"1.0\" encoding=\"") + encoding +
                                     "\"?>\n<DVR_CFG><K>caf\xE9</K></DVR_CFG>\n";
        ASSERT_FALSE(parse_with_expat(document).well_formed) << encoding;
        EXPECT_FALSE(opens(document)) << encoding;
    }
}

// The bytes after the declaration once "é日" is written to DVR_CFG.K of a
// file declaring encoding.
std::string body_after_write(const std::string &encoding) {
    const std::string declaration = "<?xml version=\"1.0\" encoding=\"" + encoding + "\"?>\n";
    const std::string saved = apply(declaration + "<DVR_CFG><K>x</K></DVR_CFG>\n",
                                    {{"DVR_CFG.K", "\xC3\xA9\xE6\x97\xA5"}});
    return saved.compare(0, declaration.size(), declaration) == 0 ? saved.substr(declaration.size())
                                                                  : saved;
}

// Deliberately given up with the old alias table: the separator-free forms
// it took (SHIFTJIS, MSKANJI, WINDOWS1252, CNBIG5).  The store asks iconv for
// a name as given, in any letter case, then once more without '-', '_' and a
// leading "x-", and glibc knows none of these so written.  Pinned as the
// README documents it: such a name is an encoding the C library lacks, whose
// non-ASCII characters are all written as references, while a name iconv
// knows, in another letter case or found by the retry, converts.
TEST(DeclarationsAndRespellings, NamesIconvDoesNotKnowAreEncodingsTheCLibraryLacks) {
    for (const char *spelled : {"ShiftJIS", "MSKANJI", "windows1252", "CNBIG5"})
        EXPECT_EQ(body_after_write(spelled), "<DVR_CFG><K>&#233;&#26085;</K></DVR_CFG>\n")
            << spelled;
    const std::pair<const char *, const char *> spellings[] = {{"shift_jis", "Shift_JIS"},
                                                               {"Ms_Kanji", "MS_KANJI"},
                                                               {"x-cp1252", "windows-1252"},
                                                               {"iso_8859_1", "ISO-8859-1"}};
    for (const auto &[spelled, name] : spellings) {
        const std::string expected = body_after_write(name);
        // The usual name converts: a character is in the file as its own bytes.
        ASSERT_TRUE(std::any_of(expected.begin(), expected.end(), [](char c) { return c & 0x80; }))
            << name;
        EXPECT_EQ(body_after_write(spelled), expected) << spelled;
    }
}

// glibc's Shift_JIS writes U+005C and U+007E as the bytes 0x5C and 0x7E,
// which it reads as U+00A5 and U+203E (the old store wrote those bytes, and
// the value read back, through iconv and libexpat, was a yen sign and an
// overline).  The store writes such a character as a reference ("&#92;").
TEST(DeclarationsAndRespellings, BackslashAndTildeKeptInShiftJis) {
    const std::string saved =
        apply("<?xml version=\"1.0\" encoding=\"Shift_JIS\"?>\n<DVR_CFG><K>x</K></DVR_CFG>\n",
              {{"DVR_CFG.K", "C:\\dir~1"}});
    EXPECT_EQ(expat_text(saved, "DVR_CFG.K"), "C:\\dir~1") << saved;
}

// Found by the differential fuzzer (the old store did the same): a value
// written and then written back to what the element holds in the file was
// still spliced in, and the save respelled the element, dropping a comment,
// a reference, a CDATA section, the self-closing form.  Written back, the
// element is spliced as parsed: the file keeps every byte.
TEST(DeclarationsAndRespellings, ValueWrittenBackKeepsTheElementAsSpelled) {
    const std::string document =
        "<DVR_CFG>\n  <K><!-- factory -->x</K>\n  <L>&#65;</L>\n  "
        "<M>a<![CDATA[b]]></M>\n  <E/>\n</DVR_CFG>\n";
    EXPECT_EQ(apply(document, {{"DVR_CFG.K", "changed"},
                               {"DVR_CFG.K", "x"},
                               {"DVR_CFG.L", "B"},
                               {"DVR_CFG.L", "A"},
                               {"DVR_CFG.M", "z"},
                               {"DVR_CFG.M", "ab"},
                               {"DVR_CFG.E", "1"},
                               {"DVR_CFG.E", ""}}),
              document);
}

// Written back with nothing else changed, the file is not written at all;
// written back after a save of the other value, it is its old bytes again.
// A new element written twice keeps its last value.
TEST(DeclarationsAndRespellings, ValueWrittenBackLeavesTheFileOrRestoresIt) {
    const std::string document = "<DVR_CFG>\n  <K><!-- factory -->x</K>\n</DVR_CFG>\n";
    StoreFile store(document);
    ASSERT_GT(store.handle, 0);
    const struct stat before = store.status();
    EXPECT_EQ(store.write("DVR_CFG.K", "changed"), 0);
    EXPECT_EQ(store.write("DVR_CFG.K", "x"), 0);
    EXPECT_EQ(store.save(), 0);
    EXPECT_TRUE(store.untouched_since(before));
    EXPECT_EQ(store.write("DVR_CFG.K", "changed"), 0);
    EXPECT_EQ(store.save(), 0);
    EXPECT_EQ(store.bytes(), replaced(document, "<!-- factory -->x", "changed"));
    EXPECT_EQ(store.write("DVR_CFG.K", "x"), 0);
    EXPECT_EQ(store.write("DVR_CFG.N", "1"), 0);
    EXPECT_EQ(store.write("DVR_CFG.N", ""), 0);
    EXPECT_EQ(store.save(), 0);
    EXPECT_EQ(store.bytes(), replaced(document, "</K>\n", "</K>\n  <N></N>\n"));
}

// A known limit, left (the old store had it too): names are matched as the
// file's bytes, the entry's names converted from UTF-8, but glibc's
// windows-1258 (and TCVN5712-1) reads a letter and a combining accent as one
// character ("a" and 0xEC, the combining acute, read as U+00E1), so one
// UTF-8 name has two spellings there and the conversion gives the
// precomposed one (0xE1).  The entry "DVR_CFG.\u00e1" does not find the
// element spelled "a\xEC", and the store adds a second element that iconv
// and libexpat read under the same name, after the first: the value read is
// still the old one.  Matching would take every name of the file converted
// and composed on each lookup; a decomposed name in a device file is
// unlikely.  The README lists the limit.
TEST(DeclarationsAndRespellings, NameWithACombiningAccentIsFoundInWindows1258) {
    GTEST_SKIP() << "known limit: names are matched as the file spells them, and windows-1258 "
                    "spells a composed letter two ways";
    const std::string saved = apply(
        "<?xml version=\"1.0\" encoding=\"windows-1258\"?>\n<DVR_CFG><a\xEC>1</a\xEC></DVR_CFG>\n",
        {{"DVR_CFG.\xC3\xA1", "2"}});
    EXPECT_EQ(expat_text(saved, "DVR_CFG.\xC3\xA1"), "2") << saved;
}

}  // namespace
