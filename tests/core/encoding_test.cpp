#include "core/encoding.h"

#include <gtest/gtest.h>

namespace vel {
namespace {

using namespace std::literals;

TEST(Base64, EncodesBothAlphabets) {
    EXPECT_EQ(Base64StdEncode(BytesOf("foobar")), "Zm9vYmFy");
    EXPECT_EQ(Base64StdEncode(BytesOf("f")), "Zg==");
    EXPECT_EQ(Base64UrlEncode(BytesOf("f")), "Zg");
    EXPECT_EQ(Base64StdEncode({0xFB, 0xFF}), "+/8=");
    EXPECT_EQ(Base64UrlEncode({0xFB, 0xFF}), "-_8");
    EXPECT_EQ(Base64Encode({0xFB, 0xFF}, kBase64UrlAlphabet, true), "-_8=");
}

TEST(Base64, DecodesEitherAlphabetLenientlyAndRefusesBadText) {
    Bytes out;
    for (const char* text : {"-_8", "+/8=", " +_\r\n8\t=", "-_8=xyz"}) {
        ASSERT_TRUE(Base64Decode(text, out)) << text;
        EXPECT_EQ(out, (Bytes{0xFB, 0xFF})) << text;
    }
    // Leftover bits are not checked: "QR" carries a stray bit after 0x41.
    ASSERT_TRUE(Base64Decode("QR", out));
    EXPECT_EQ(out, Bytes{0x41});

    // Each failure must also discard what an earlier call left in the output; a NUL in the middle
    // is a bad character, not an end of text.
    for (const std::string_view text :
         {"Q"sv, "Zm9vY"sv, "Zm9v Y"sv, "Zm*v"sv, "QQ\x80"sv, "QQ\0Q"sv}) {
        out = {1, 2, 3};
        EXPECT_FALSE(Base64Decode(text, out)) << text;
        EXPECT_TRUE(out.empty()) << text;
    }
}

TEST(Hex, EncodesDecodesSkippingSeparatorsAndRefusesBadDigits) {
    EXPECT_EQ(HexEncode({0x00, 0x0A, 0xBC, 0xFF}), "000abcff");
    EXPECT_EQ(HexEncode({0x00, 0x0A, 0xBC, 0xFF}, true), "000ABCFF");
    Bytes out;
    ASSERT_TRUE(HexDecode("de:AD b\te\r\nef", out));
    EXPECT_EQ(out, (Bytes{0xDE, 0xAD, 0xBE, 0xEF}));
    for (const char* text : {"abc", "0g", "0x12", "12-34"}) {
        out = {9};
        EXPECT_FALSE(HexDecode(text, out)) << text;
        EXPECT_TRUE(out.empty()) << text;
    }
}

TEST(Utf8, InvalidBytesAreReplacedAndCutsFallOnCharacterBoundaries) {
    EXPECT_EQ(ValidUtf8("plain \xC3\xA9 \xF0\x9F\x94\x91"), "plain \xC3\xA9 \xF0\x9F\x94\x91");
    // A stray continuation byte, an overlong '/', a surrogate and a truncated sequence.
    EXPECT_EQ(ValidUtf8("a\x80"
                        "b\xC0\xAF"
                        "c\xED\xA0\x80"
                        "d\xE2\x82"),
              "a\uFFFD"
              "b\uFFFD\uFFFD"
              "c\uFFFD\uFFFD\uFFFD"
              "d\uFFFD\uFFFD");

    // 62 ASCII bytes and a 4-byte character: the character does not fit in 64 bytes.
    const std::string label = std::string(62, 'k') + "\xF0\x9F\x94\x91";
    EXPECT_EQ(Utf8Prefix(label, 64), std::string(62, 'k'));
    EXPECT_EQ(Utf8Prefix(label, 66), label);
    EXPECT_EQ(Utf8Prefix("\xFF\xFF", 4), "\uFFFD");  // the replacement counts as three bytes
}

}  // namespace
}  // namespace vel
