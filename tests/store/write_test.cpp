// What an entry path names, what a write creates, and what it refuses.
#include <gtest/gtest.h>

#include <string>

#include "store_case.h"

using namespace testing_support;

namespace {

const std::string kConfig =
    "<?xml version=\"1.0\"?>\n"
    "<DVR_CFG>\n"
    "\t<NET>\n"
    "\t\t<IP>1.2.3.4</IP>\n"
    "\t\t<PORT>\n"
    "\t\t\t<HTTP>80</HTTP>\n"
    "\t\t</PORT>\n"
    "\t\t<!-- last of NET -->\n"
    "\t</NET>\n"
    "\t<NET>\n"
    "\t\t<IP>second NET, never reached</IP>\n"
    "\t</NET>\n"
    "\t<EMPTY/>\n"
    "</DVR_CFG>\n";

TEST(EntryPath, NamesTheFirstChildOfEachNameAndDescendsAsDeepAsItGoes) {
    const std::string after =
        apply(kConfig, {{"DVR_CFG.NET.IP", "9.9.9.9"}, {"DVR_CFG.NET.PORT.HTTP", "8080"}});
    EXPECT_NE(after.find("<IP>9.9.9.9</IP>"), std::string::npos);
    EXPECT_NE(after.find("<IP>second NET, never reached</IP>"), std::string::npos);
    EXPECT_NE(after.find("<HTTP>8080</HTTP>"), std::string::npos);
}

TEST(EntryPath, TheFirstOfItsNameAmongManySiblings) {
    const std::string doc = crowded(40, 30);
    EXPECT_EQ(apply(doc, {{"DVR_CFG.S.K25", "x"}, {"DVR_CFG.S.K3", "y"}}),
              replaced(replaced(doc, "<K25>25<", "<K25>x<"), "<K3>3<", "<K3>y<"));
    EXPECT_EQ(apply(doc, {{"DVR_CFG.S.K99", "z"}}), replaced(doc, "</S>", "<K99>z</K99></S>"));
}

TEST(EntryPath, KeepsTheWrittenElementsAttributes) {
    EXPECT_EQ(apply("<DVR_CFG><K a=\"1\" b='2'>x</K></DVR_CFG>", {{"DVR_CFG.K", "y"}}),
              "<DVR_CFG><K a=\"1\" b='2'>y</K></DVR_CFG>");
}

TEST(Creation, NewKeyFollowsTheLastChildLaidOutLikeIt) {
    EXPECT_EQ(apply(kConfig, {{"DVR_CFG.NET.MASK", "255.0.0.0"}}),
              "<?xml version=\"1.0\"?>\n<DVR_CFG>\n\t<NET>\n\t\t<IP>1.2.3.4</IP>\n\t\t<PORT>\n"
              "\t\t\t<HTTP>80</HTTP>\n\t\t</PORT>\n\t\t<!-- last of NET -->\n"
              "\t\t<MASK>255.0.0.0</MASK>\n\t</NET>\n\t<NET>\n"
              "\t\t<IP>second NET, never reached</IP>\n\t</NET>\n\t<EMPTY/>\n</DVR_CFG>\n");
}

TEST(Creation, NewSectionsNestOneIndentationStepPerLevel) {
    const std::string doc = "<DVR_CFG>\r\n    <A>1</A>\r\n</DVR_CFG>\r\n";
    EXPECT_EQ(apply(doc, {{"DVR_CFG.NEW.SUB.KEY", "v"},
                          {"DVR_CFG.NEW.SUB.OTHER", "w"},
                          {"DVR_CFG.NEW.SUB.KEY", "v2"}}),
              "<DVR_CFG>\r\n    <A>1</A>\r\n    <NEW>\r\n        <SUB>\r\n"
              "            <KEY>v2</KEY>\r\n            <OTHER>w</OTHER>\r\n        </SUB>\r\n"
              "    </NEW>\r\n</DVR_CFG>\r\n");
}

TEST(Creation, AfterTextHoldingMarkupCharacters) {
    EXPECT_EQ(
        apply("<DVR_CFG>\n  <S>\n    <K>a > b</K>\n  </S>\n</DVR_CFG>\n", {{"DVR_CFG.S.N", "1"}}),
        "<DVR_CFG>\n  <S>\n    <K>a > b</K>\n    <N>1</N>\n  </S>\n</DVR_CFG>\n");
}

TEST(Creation, FirstChildOfAnEmptyElement) {
    EXPECT_EQ(apply("<DVR_CFG>\n  <S/>\n  <T></T>\n</DVR_CFG>\n",
                    {{"DVR_CFG.S.K", "1"}, {"DVR_CFG.T.K", "2"}}),
              "<DVR_CFG>\n  <S>\n    <K>1</K>\n  </S>\n  <T>\n    <K>2</K>\n  </T>\n"
              "</DVR_CFG>\n");
    // Tabs indent as blanks do; the file's first indented line sets the step.
    EXPECT_EQ(apply("<DVR_CFG>\n\t<S/>\n  <T/>\n</DVR_CFG>\n", {{"DVR_CFG.S.K", "1"}}),
              "<DVR_CFG>\n\t<S>\n\t\t<K>1</K>\n\t</S>\n  <T/>\n</DVR_CFG>\n");
}

TEST(Creation, OnOneLineWhereTheDocumentIsOnOneLine) {
    EXPECT_EQ(
        apply("<DVR_CFG><S><A>1</A></S></DVR_CFG>", {{"DVR_CFG.S.B", "2"}, {"DVR_CFG.T.C", "3"}}),
        "<DVR_CFG><S><A>1</A><B>2</B></S><T><C>3</C></T></DVR_CFG>");
    EXPECT_EQ(apply("<DVR_CFG><S><A>1</A> <B>2</B></S></DVR_CFG>", {{"DVR_CFG.S.C", "3"}}),
              "<DVR_CFG><S><A>1</A> <B>2</B> <C>3</C></S></DVR_CFG>")
        << "the blank between the children separates the new one too";
}

TEST(Creation, NewElementsUnderNewElementsAreFoundAgain) {
    const std::string after = apply(kConfig, {{"DVR_CFG.X.Y", "1"}, {"DVR_CFG.X.Z", "2"}});
    EXPECT_NE(after.find("\t<X>\n\t\t<Y>1</Y>\n\t\t<Z>2</Z>\n\t</X>\n</DVR_CFG>"),
              std::string::npos)
        << after;
}

TEST_XML(Writes, TheValueAnElementAlreadyHasLeavesTheFileUntouched, kConfig) {
    ASSERT_EQ(store.write("DVR_CFG.NET.IP", "1.2.3.4"), 0);
    ASSERT_EQ(store.write("DVR_CFG.NET.PORT.HTTP", "80"), 0);
    ASSERT_EQ(store.save(), 0);
    EXPECT_EQ(store.bytes(), kConfig);
}

struct Refusal {
    const char *name;
    std::string entry;
    std::string value;
    int len_delta;  // added to strlen(value) + 1
};

void PrintTo(const Refusal &r, std::ostream *os) {
    *os << r.name;
}

class Refused : public testing::TestWithParam<Refusal> {};

TEST_P(Refused, ReturnsNonZeroAndChangesNothing) {
    const Refusal &r = GetParam();
    StoreFile store(kConfig);
    std::string value = r.value;
    EXPECT_NE(
        xml_file_write(store.handle, value.data(), static_cast<int>(value.size()) + 1 + r.len_delta,
                       r.entry.c_str(), 0, 0),
        0);
    ASSERT_EQ(store.save(), 0);
    EXPECT_EQ(store.close(), 0);
    EXPECT_EQ(store.bytes(), kConfig);
}

INSTANTIATE_TEST_SUITE_P(
    Store, Refused,
    testing::Values(Refusal{"len_without_terminator", "DVR_CFG.NET.IP", "1.1.1.1", -1},
                    Refusal{"len_past_terminator", "DVR_CFG.NET.IP", "1.1.1.1", 1},
                    Refusal{"len_zero", "DVR_CFG.NET.IP", "", -1},
                    Refusal{"len_negative", "DVR_CFG.NET.IP", "", -5},
                    Refusal{"empty_path", "", "1", 0},
                    Refusal{"empty_middle_component", "DVR_CFG..IP", "1", 0},
                    Refusal{"empty_last_component", "DVR_CFG.NET.", "1", 0},
                    Refusal{"empty_first_component", ".NET.IP", "1", 0},
                    Refusal{"name_starts_with_digit", "DVR_CFG.NET.1IP", "1", 0},
                    Refusal{"name_with_blank", "DVR_CFG.NET.I P", "1", 0},
                    Refusal{"name_with_markup", "DVR_CFG.NET.IP>", "1", 0},
                    Refusal{"name_not_utf8", "DVR_CFG.NET.\xFF", "1", 0},
                    Refusal{"other_root", "CFG.NET.IP", "1", 0},
                    Refusal{"element_with_children", "DVR_CFG.NET", "1", 0},
                    Refusal{"element_with_grandchildren", "DVR_CFG.NET.PORT", "1", 0},
                    Refusal{"new_element_inside_a_value", "DVR_CFG.NET.IP.X", "1", 0},
                    Refusal{"invalid_utf8", "DVR_CFG.NET.IP", "a\xFF", 0},
                    Refusal{"truncated_utf8", "DVR_CFG.NET.IP", "a\xC3", 0},
                    Refusal{"overlong_utf8", "DVR_CFG.NET.IP", "\xC0\xAF", 0},
                    Refusal{"utf16_surrogate", "DVR_CFG.NET.IP", "\xED\xA0\x80", 0},
                    Refusal{"last_utf16_surrogate", "DVR_CFG.NET.IP", "\xED\xBF\xBF", 0},
                    Refusal{"noncharacter", "DVR_CFG.NET.IP", "\xEF\xBF\xBF", 0},
                    Refusal{"control_character", "DVR_CFG.NET.IP", "a\x01", 0},
                    Refusal{"line_feed", "DVR_CFG.NET.IP", "a\nb", 0},
                    Refusal{"carriage_return", "DVR_CFG.NET.IP", "a\rb", 0},
                    Refusal{"delete", "DVR_CFG.NET.IP", "a\x7F", 0},
                    Refusal{"c1_control", "DVR_CFG.NET.IP", "a\xC2\x85", 0}),
    [](const testing::TestParamInfo<Refusal> &info) { return std::string(info.param.name); });

TEST_XML(Refused, EarlierWritesCountLikeTheFileContent, "<DVR_CFG><S/><T/></DVR_CFG>") {
    EXPECT_EQ(store.write("DVR_CFG.S", "v"), 0);
    EXPECT_NE(store.write("DVR_CFG.S.A", "1"), 0) << "S now holds a value";
    EXPECT_EQ(store.write("DVR_CFG.T.A", "1"), 0);
    EXPECT_NE(store.write("DVR_CFG.T", "v"), 0) << "T now holds an element";
    EXPECT_NE(store.write("DVR_CFG.T.A.B", "2"), 0) << "an added element holds a value";
    EXPECT_EQ(store.save(), 0);
    EXPECT_EQ(store.bytes(), "<DVR_CFG><S>v</S><T><A>1</A></T></DVR_CFG>");
}

TEST(Refused, ANewElementAmongManyChildrenAndText) {
    std::string children;
    for (int i = 0; i < 20; ++i) children += "<K" + std::to_string(i) + "/>";
    for (const std::string &doc : {"<DVR_CFG><S>" + children + "text</S></DVR_CFG>",
                                   "<DVR_CFG><S>text" + children + "</S></DVR_CFG>",
                                   "<DVR_CFG><S>" + children + "<![CDATA[x]]></S></DVR_CFG>"}) {
        StoreFile store(doc);
        ASSERT_GT(store.handle, 0);
        EXPECT_EQ(store.write("DVR_CFG.S.K7", "1"), 0) << "found through the index";
        EXPECT_NE(store.write("DVR_CFG.S.NEW", "1"), 0) << doc;
    }
}

TEST_XML(Refused, NullArgumentsAndUnknownHandles, kConfig) {
    const int handle = store.handle;
    char value[] = "1";
    EXPECT_NE(xml_file_write(handle, nullptr, 1, "DVR_CFG.NET.IP", 0, 0), 0);
    EXPECT_NE(xml_file_write(handle, value, 2, nullptr, 0, 0), 0);
    EXPECT_NE(xml_file_write(handle + 1000, value, 2, "DVR_CFG.NET.IP", 0, 0), 0);
    EXPECT_NE(xml_file_write(0, value, 2, "DVR_CFG.NET.IP", 0, 0), 0);
    EXPECT_NE(xml_file_write(-1, value, 2, "DVR_CFG.NET.IP", 0, 0), 0);
    EXPECT_NE(xml_file_save(handle + 1000), 0);
    EXPECT_NE(xml_file_close(handle + 1000), 0);
    EXPECT_EQ(store.close(), 0);
    EXPECT_NE(write_value(handle, "1", "DVR_CFG.NET.IP"), 0) << "a closed handle is unknown";
    EXPECT_NE(xml_file_save(handle), 0);
    EXPECT_NE(xml_file_close(handle), 0);
    EXPECT_EQ(xml_file_open(nullptr), 0);
}

TEST_XML(Refused, AValueWithoutTerminatorWithinLenIsNotReadPastLen, kConfig) {
    char value[3] = {'a', 'b', 'c'};  // no terminator at value[1]
    EXPECT_NE(xml_file_write(store.handle, value, 2, "DVR_CFG.NET.IP", 0, 0), 0);
}

// Among many children (found through an index), as among few: the first
// element of a name is the one written, also when others of that name follow
// and when elements were added since, on one level or two.
TEST(CrowdedElement, WritesReachTheFirstChildOfEachName) {
    for (const int children : {3, 40, 3000}) {
        const std::string doc = crowded(children, children / 2 + 1);
        const std::string after = apply(doc, {{"DVR_CFG.S.K1", "x"},
                                              {"DVR_CFG.S.NEW", "n"},
                                              {"DVR_CFG.S.K0", "y"},
                                              {"DVR_CFG.S.NEW", "m"},
                                              {"DVR_CFG.S.K1", "z"},
                                              {"DVR_CFG.S.AUX.A", "1"},
                                              {"DVR_CFG.S.AUX.B", "2"}});
        const std::string expected =
            replaced(replaced(doc, "<K1>1<", "<K1>z<"), "<K0>0<", "<K0>y<");
        EXPECT_EQ(after, replaced(expected, "</S>", "<NEW>m</NEW><AUX><A>1</A><B>2</B></AUX></S>"))
            << children << " children";
    }
}

// The same answers whether a lookup scans the children or, after a few
// lookups in the same element, finds them through a table of their names:
// lookups in S before the one that matters, none (a scan) or enough that a
// table answers it.
const int kEarlierLookups[] = {0, 6};

Writes earlier_lookups(int count) {
    Writes writes;
    for (int i = 0; i < count; ++i) writes.push_back({"DVR_CFG.S.K1", std::to_string(i)});
    return writes;
}

// A processing instruction has a name too; it is not the element of that name.
TEST(CrowdedElement, AProcessingInstructionOfTheNameIsPassedOver) {
    for (const int children : {3, 40})
        for (const int earlier : kEarlierLookups) {
            const std::string doc =
                crowded(children, children, "<?K2 not this?>", "<?K2 nor this?>");
            Writes writes = earlier_lookups(earlier);
            writes.push_back({"DVR_CFG.S.K2", "x"});
            std::string expected = replaced(doc, "<K2>2<", "<K2>x<");
            if (earlier) expected = replaced(expected, "<K1>1<", "<K1>5<");
            EXPECT_EQ(testing_support::apply(doc, writes), expected)
                << children << " children, " << earlier;
        }
}

// Text anywhere among the children refuses a new element, through a scan
// and through a table; blanks do not.
TEST(CrowdedElement, TextAmongTheChildrenRefusesANewElement) {
    const struct {
        const char *before, *between;
        bool refused;
    } cases[] = {
        {"text", "", true},
        {"", "text", true},
        {"", "<![CDATA[text]]>", true},
        {"", "<!-- note -->text", true},
        {"\n  ", "\n  ", false},
        {"", "<![CDATA[ ]]>", false},
    };
    for (const auto &c : cases)
        for (const int children : {3, 40})
            for (const int earlier : kEarlierLookups) {
                StoreFile store(crowded(children, children, c.before, c.between));
                ASSERT_GT(store.handle, 0);
                for (const auto &[entry, value] : earlier_lookups(earlier))
                    ASSERT_EQ(store.write(entry, value), 0);
                EXPECT_EQ(store.write("DVR_CFG.S.NEW", "n") != 0, c.refused)
                    << c.before << "|" << c.between << ", " << children << " children, " << earlier;
            }
}

}  // namespace
