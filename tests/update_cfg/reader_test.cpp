// The update file format: which lines are entries, and what each entry is.
#include <string>
#include <vector>

#include "tool_fixture.h"

namespace {

using Writes = std::vector<std::string>;

class Reader : public ToolTest {};

TEST_F(Reader, SplitsAtTheFirstDotAndTheFirstEquals) {
    run_pass(
        "a.b=c\na.b.c=d\na.b=c=d\na.b=1.5\n.b=c\na.=c\na.b=\n"
        " s . k = v \n");
    EXPECT_EQ(writes(), (Writes{"[c] 2 DVR_CFG.a.b", "[d] 2 DVR_CFG.a.b.c", "[c=d] 4 DVR_CFG.a.b",
                                "[1.5] 4 DVR_CFG.a.b", "[c] 2 DVR_CFG..b", "[c] 2 DVR_CFG.a.",
                                "[] 1 DVR_CFG.a.b", "[ v ] 4 DVR_CFG. s . k "}));
}

TEST_F(Reader, SkipsCommentsAndMalformedLinesSilently) {
    const std::string out = run_pass("a.b=c #x\n#a.b=c\nab=c\na.bc\n\n   \nk=v.w\n=.\nx.y=z\n");
    EXPECT_EQ(writes(), (Writes{"[z] 2 DVR_CFG.x.y"}));
    EXPECT_EQ(out, "value  = [z] len = 1\nSetValueToConfig value = z, len = 1\n");
}

TEST_F(Reader, ALineHoldingANulByteIsSkipped) {
    run_pass(std::string("a.b=c\0#x\nd.e=f\ng.h=i\0", 21));
    EXPECT_EQ(writes(), (Writes{"[f] 2 DVR_CFG.d.e"}));
}

TEST_F(Reader, AByteOrderMarkAtTheStartIsNotPartOfTheFirstLine) {
    run_pass("\xEF\xBB\xBFNET.IP=1\n\xEF\xBB\xBFNET.MASK=2\n");
    EXPECT_EQ(writes(), (Writes{"[1] 2 DVR_CFG.NET.IP", "[2] 2 DVR_CFG.\xEF\xBB\xBFNET.MASK"}));
    store().reset();
    run_pass("\xEF\xBBNET.IP=1\n");  // not a whole mark: the line as it is
    EXPECT_EQ(writes(), (Writes{"[1] 2 DVR_CFG.\xEF\xBBNET.IP"}));
    store().reset();
    run_pass(
        "\xEF"
        "a.b=c\n");
    EXPECT_EQ(writes(), (Writes{"[c] 2 DVR_CFG.\xEF"
                                "a.b"}));
    store().reset();
    run_pass("\xEF\xBB\xBF");
    EXPECT_TRUE(writes().empty());
}

TEST_F(Reader, LineEnds) {
    run_pass("a.lf=1\na.crlf=2\r\na.crcrlf=3\r\r\na.last=4\r");
    EXPECT_EQ(writes(), (Writes{"[1] 2 DVR_CFG.a.lf", "[2] 2 DVR_CFG.a.crlf",
                                "[3\r] 3 DVR_CFG.a.crcrlf", "[4] 2 DVR_CFG.a.last"}));
    store().reset();
    run_pass("a.last=no line end");
    EXPECT_EQ(writes(), (Writes{"[no line end] 12 DVR_CFG.a.last"}));
}

TEST_F(Reader, SectionKeyAndValueUpTo63Characters) {
    const std::string s63(63, 's'), k63(63, 'k'), v63(63, 'v');
    const std::string out = run_pass(s63 + "." + k63 + "=" + v63 + "\n");
    EXPECT_EQ(writes(), (Writes{"[" + v63 + "] 64 DVR_CFG." + s63 + "." + k63}));
    EXPECT_EQ(out,
              "value  = [" + v63 + "] len = 63\nSetValueToConfig value = " + v63 + ", len = 63\n");
}

TEST_F(Reader, LongerPartsSkipTheirLineOnlyAndSayWhy) {
    const std::string s64(64, 's'), k64(64, 'k'), v64(64, 'v');
    const std::string out =
        run_pass(s64 + ".k=v\r\n" + "s." + k64 + "=v\n" + "s.k=" + v64 + "\n" + "s.after=1\n");
    EXPECT_EQ(writes(), (Writes{"[1] 2 DVR_CFG.s.after"}));
    EXPECT_EQ(out, "entry too long, skipped: [" + s64 + ".k=v]\n" + "entry too long, skipped: [s." +
                       k64 + "=v]\n" + "entry too long, skipped: [s.k=" + v64 + "]\n" +
                       "value  = [1] len = 1\nSetValueToConfig value = 1, len = 1\n");
}

TEST_F(Reader, APhysicalLineOver255CharactersIsSkippedWhole) {
    // Its second 255-byte piece would read as "x.y=z" on its own.
    const std::string head(255, '#');
    const std::string out = run_pass(head + "x.y=z\n" + "a.b=c\n");
    EXPECT_EQ(writes(), (Writes{"[c] 2 DVR_CFG.a.b"}));
    EXPECT_EQ(out, "entry too long, skipped: [" + head + "]\n" +
                       "value  = [c] len = 1\nSetValueToConfig value = c, len = 1\n");
}

TEST_F(Reader, ALineOfExactly255CharactersIsALine) {
    const std::string key(63, 'k'), padding(255 - 2 - 63 - 1 - 3, ' ');
    const std::string line = "s." + key + "=" + padding + "end";  // value too long: 191 chars
    ASSERT_EQ(line.size(), 255u);
    std::string out = run_pass(line + "\na.b=c\n");
    EXPECT_EQ(writes(), (Writes{"[c] 2 DVR_CFG.a.b"}));
    EXPECT_EQ(out.rfind("entry too long, skipped: [" + line + "]\n", 0), 0u) << out;
    // Neither a line of 255 characters that is no entry nor one of 254 and
    // its line end is too long, and neither takes the next line with it.
    for (const std::string &first : {"#" + std::string(254, ' '), std::string(254, '#')}) {
        store().reset();
        out = run_pass(first + "\na.b=c");
        EXPECT_EQ(writes(), (Writes{"[c] 2 DVR_CFG.a.b"})) << first.size();
        EXPECT_EQ(out, "value  = [c] len = 1\nSetValueToConfig value = c, len = 1\n")
            << first.size();
    }
    store().reset();
    run_pass("a.b=c\n" + std::string(255, '#'));
    EXPECT_EQ(writes(), (Writes{"[c] 2 DVR_CFG.a.b"}));
}

TEST_F(Reader, ABlankLineOfManyPiecesIsOneLine) {
    run_pass(std::string(600, ' ') + "\n" + "a.b=c\n");
    EXPECT_EQ(writes(), (Writes{"[c] 2 DVR_CFG.a.b"}));
}

}  // namespace
