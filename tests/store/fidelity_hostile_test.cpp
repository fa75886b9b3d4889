// Files a device may well hold that the hand-made configurations do not:
// blanks spelled as character references, comments holding markup, encodings
// other than UTF-8, entities declared in the DOCTYPE, extended attributes.
// Each saved file is checked byte for byte and read back with libexpat, a
// parser independent of the store's own.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/xattr.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "expat_view.h"
#include "store_case.h"

using namespace testing_support;

namespace {

// Every element of before, but those listed, is in after with the same
// attributes and the same text but for blanks.
void expect_others_kept(const std::string &before, const std::string &after,
                        const std::vector<std::string> &changed) {
    const ExpatView old_view = parse_with_expat(before), new_view = parse_with_expat(after);
    ASSERT_TRUE(old_view.well_formed) << old_view.error;
    ASSERT_TRUE(new_view.well_formed) << new_view.error << "\n" << after;
    const auto non_blank = [](std::string s) {
        s.erase(std::remove_if(s.begin(), s.end(), [](char c) { return strchr(" \t\r\n", c); }),
                s.end());
        return s;
    };
    for (const ExpatElement &old_element : old_view.elements) {
        if (std::find(changed.begin(), changed.end(), old_element.path) != changed.end()) continue;
        const ExpatElement *kept = new_view.find(old_element.path);
        ASSERT_NE(kept, nullptr) << old_element.path << " is gone:\n" << after;
        EXPECT_EQ(kept->attributes, old_element.attributes) << old_element.path;
        EXPECT_EQ(non_blank(kept->text), non_blank(old_element.text)) << old_element.path;
    }
}

// One write of value to entry: the saved file is before with from replaced
// by to, and libexpat reads utf8 in the element.  Returns the saved bytes.
std::string expect_written(const std::string &before, const std::string &entry,
                           const std::string &value, const std::string &from, const std::string &to,
                           const std::string &utf8) {
    const std::string after = apply(before, {{entry, value}});
    EXPECT_EQ(after, replaced(before, from, to));
    EXPECT_EQ(expat_text(after, entry), utf8);
    return after;
}

// After writes, refused or not as refused says, and a save, the file is
// document byte for byte, and it was not written again.
void expect_left_alone(const std::string &document, const Writes &writes, bool refused) {
    StoreFile store(document);
    const struct stat before = store.status();
    bool any_refused = false;
    for (const auto &[entry, value] : writes) any_refused |= store.write(entry, value) != 0;
    EXPECT_EQ(any_refused, refused);
    EXPECT_EQ(store.save(), 0);
    EXPECT_TRUE(store.untouched_since(before)) << "the file was written again";
    EXPECT_EQ(store.bytes(), document);
}

// 1. Blanks after the last child, spelled as character references.

std::string blank_after_last(const std::string &blank) {
    return "<?xml version=\"1.0\"?>\n<DVR_CFG>\n  <NET>\n    <IP>1.2.3.4</IP>\n"
           "    <DEVICE_NAME>Gate &amp; Yard</DEVICE_NAME>\n    <DNS>8.8.8.8</DNS>" +
           blank + "</NET>\n</DVR_CFG>\n";
}

const char *const kBlankReferences[] = {"&#10;",       "&#13;",     "&#9;",
                                        "&#32;",       "&#xA;",     "&#x0d;&#xa;",
                                        "&#x20;&#x9;", "\n&#10;  ", "&#10;\n"};

TEST(BlankReferences, NewKeyGoesAfterTheLastChildAndKeepsItsSiblings) {
    for (const std::string blank : kBlankReferences) {
        SCOPED_TRACE(blank);
        const std::string before = blank_after_last(blank);
        expect_others_kept(before,
                           expect_written(before, "DVR_CFG.NET.NTP", "pool.ntp.org", "</DNS>",
                                          "</DNS>\n    <NTP>pool.ntp.org</NTP>", "pool.ntp.org"),
                           {"DVR_CFG.NET"});
    }
}

TEST(BlankReferences, OtherWritesInsideTheElementStayWellFormed) {
    for (const std::string blank : kBlankReferences) {
        const std::string before = blank_after_last(blank);
        const std::string after = apply(before, {{"DVR_CFG.NET.DEVICE_NAME", "Gate B & C"},
                                                 {"DVR_CFG.NET.NTP", "pool"},
                                                 {"DVR_CFG.NET.IP", "10.0.0.1"},
                                                 {"DVR_CFG.NET.PORT.HTTP", "80"}});
        std::string expected = replaced(before, "Gate &amp; Yard", "Gate B &amp; C");
        expected = replaced(expected, "1.2.3.4", "10.0.0.1");
        expected = replaced(expected, "</DNS>",
                            "</DNS>\n    <NTP>pool</NTP>\n    <PORT>\n      <HTTP>80</HTTP>\n"
                            "    </PORT>");
        EXPECT_EQ(after, expected) << blank;
        EXPECT_EQ(expat_text(after, "DVR_CFG.NET.DEVICE_NAME"), "Gate B & C") << blank;
        EXPECT_EQ(expat_text(after, "DVR_CFG.NET.PORT.HTTP"), "80") << blank;
        expect_others_kept(before, after,
                           {"DVR_CFG.NET", "DVR_CFG.NET.DEVICE_NAME", "DVR_CFG.NET.IP"});
    }
}

TEST(BlankReferences, UnderTheRootToo) {
    const std::string before = "<DVR_CFG>\n  <NET>\n    <IP>1.2.3.4</IP>\n  </NET>&#10;</DVR_CFG>";
    const std::string after = apply(before, {{"DVR_CFG.SYS.NAME", "cam"}});
    EXPECT_EQ(after, replaced(before, "</NET>", "</NET>\n  <SYS>\n    <NAME>cam</NAME>\n  </SYS>"));
    expect_others_kept(before, after, {"DVR_CFG"});
}

// Blanks as references between children, not after the last: nothing is
// decided on them, and they stay as they are.
TEST(BlankReferences, BetweenChildrenStayAsTheyAre) {
    const std::string before =
        "<DVR_CFG>&#10;  <NET>&#10;    <IP>1.2.3.4</IP>&#10;    <DNS>8.8.8.8</DNS>\n  </NET>\n"
        "</DVR_CFG>\n";
    const std::string after = apply(before, {{"DVR_CFG.NET.IP", "10.0.0.1"}});
    EXPECT_EQ(after, replaced(before, "1.2.3.4", "10.0.0.1"));
    expect_others_kept(before, after, {"DVR_CFG.NET.IP"});
}

// 2. Comments holding markup.

TEST(MarkupInComments, AroundTheRootDoesNotStopTheOpen) {
    const std::string body = "<DVR_CFG>\n  <S>\n    <K>x</K>\n  </S>\n</DVR_CFG>\n";
    const std::string documents[] = {
        "<!--<DVR_CFG version=\"3.1\"/>-->\n" + body,
        "<?xml version=\"1.0\"?>\n<!-- was: <DVR_CFG><S><K>0</K></S></DVR_CFG> -->\n" + body,
        body + "<!-- <DVR_CFG/> -->\n",
        "<!-- a < b -->" + body + "<!--</DVR_CFG>-->",
        "<?xml version=\"1.0\"?><!DOCTYPE DVR_CFG [<!-- <X> -->]>\n" + body + "<!--<-->\n",
    };
    for (const std::string &before : documents)
        expect_written(before, "DVR_CFG.S.K", "y", "<K>x</K>", "<K>y</K>", "y");
}

TEST(MarkupInComments, AsTheLastChildNewElementsGoOnTheirOwnLine) {
    for (const std::string comment :
         {"<!--<L>disabled</L>-->", "<!--<-->", "<!-- <L>disabled</L> -->"}) {
        const std::string before =
            "<DVR_CFG>\n  <S>\n    <K>x</K>\n    " + comment + "\n  </S>\n</DVR_CFG>\n";
        const std::string after = apply(before, {{"DVR_CFG.S.NEW", "v"}, {"DVR_CFG.S.K", "y"}});
        EXPECT_EQ(after, "<DVR_CFG>\n  <S>\n    <K>y</K>\n    " + comment +
                             "\n    <NEW>v</NEW>\n  </S>\n</DVR_CFG>\n");
        EXPECT_EQ(expat_text(after, "DVR_CFG.S.NEW"), "v");
    }
}

// Processing instructions may hold markup too; they open today and must
// keep opening.
TEST(MarkupInComments, ProcessingInstructionsHoldingMarkup) {
    const std::string before =
        "<?app-config note=\"<DVR_CFG/>\"?>\n<DVR_CFG>\n  <S>\n    <K>x</K>\n"
        "    <?keep <S>?>\n  </S>\n</DVR_CFG>\n";
    expect_written(before, "DVR_CFG.S.K", "y", "<K>x</K>", "<K>y</K>", "y");
}

// 3. Encodings other than UTF-8.

struct Encoded {
    const char *encoding;
    std::string value_utf8, value;  // a value in UTF-8 and in the encoding
    std::string name_utf8, name;    // an element name likewise
    std::string held_utf8, held;    // the value that element holds
    std::string invalid;            // valid neither as UTF-8 nor here; "" if none
};

// The encodings' bytes come from Python's codecs, not from the C library.
// Words several of them spell, in UTF-8:
const std::string kZhongwen = "\xE4\xB8\xAD\xE6\x96\x87";  // U+4E2D U+6587
const std::string kShebei = "\xE8\xA8\xAD\xE5\x82\x99";    // U+8A2D U+5099, traditional
const std::string kNihon = "\xE6\x97\xA5\xE6\x9C\xAC";     // U+65E5 U+672C
const std::string kNamae = "\xE5\x90\x8D\xE5\x89\x8D";     // U+540D U+524D
const std::string kKiki = "\xE6\xA9\x9F\xE5\x99\xA8";      // U+6A5F U+5668
const std::string kCafe = "CAF\xC3\x89";
const Encoded kEncoded[] = {
    {"ISO-8859-1", "Caf\xC3\xA9", "Caf\xE9", kCafe, "CAF\xC9", "Ma\303\261ana", "Ma\361ana", ""},
    {"windows-1252", "\xE2\x82\xAC 5", "\x80 5", kCafe, "CAF\xC9", "\xC5\x92uvre", "\x8Cuvre",
     "\x81"},
    {"GB2312", kZhongwen, "\xD6\xD0\xCE\xC4", "\xE5\x90\x8D\xE7\xA7\xB0", "\xC3\xFB\xB3\xC6",
     "\xE8\xAE\xBE\xE5\xA4\x87", "\xC9\xE8\xB1\xB8", "\xFF\xFF"},
    {"GBK", kZhongwen, "\xD6\xD0\xCE\xC4", "\xE5\x90\x8D\xE7\xA7\xB0", "\xC3\xFB\xB3\xC6", kShebei,
     "\xD4O\x82\xE4", "\xFF\xFF"},
    {"Big5", kZhongwen, "\xA4\xA4\xA4\xE5", "\xE5\x90\x8D\xE7\xA8\xB1", "\xA6W\xBA\xD9", kShebei,
     "\xB3]\xB3\xC6", "\xFF\xFF"},
    {"Shift_JIS", kNihon, "\x93\xFA\x96{", kNamae, "\x96\xBC\x91O", kKiki, "\x8B@\x8A\xED",
     "\xFF\xFF"},
    {"EUC-JP", kNihon, "\xC6\xFC\xCB\xDC", kNamae, "\xCC\xBE\xC1\xB0", kKiki, "\xB5\xA1\xB4\xEF",
     "\xFF\xFF"},
    {"EUC-KR", "\xED\x95\x9C\xEA\xB5\xAD", "\xC7\xD1\xB1\xB9", "\xEC\x9D\xB4\xEB\xA6\x84",
     "\xC0\xCC\xB8\xA7", "\xEC\x9E\xA5\xEC\xB9\x98", "\xC0\xE5\xC4\xA1", "\xFF\xFF"},
    {"KOI8-R", "\xD0\x96\xD1\x83\xD0\xBA", "\xF6\xD5\xCB", "\xD0\x98\xD0\x9C\xD0\xAF",
     "\xE9\xED\xF1", "\xD0\x94\xD0\xBE\xD0\xBC", "\xE4\xCF\xCD", ""},
};

void PrintTo(const Encoded &e, std::ostream *os) {
    *os << e.encoding;
}

class InItsOwnEncoding : public testing::TestWithParam<Encoded> {
  protected:
    std::string document() const {
        const Encoded &e = GetParam();
        return std::string("<?xml version=\"1.0\" encoding=\"") + e.encoding +
               "\"?>\n<DVR_CFG>\n  <S>\n    <K>old</K>\n    <" + e.name + ">" + e.held + "</" +
               e.name + ">\n  </S>\n</DVR_CFG>\n";
    }
    std::string name_path() const { return "DVR_CFG.S." + GetParam().name_utf8; }
};

TEST_P(InItsOwnEncoding, UTF8ValuesAreConverted) {
    const Encoded &e = GetParam();
    const std::string after = expect_written(document(), "DVR_CFG.S.K", e.value_utf8, ">old<",
                                             ">" + e.value + "<", e.value_utf8);
    expect_others_kept(document(), after, {"DVR_CFG.S.K"});
}

TEST_P(InItsOwnEncoding, ValuesAlreadyInTheEncodingAreTakenAsTheyAre) {
    const Encoded &e = GetParam();
    expect_written(document(), "DVR_CFG.S.K", e.value + " <&>", ">old<",
                   ">" + e.value + " &lt;&amp;&gt;<", e.value_utf8 + " <&>");
}

TEST_P(InItsOwnEncoding, CharactersItLacksBecomeReferences) {
    // U+1F600 and U+0F00 (Tibetan) are in none of these encodings.
    const std::string value = "a\xF0\x9F\x98\x80\xE0\xBC\x80z";
    expect_written(document(), "DVR_CFG.S.K", value, ">old<", ">a&#128512;&#3840;z<", value);
}

TEST_P(InItsOwnEncoding, ValuesValidInNeitherAreRefused) {
    const Encoded &e = GetParam();
    if (e.invalid.empty()) GTEST_SKIP() << e.encoding << " gives every byte a character";
    expect_left_alone(document(), {{"DVR_CFG.S.K", "x" + e.invalid}}, true);
}

TEST_P(InItsOwnEncoding, NamesAreMatchedInTheEncoding) {
    const Encoded &e = GetParam();
    expect_written(document(), name_path(), "new", ">" + e.held + "<", ">new<", "new");
}

TEST_P(InItsOwnEncoding, NewNamesAreWrittenInTheEncoding) {
    const Encoded &e = GetParam();
    expect_written(document(), "DVR_CFG." + e.name_utf8 + "." + e.name_utf8, e.value_utf8, "</S>",
                   "</S>\n  <" + e.name + ">\n    <" + e.name + ">" + e.value + "</" + e.name +
                       ">\n  </" + e.name + ">",
                   e.value_utf8);
}

// U+0F00 (Tibetan) is in none of these encodings, and a name cannot hold a
// reference in its place.
TEST_P(InItsOwnEncoding, NamesItCannotSpellAreRefused) {
    expect_left_alone(document(), {{"DVR_CFG.S.\xE0\xBC\x80", "v"}}, true);
}

TEST_P(InItsOwnEncoding, WritingTheHeldValueWritesNothing) {
    const Encoded &e = GetParam();
    for (const std::string &same : {e.held_utf8, e.held})
        expect_left_alone(document(), {{name_path(), same}}, false);
}

INSTANTIATE_TEST_SUITE_P(Encodings, InItsOwnEncoding, testing::ValuesIn(kEncoded),
                         [](const auto &info) { return test_name(info.param.encoding); });

// UTF-16 and UTF-32 files are refused at open: a save could not keep their
// bytes with the store's byte-wise splices.
TEST(InItsOwnEncoding, UTF16AndUTF32FilesAreRefusedAtOpen) {
    const std::string text =
        "<?xml version=\"1.0\" encoding=\"UTF-16\"?><DVR_CFG><K>x</K></DVR_CFG>";
    std::string le = "\xFF\xFE", be = "\xFE\xFF";
    for (const char c : text) le += std::string{c, '\0'}, be += std::string{'\0', c};
    for (const std::string &bytes : {le, be}) {
        EXPECT_TRUE(parse_with_expat(bytes).well_formed) << parse_with_expat(bytes).error;
        const StoreFile store(bytes);
        EXPECT_EQ(store.handle, 0);
        EXPECT_EQ(store.bytes(), bytes);
    }
    std::string utf32 = std::string("\xFF\xFE\0\0", 4);
    for (const char c : std::string("<DVR_CFG/>")) utf32 += std::string{c, '\0', '\0', '\0'};
    EXPECT_EQ(StoreFile(utf32).handle, 0);
}

// 4. Entities declared in the DOCTYPE.

const std::string kEntity =
    "<?xml version=\"1.0\"?>\n<!DOCTYPE DVR_CFG [\n  <!ENTITY vendor \"Acme\">\n]>\n"
    "<DVR_CFG>\n  <S>\n    <NAME>&vendor;</NAME>\n  </S>\n</DVR_CFG>\n";

TEST(DeclaredEntities, ALiteralReferenceIsWrittenAsText) {
    expect_written(kEntity, "DVR_CFG.S.NAME", "&vendor;", "<NAME>&vendor;", "<NAME>&amp;vendor;",
                   "&vendor;");
}

TEST(DeclaredEntities, TheReplacementTextIsWrittenToo) {
    EXPECT_EQ(expat_text(kEntity, "DVR_CFG.S.NAME"), "Acme");
    expect_written(kEntity, "DVR_CFG.S.NAME", "Acme", "<NAME>&vendor;", "<NAME>Acme", "Acme");
}

// 5. Extended attributes.

TEST_XML(ExtendedAttributesOfTheFile, AreKeptByASave, "<DVR_CFG>\n  <K>x</K>\n</DVR_CFG>\n") {
    const std::string &path = store.path;
    if (setxattr(path.c_str(), "user.origin", "factory", 7, 0) != 0)
        GTEST_SKIP() << "no user attributes here: " << strerror(errno);
    const bool labels = setxattr(path.c_str(), "security.store_test", "label", 5, 0) == 0;
    const int label_error = labels ? 0 : errno;
    // Setting them changed the file's change time, which a save would take
    // for another writer's work: the store opens the file as it now is.
    ASSERT_GT(store.reopen(), 0);
    ASSERT_EQ(store.write("DVR_CFG.K", "y"), 0);
    ASSERT_EQ(store.save(), 0);
    ASSERT_EQ(store.bytes(), "<DVR_CFG>\n  <K>y</K>\n</DVR_CFG>\n");
    char value[64];
    ssize_t length = getxattr(path.c_str(), "user.origin", value, sizeof value);
    EXPECT_EQ(std::string(value, length < 0 ? 0 : length), "factory");
    if (!labels)
        GTEST_SKIP() << "security attributes cannot be set here: " << strerror(label_error);
    length = getxattr(path.c_str(), "security.store_test", value, sizeof value);
    EXPECT_EQ(std::string(value, length < 0 ? 0 : length), "label");
}

}  // namespace
