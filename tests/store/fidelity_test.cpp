// A save copies every byte that was not written: the saved file differs from
// the original in the written text alone.
#include <gtest/gtest.h>

#include <string>

#include "store_case.h"

using testing_support::apply;
using testing_support::replaced;

namespace {

// A write of value to DVR_CFG.entry, after which the saved file is before
// with its first from replaced by to (by value when to is null).
struct Case {
    const char *name;
    std::string before;
    const char *entry, *value, *from, *to;
};

const std::string kTabs =
    "<?xml version=\"1.0\"?>\n<DVR_CFG>\n\t<NET>\n\t\t<IP>1.2.3.4</IP>\n\t\t<PORT>80</PORT>\n"
    "\t</NET>\n</DVR_CFG>\n";
const std::string kCrlfSpaces =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<DVR_CFG>\r\n  <NET>\r\n\r\n    "
    "<IP>1.2.3.4</IP>\r\n    <PORT>80</PORT>\r\n  </NET>\r\n</DVR_CFG>\r\n";
const std::string kComments =
    "<!-- before the root -->\n<?app-config keep=\"yes\"?>\n<DVR_CFG><!-- inside -->\n  <S>\n"
    "    <K>old</K> <!-- after K -->\n  </S>\n</DVR_CFG>\n<!-- after the root -->\n\n";
const std::string kAttributes =
    "<DVR_CFG a='single\tquoted' b=\"double\t\"  c = 'x'>\n  <S  id='1'\tkind=\"k\" >\n"
    "    <K unit='s' max=\"9\">5</K>\n  </S>\n</DVR_CFG>\n";
const std::string kReferences =
    "<DVR_CFG>\n  <S>\n    <A>&amp;&lt;&#65;&#x42;&quot;</A>\n    <K>x</K>\n  </S>\n"
    "</DVR_CFG>\n";
const std::string kCdata =
    "<DVR_CFG>\n  <S>\n    <C><![CDATA[<raw> & ]]></C>\n    <K>x</K>\n  </S>\n</DVR_CFG>\n";
const std::string kEmpty =
    "<DVR_CFG>\n  <S>\n    <A/>\n    <B />\n    <C></C>\n    <D/>\n  </S>\n</DVR_CFG>\n";
const std::string kDoctype =
    "<?xml version=\"1.0\"?>\n<!DOCTYPE DVR_CFG [\n  <!ENTITY vendor \"ACME\">\n  <!ELEMENT "
    "DVR_CFG ANY>\n]>\n<DVR_CFG>\n  <S>\n    <V>&vendor;</V>\n    <K>x</K>\n  </S>\n"
    "</DVR_CFG>\n";
// Quotes hide a '>' in an attribute from the end of its tag, single as double.
const std::string kQuotedMarkup =
    "<DVR_CFG>\n  <S x='>'>\n    <K y='a>b' z=\"c>d\">5</K>\n  </S>\n</DVR_CFG>\n";
// Blanks after a comment that ends an element's text.
const std::string kCommentEndsText =
    "<DVR_CFG>\n  <S>\n    <K>old<!--c-->  </K>\n    <L>x</L>\n  </S>\n</DVR_CFG>\n";
const std::string kBom = "\xEF\xBB\xBF<DVR_CFG>\n  <S>\n    <K>x</K>\n  </S>\n</DVR_CFG>\n";
const std::string kNoFinalNewline = "<DVR_CFG>\n  <S>\n    <K>x</K>\n  </S>\n</DVR_CFG>";

void PrintTo(const Case &c, std::ostream *os) {
    *os << c.name;
}

class Fidelity : public testing::TestWithParam<Case> {};

TEST_P(Fidelity, SavedFileDiffersInTheWrittenTextAlone) {
    const Case &c = GetParam();
    EXPECT_EQ(apply(c.before, {{std::string("DVR_CFG.") + c.entry, c.value}}),
              replaced(c.before, c.from, c.to ? c.to : c.value));
}

INSTANTIATE_TEST_SUITE_P(
    HandMadeConfigurations, Fidelity,
    testing::Values(
        Case{"tabs", kTabs, "NET.IP", "10.0.0.1", "1.2.3.4", nullptr},
        Case{"crlf_spaces_blank_line", kCrlfSpaces, "NET.PORT", "8080", ">80<", ">8080<"},
        Case{"comments_and_pi_around_root", kComments, "S.K", "new", ">old<", ">new<"},
        Case{"attribute_quoting_and_tabs", kAttributes, "S.K", "7", ">5<", ">7<"},
        Case{"character_references_elsewhere", kReferences, "S.K", "y", ">x<", ">y<"},
        Case{"references_in_the_written_element", kReferences, "S.A", "plain",
             "&amp;&lt;&#65;&#x42;&quot;", nullptr},
        Case{"cdata_elsewhere", kCdata, "S.K", "y", ">x<", ">y<"},
        Case{"cdata_in_the_written_element", kCdata, "S.C", "z", "<![CDATA[<raw> & ]]>", nullptr},
        Case{"self_closing", kEmpty, "S.A", "1", "<A/>", "<A>1</A>"},
        Case{"self_closing_with_blank", kEmpty, "S.B", "2", "<B />", "<B >2</B>"},
        Case{"empty_pair", kEmpty, "S.C", "3", "<C></C>", "<C>3</C>"},
        Case{"doctype_with_internal_subset", kDoctype, "S.K", "y", ">x<", ">y<"},
        Case{"markup_quoted_in_attributes", kQuotedMarkup, "S.K", "7", ">5<", ">7<"},
        Case{"comment_ending_the_written_text", kCommentEndsText, "S.K", "new", ">old<!--c-->  <",
             ">new<"},
        Case{"comment_ending_a_text_elsewhere", kCommentEndsText, "S.L", "y", ">x<", ">y<"},
        Case{"byte_order_mark", kBom, "S.K", "y", ">x<", ">y<"},
        Case{"no_final_newline", kNoFinalNewline, "S.K", "y", ">x<", ">y<"},
        Case{"value_is_escaped", kTabs, "NET.IP", "a<b>&\"c'", "1.2.3.4",
             "a&lt;b&gt;&amp;&quot;c&apos;"},
        Case{"utf8_and_tab_kept", kTabs, "NET.IP", "Caf\xC3\xA9\t\xE2\x82\xAC", "1.2.3.4",
             nullptr}),
    [](const testing::TestParamInfo<Case> &info) { return std::string(info.param.name); });

TEST(Fidelity, SeveralWritesTouchOnlyTheirOwnText) {
    std::string expected = replaced(kAttributes, ">5<", ">6<");
    EXPECT_EQ(apply(kTabs + "", {{"DVR_CFG.NET.PORT", "81"}, {"DVR_CFG.NET.IP", "1.1.1.1"}}),
              replaced(replaced(kTabs, ">80<", ">81<"), "1.2.3.4", "1.1.1.1"));
    EXPECT_EQ(apply(kAttributes, {{"DVR_CFG.S.K", "9"}, {"DVR_CFG.S.K", "6"}}), expected);
}

TEST(Fidelity, WritingBackTheOriginalValueRestoresTheOriginalBytes) {
    EXPECT_EQ(apply(kReferences, {{"DVR_CFG.S.K", "changed"}, {"DVR_CFG.S.K", "x"}}), kReferences);
    // A change undone after another change keeps that other change.
    EXPECT_EQ(apply(kTabs, {{"DVR_CFG.NET.IP", "10.0.0.1"},
                            {"DVR_CFG.NET.PORT", "81"},
                            {"DVR_CFG.NET.PORT", "80"}}),
              replaced(kTabs, "1.2.3.4", "10.0.0.1"));
}

}  // namespace
