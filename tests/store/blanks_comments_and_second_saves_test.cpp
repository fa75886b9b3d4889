// Blanks the parser drops beside a comment, an ampersand inside a comment, a
// second save of what the file already holds, and a reference in a
// declaration without an encoding.  Each judged by libexpat reading the
// saved file, or by the file's inode and change time.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "expat_view.h"
#include "store_case.h"

using namespace testing_support;

namespace {

// Blank text beside a comment is text of the element for XML, though the
// parser keeps a blank text only as an element's sole child: the value is
// compared with all of it.
struct BlanksBesideComment {
    const char *document;
    const char *value;  // what the element holds without its blanks
};
const BlanksBesideComment kBlanksBesideComment[] = {
    {"<DVR_CFG><K>a<!--c--> </K></DVR_CFG>", "a"},
    {"<DVR_CFG><K> <!--c-->a</K></DVR_CFG>", "a"},
    {"<DVR_CFG><K> <!--c--> </K></DVR_CFG>", ""},
    {"<DVR_CFG><K><![CDATA[a]]> </K></DVR_CFG>", "a"},
    {"<DVR_CFG><K>a<?p x?> </K></DVR_CFG>", "a"},
};

}  // namespace

// The value without the blanks is a change: written, the blanks go.
TEST(BlanksCommentsAndSecondSaves, ValueWithoutTheBlanksBesideACommentIsWritten) {
    for (const auto &[document, value] : kBlanksBesideComment) {
        StoreFile store(document);
        ASSERT_GT(store.handle, 0) << document;
        EXPECT_EQ(store.write("DVR_CFG.K", value), 0);
        EXPECT_EQ(store.save(), 0);
        EXPECT_EQ(expat_text(store.bytes(), "DVR_CFG.K"), value) << document;
    }
}

// Nor is it a write back to the parsed text after another value: it is
// written, not forgotten.
TEST(BlanksCommentsAndSecondSaves, ValueWithoutTheBlanksAfterAnotherValueIsWritten) {
    for (const auto &[document, value] : kBlanksBesideComment) {
        StoreFile store(document);
        ASSERT_GT(store.handle, 0) << document;
        EXPECT_EQ(store.write("DVR_CFG.K", "w"), 0);
        EXPECT_EQ(store.write("DVR_CFG.K", value), 0);
        EXPECT_EQ(store.save(), 0);
        EXPECT_EQ(expat_text(store.bytes(), "DVR_CFG.K"), value) << document;
    }
}

// After a save the file holds what the handle last saved, not the bytes it
// opened: a write and a write back to that value change nothing, and the
// save leaves the file alone (no write, no fsync).
TEST(BlanksCommentsAndSecondSaves, WriteBackToTheSavedValueLeavesTheFileAlone) {
    StoreFile store("<DVR_CFG><K>v</K><L>1</L></DVR_CFG>");
    ASSERT_GT(store.handle, 0);
    EXPECT_EQ(store.write("DVR_CFG.K", "w"), 0);
    EXPECT_EQ(store.save(), 0);
    const std::string saved = store.bytes();
    const struct stat before = store.status();
    EXPECT_EQ(store.write("DVR_CFG.K", "v"), 0);
    EXPECT_EQ(store.write("DVR_CFG.K", "w"), 0);
    EXPECT_EQ(store.save(), 0);
    EXPECT_TRUE(store.untouched_since(before)) << "the element's own value";
    EXPECT_EQ(store.write("DVR_CFG.L", "2"), 0);
    EXPECT_EQ(store.write("DVR_CFG.L", "1"), 0);
    EXPECT_EQ(store.save(), 0);
    EXPECT_TRUE(store.untouched_since(before)) << "another element's value";
    EXPECT_EQ(store.bytes(), saved);
}

// The same for a new element the last save added.
TEST(BlanksCommentsAndSecondSaves, WriteBackToASavedNewElementLeavesTheFileAlone) {
    StoreFile store("<DVR_CFG>\n  <K>v</K>\n</DVR_CFG>\n");
    ASSERT_GT(store.handle, 0);
    EXPECT_EQ(store.write("DVR_CFG.N", "1"), 0);
    EXPECT_EQ(store.save(), 0);
    const struct stat before = store.status();
    EXPECT_EQ(store.write("DVR_CFG.N", "2"), 0);
    EXPECT_EQ(store.write("DVR_CFG.N", "1"), 0);
    EXPECT_EQ(store.save(), 0);
    EXPECT_TRUE(store.untouched_since(before));
    EXPECT_EQ(store.bytes(), "<DVR_CFG>\n  <K>v</K>\n  <N>1</N>\n</DVR_CFG>\n");
}

// An '&' in a comment inside the element is no reference to an entity the
// DOCTYPE declares: the value the element holds is not written again, and
// the comment stays.
TEST(BlanksCommentsAndSecondSaves, SameValueBesideAnAmpersandInACommentChangesNothing) {
    const std::pair<std::string, std::string> cases[] = {
        {"<DVR_CFG><K>x&amp;y<!-- a&b --></K></DVR_CFG>", "x&y"},
        {"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><DVR_CFG><K>caf\xE9<!-- a&b "
         "--></K></DVR_CFG>",
         "caf\xC3\xA9"},
        {"<?xml version=\"1.0\" encoding=\"Shift_JIS\"?><DVR_CFG><K>C:\\d<!-- a&b "
         "--></K></DVR_CFG>",
         "C:\xC2\xA5"
         "d"},
    };
    for (const auto &[document, value] : cases) {
        StoreFile store(document);
        ASSERT_GT(store.handle, 0) << document;
        ASSERT_EQ(expat_text(document, "DVR_CFG.K"), value) << document;
        const struct stat before = store.status();
        EXPECT_EQ(store.write("DVR_CFG.K", value), 0);
        EXPECT_EQ(store.save(), 0);
        EXPECT_TRUE(store.untouched_since(before)) << document;
        EXPECT_EQ(store.bytes(), document);
        // Written back after another value, the element is not spliced as parsed.
        EXPECT_EQ(store.write("DVR_CFG.K", "w"), 0);
        EXPECT_EQ(store.write("DVR_CFG.K", value), 0);
        EXPECT_EQ(store.save(), 0);
        EXPECT_EQ(store.bytes(), document);
    }
}

// XML allows no reference in any value of the declaration (libexpat refuses
// these files), whether or not it names an encoding.
TEST(BlanksCommentsAndSecondSaves, ReferenceInADeclarationWithoutEncodingIsRefused) {
    for (const char *document : {"<?xml version=\"1&#46;0\"?>\n<DVR_CFG><K>x</K></DVR_CFG>\n",
                                 "<?xml version=\"1.0\" standalone=\"&#121;es\"?>\n<DVR_CFG/>\n"}) {
        ASSERT_FALSE(parse_with_expat(document).well_formed) << document;
        EXPECT_FALSE(opens(document)) << document;
    }
}
