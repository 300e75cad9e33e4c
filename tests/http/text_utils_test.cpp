// Text utilities and the frame-size table.
#include <gtest/gtest.h>

#include <climits>

#include "http/text_utils.h"

using namespace vostrel::Utils;

namespace {
std::pair<uint16_t, uint16_t> Size(unsigned w, unsigned h) {
    return {static_cast<uint16_t>(w), static_cast<uint16_t>(h)};
}
}  // namespace

TEST(TextUtils, FormatString) {
    EXPECT_EQ(FormatString("%s: %d", "a", 5), "a: 5");
    EXPECT_EQ(FormatString("%s", ""), "");
    std::string big(100000, 'x');
    EXPECT_EQ(FormatString("<%s>", big.c_str()), "<" + big + ">");  // no length limit
    EXPECT_EQ(FormatString("100%%"), "100%");
}

TEST(TextUtils, ToLowerTrimEraseChars) {
    EXPECT_EQ(ToLower("QuadVGA 123 <BODY>"), "quadvga 123 <body>");
    EXPECT_EQ(Trim(" \t a b \t "), "a b");
    EXPECT_EQ(Trim(" \t "), "");
    EXPECT_EQ(Trim("\r\nx\r\n"), "\r\nx\r\n");  // only blanks and tabs
    EXPECT_EQ(EraseChars("a-b_c-d", "-_"), "abcd");
    EXPECT_EQ(EraseChars("abc", ""), "abc");
}

TEST(TextUtils, ParseInt) {
    int v = 99;
    EXPECT_FALSE(ParseInt("", v));
    EXPECT_FALSE(ParseInt("+", v));
    EXPECT_FALSE(ParseInt("-", v));
    EXPECT_FALSE(ParseInt("1a", v));
    EXPECT_FALSE(ParseInt("+-1", v));
    EXPECT_FALSE(ParseInt(" 1", v));
    EXPECT_FALSE(ParseInt("1 ", v));
    EXPECT_FALSE(ParseInt("2147483648", v));
    EXPECT_EQ(v, 99);
    EXPECT_TRUE(ParseInt("+12", v));
    EXPECT_EQ(v, 12);
    EXPECT_TRUE(ParseInt("-7", v));
    EXPECT_EQ(v, -7);
    EXPECT_TRUE(ParseInt("007", v));
    EXPECT_EQ(v, 7);
    EXPECT_TRUE(ParseInt("2147483647", v));
    EXPECT_EQ(v, INT_MAX);
    EXPECT_TRUE(ParseInt("-2147483648", v));
    EXPECT_EQ(v, INT_MIN);
}

TEST(TextUtils, FrameIntervalMs) {
    EXPECT_EQ(FrameIntervalMs(0), 1u);
    EXPECT_EQ(FrameIntervalMs(3), 333u);
    EXPECT_EQ(FrameIntervalMs(40), 25u);
    EXPECT_EQ(FrameIntervalMs(30), 33u);
    EXPECT_EQ(FrameIntervalMs(1), 1000u);
    EXPECT_EQ(FrameIntervalMs(400), 3u);  // 2.5 rounds up
    EXPECT_EQ(FrameIntervalMs(3000), 0u);
}

TEST(TextUtils, FrameSizes) {
    EXPECT_EQ(FrameSizeFromName("QVGA"), Size(320, 240));
    EXPECT_EQ(FrameSizeFromName("vga"), Size(640, 480));
    EXPECT_EQ(FrameSizeFromName("QuadVGA"), Size(1280, 960));
    EXPECT_EQ(FrameSizeFromName(""), Size(0, 0));
    EXPECT_EQ(FrameSizeFromName("svga"), Size(0, 0));
    EXPECT_EQ(FrameSizeName(640, 480), "vga");
    EXPECT_EQ(FrameSizeName(320, 240), "qvga");
    EXPECT_EQ(FrameSizeName(1280, 960), "quadvga");
    EXPECT_EQ(FrameSizeName(800, 600), "");
    EXPECT_EQ(FrameSizeName(480, 640), "");
}
