// What xml_file_open takes: one well-formed document in an encoding whose
// markup a byte-wise parser reads as ASCII, and every file a save writes
// opens again.  libexpat, which the store does not use, is the judge of
// well-formedness.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "expat_view.h"
#include "store_case.h"

using namespace testing_support;

namespace {

// libexpat, the judge, says document is not well-formed.
void expect_not_xml(const std::string &document) {
    EXPECT_FALSE(parse_with_expat(document).well_formed) << testing::PrintToString(document);
}

std::string declaring(const std::string &encoding, const std::string &body) {
    return "<?xml version=\"1.0\" encoding=\"" + encoding + "\"?>\n" + body;
}

// 1. Encodings in which a character's bytes can look like markup.

const std::string kBody = "<DVR_CFG>\n  <S>\n    <K>old</K>\n  </S>\n</DVR_CFG>\n";

// Stateful and 7-bit encodings: a character is spelled with ASCII bytes,
// '<' among them (ISO-2022-JP writes U+65E5 as ESC $ B F | ESC ( B, and
// U+6B21 as "<!" inside such escapes).  A file of plain ASCII declaring one
// is refused as well: the first non-ASCII value would make a file that does
// not open again.  HZ is not in the GNU C library at all; it is refused by
// its name.
TEST(StatefulEncodings, AreRefusedAtOpen) {
    for (const char *encoding : {"ISO-2022-JP", "iso-2022-jp", "csISO2022JP", "ISO-2022-JP-2",
                                 "ISO-2022-JP-3", "ISO-2022-CN", "ISO-2022-CN-EXT", "ISO-2022-KR",
                                 "HZ", "HZ-GB-2312", "UTF-7", "utf7", "UTF-7-IMAP"}) {
        EXPECT_FALSE(opens(declaring(encoding, kBody))) << encoding;
    }
    // A character of its own in the file changes nothing.
    EXPECT_FALSE(opens(declaring("ISO-2022-JP", "<DVR_CFG><K>\x1B$BF|\x1B(B</K></DVR_CFG>")));
    EXPECT_FALSE(opens(declaring("UTF-7", "<DVR_CFG><K>+AOk-</K></DVR_CFG>")));
}

// Before they were refused, a save wrote a file that its own store then
// refused: the tool would have kept the update forever.  Whatever opens,
// its save opens again.
TEST(StatefulEncodings, NoSaveWritesAFileThatDoesNotOpen) {
    for (const char *encoding : {"ISO-2022-JP", "ISO-2022-CN", "ISO-2022-KR", "UTF-7"}) {
        StoreFile store(declaring(encoding, kBody));
        // U+6B21, U+808C and U+C0E5: "<!" in ISO-2022-JP, -CN and -KR.
        store.write("DVR_CFG.S.K", "\xE6\xAC\xA1\xE8\x82\x8C\xEC\x83\xA5\xC3\xA9 <&>");
        if (store.handle <= 0 || store.save() != 0) continue;
        EXPECT_GT(store.reopen(), 0) << encoding << ": the saved file does not open";
    }
}

// Every encoding the store has taken so far still opens, under its usual
// names, with its own characters in the file.
TEST(AsciiBasedEncodings, StillOpen) {
    const std::pair<const char *, std::string> documents[] = {
        {"UTF-8", "Caf\xC3\xA9"},        {"US-ASCII", "plain"},
        {"ISO-8859-1", "Caf\xE9"},       {"latin1", "Caf\xE9"},
        {"ISO-8859-15", "\xA4"},         {"windows-1250", "\xB3"},
        {"windows-1252", "\x80 5"},      {"windows-1258", "\xFE"},
        {"GB2312", "\xD6\xD0\xCE\xC4"},  {"GBK", "\xD4O\x82\xE4"},
        {"GB18030", "\x81\x30\x81\x30"}, {"Big5", "\xB3]\xB3\xC6"},
        {"Shift_JIS", "\x93\xFA\x96{"},  {"SJIS", "\x8B@\x8A\xED"},
        {"EUC-JP", "\xC6\xFC\xCB\xDC"},  {"EUC-KR", "\xC7\xD1\xB1\xB9"},
        {"KOI8-R", "\xF6\xD5\xCB"},      {"X-NO-SUCH-ENCODING", "plain"},
    };
    for (const auto &[encoding, text] : documents) {
        const std::string document = declaring(encoding, "<DVR_CFG><K>" + text + "</K></DVR_CFG>");
        EXPECT_TRUE(opens(document)) << encoding;
    }
}

// 2. Documents that are not well-formed.

// Refused at open: libexpat says none is well-formed.  Not one whole
// document:
const std::string kRefused[] = {
    "",
    "  \n",
    "<DVR_CFG>\n  <NET>\n    <IP>1.2",
    "<DVR_CFG>\n  <NET>\n",
    "NET.IP=1.2.3.4\n",
    "<!-- no root -->\n",
    "<DVR_CFG/><DVR_CFG/>",
    "<DVR_CFG/>\ntrailing",
    "junk<DVR_CFG/>",
    "<DVR_CFG><A></B></DVR_CFG>",
    "<DVR_CFG a=1/>",
    std::string("<DVR_CFG/>\0", 11),
    // Each of these opened once: the parser passes over them.
    "<!-- saved by the vendor tool --><?xml version=\"1.0\"?><DVR_CFG/>",
    "\n<?xml version=\"1.0\"?><DVR_CFG/>",
    " <?xml version=\"1.0\"?><DVR_CFG/>",
    "<?pi x?><?xml version=\"1.0\"?><DVR_CFG/>",
    "\xEF\xBB\xBF\n<?xml version=\"1.0\"?><DVR_CFG/>",
    "<DVR_CFG/><?xml version=\"1.0\"?>",
    "<?xml version=\"1.0\"?><DVR_CFG>\xFF</DVR_CFG>",
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?><DVR_CFG>Caf\xE9</DVR_CFG>",
    "<DVR_CFG>\xC3(</DVR_CFG>",
    "<DVR_CFG>\xED\xA0\x80</DVR_CFG>",
    "<DVR_CFG>\xC0\xAF</DVR_CFG>",
    "<?xml version=\"1.0\" encoding=\"Shift_JIS\"?><DVR_CFG>\x81\x20</DVR_CFG>",
    "<?xml version=\"1.0\" encoding=\"windows-1252\"?><DVR_CFG>\x81</DVR_CFG>",
    "<!DOCTYPE DVR_CFG><!DOCTYPE DVR_CFG><DVR_CFG/>",
    "<DVR_CFG/><!DOCTYPE DVR_CFG>",
};

TEST(NotWellFormed, IsRefusedAtOpen) {
    for (const std::string &document : kRefused) {
        expect_not_xml(document);
        EXPECT_FALSE(opens(document)) << testing::PrintToString(document);
    }
}

// What the store takes beyond XML, as the README names it: faults its parser
// does not see, which a save keeps as they are and never adds to (it writes
// escaped text and names it has checked).  A file a device holds with one of
// them stays usable.
const std::string kTakenBeyondXml[] = {
    "<DVR_CFG><K a=\"1\" a=\"2\">x</K></DVR_CFG>",
    "<DVR_CFG><K>&vendor;</K></DVR_CFG>",
    "<DVR_CFG><K>&#0;</K></DVR_CFG>",
    "<DVR_CFG><K>a & b</K></DVR_CFG>",
    "<DVR_CFG><K>]]></K></DVR_CFG>",
    "<DVR_CFG><K a=\"<\">x</K></DVR_CFG>",
    "<DVR_CFG><!-- a -- b --><K>x</K></DVR_CFG>",
    "<?xml encoding=\"UTF-8\"?><DVR_CFG><K>x</K></DVR_CFG>",
    "<DVR_CFG><K\xC2\xA0>x</K\xC2\xA0></DVR_CFG>",
    "<DVR_CFG><K>\x01</K></DVR_CFG>",
    "<DVR_CFG><K>\x1B[0m</K></DVR_CFG>",
};

TEST(NotWellFormed, WhatTheStoreTakesBeyondXmlOpensAndSavesAsItWas) {
    for (const std::string &document : kTakenBeyondXml) {
        expect_not_xml(document);
        const std::string saved = apply(document, {{"DVR_CFG.NEW", "v"}});
        const size_t root_end = document.rfind("</DVR_CFG>");
        EXPECT_EQ(saved, document.substr(0, root_end) + "<NEW>v</NEW>" + document.substr(root_end))
            << testing::PrintToString(document);
    }
}

// 3. Names whose bytes in the file's encoding hold ASCII.

// Shift_JIS and Big5 spell some characters with a second byte below 0x80:
// a letter there is read as part of the name, '\\', '|' or '[' end it, and
// a file holding such a new element would not open again.
TEST(NewNamesInTheFileEncoding, AreRefusedWhenABytePastTheFirstEndsTheName) {
    const struct {
        const char *encoding;
        const char *name_utf8;
        bool taken;
    } names[] = {
        {"Shift_JIS", "\xE8\xA1\xA8", false},  // U+8868: 0x95 '\\'
        {"Shift_JIS", "\xE3\x83\xBC", false},  // U+30FC: 0x81 '['
        {"Big5", "\xE5\x8A\x9F", false},       // U+529F: 0xA5 '\\'
        {"Shift_JIS", "\xE3\x82\xA2", true},   // U+30A2: 0x83 'A'
        {"Big5", "\xE5\x90\x8D", true},        // U+540D: 0xA6 'W'
    };
    for (const auto &n : names) {
        const std::string document = declaring(n.encoding, kBody);
        StoreFile store(document);
        ASSERT_GT(store.handle, 0) << n.encoding;
        const std::string entry = std::string("DVR_CFG.") + n.name_utf8;
        EXPECT_EQ(store.write(entry, "v") == 0, n.taken) << n.encoding << " " << entry;
        EXPECT_EQ(store.save(), 0);
        EXPECT_GT(store.reopen(), 0)
            << n.encoding << " " << entry << ": the saved file does not open";
        if (!n.taken) {
            EXPECT_EQ(store.bytes(), document);
        }
    }
}

}  // namespace
