// The tool's own formatter must give every message exactly as printf would.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <string>

#include "messages.h"
#include "print.h"

namespace {

template <typename... Args>
std::string printed(const char *format, Args... args) {
    testing::internal::CaptureStdout();
    print(format, args...);
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

template <typename... Args>
std::string printf_gives(const char *format, Args... args) {
    char text[1024];
    snprintf(text, sizeof text, format, args...);
    return text;
}

TEST(Print, EveryMessageAsPrintfWritesIt) {
    const std::string long_text(255, 'x');
    for (const char *text : {"", "0", "a b  c", "100%", "%s%d", long_text.c_str()}) {
        for (const char *format : {MSG_UPDATE_NOT_REGULAR, MSG_OPEN_FAILED, MSG_SAVE_FAILED,
                                   MSG_KEEP_UPDATE, MSG_ENTRY_TOO_LONG, MSG_WRITE_FAILED})
            EXPECT_EQ(printed(format, text), printf_gives(format, text)) << format;
        for (const int number : {0, 7, 63, -1, INT_MAX, INT_MIN}) {
            EXPECT_EQ(printed(MSG_VALUE, text, number), printf_gives(MSG_VALUE, text, number));
            EXPECT_EQ(printed(MSG_SET_VALUE, text, number),
                      printf_gives(MSG_SET_VALUE, text, number));
        }
    }
}

TEST(Print, APercentSignWithoutAConversionIsText) {
    EXPECT_EQ(printed("100%"), "100%");
    EXPECT_EQ(printed("50% off, %s", "now"), "50% off, now");
}

}  // namespace
