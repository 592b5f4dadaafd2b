#include "core/encoding.h"

#include <gtest/gtest.h>

namespace vel {
namespace {

TEST(Base64, EncodesBothAlphabets) {
    const std::pair<const char*, const char*> vectors[] = {
        {"", ""},
        {"f", "Zg=="},
        {"foo", "Zm9v"},
        {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [plain, encoded] : vectors) {
        EXPECT_EQ(Base64StdEncode(BytesOf(plain)), encoded) << plain;
        std::string unpadded = encoded;
        unpadded.erase(unpadded.find_last_not_of('=') + 1);
        EXPECT_EQ(Base64UrlEncode(BytesOf(plain)), unpadded) << plain;
    }
    EXPECT_EQ(Base64UrlEncode({0xFB, 0xFF}), "-_8");
    EXPECT_EQ(Base64StdEncode({0xFB, 0xFF}), "+/8=");
    EXPECT_EQ(Base64Encode({0xFB, 0xFF}, kBase64UrlAlphabet, true), "-_8=");
}

TEST(Base64, DecodesEitherAlphabetLeniently) {
    Bytes out;
    for (const char* text : {"-_8", "+/8", "+/8=", "-/8", " +_\r\n8\t="}) {
        ASSERT_TRUE(Base64Decode(text, out)) << text;
        EXPECT_EQ(out, (Bytes{0xFB, 0xFF})) << text;
    }
    ASSERT_TRUE(Base64Decode("QQ", out));
    EXPECT_EQ(out, Bytes{0x41});
    // The first '=' ends the text, whatever follows.
    ASSERT_TRUE(Base64Decode("QQ==xyz", out));
    EXPECT_EQ(out, Bytes{0x41});
    ASSERT_TRUE(Base64Decode("", out));
    EXPECT_TRUE(out.empty());
    // Leftover bits are not checked: "QR" carries a stray bit after 0x41.
    ASSERT_TRUE(Base64Decode("QR", out));
    EXPECT_EQ(out, Bytes{0x41});
}

TEST(Base64, RejectsBadTextWithEmptyOutput) {
    // Each failure must also discard what an earlier call left in the output.
    for (const char* text : {"Q", "Zm9vY", "Zm9v Y", "Zm*v", "*", "Zm9v.", "QQ\x80"}) {
        Bytes out = {1, 2, 3};
        EXPECT_FALSE(Base64Decode(text, out)) << text;
        EXPECT_TRUE(out.empty()) << text;
    }
    // A NUL in the middle is a bad character, not an end of text.
    Bytes out = {1};
    EXPECT_FALSE(Base64Decode(std::string_view("QQ\0Q", 4), out));
    EXPECT_TRUE(out.empty());
}

TEST(Base64, RoundTripsEveryLengthAndByte) {
    Bytes data;
    for (int length = 0; length < 300; ++length) {
        Bytes out;
        ASSERT_TRUE(Base64Decode(Base64UrlEncode(data), out));
        EXPECT_EQ(out, data);
        ASSERT_TRUE(Base64Decode(Base64StdEncode(data), out));
        EXPECT_EQ(out, data);
        EXPECT_EQ(Base64StdEncode(data).size() % 4, 0u);
        data.push_back(static_cast<std::uint8_t>(length * 7 + 3));
    }
}

TEST(Hex, EncodesInEitherCase) {
    EXPECT_EQ(HexEncode({0x00, 0x0A, 0xBC, 0xFF}), "000abcff");
    EXPECT_EQ(HexEncode({0x00, 0x0A, 0xBC, 0xFF}, true), "000ABCFF");
}

TEST(Hex, DecodesSkippingBlanksAndColons) {
    Bytes out;
    ASSERT_TRUE(HexDecode("0A:0b", out));
    EXPECT_EQ(out, (Bytes{0x0A, 0x0B}));
    ASSERT_TRUE(HexDecode("de:ad be\tef\r\n", out));
    EXPECT_EQ(out, (Bytes{0xDE, 0xAD, 0xBE, 0xEF}));
    // Separators may even split a byte's two digits.
    ASSERT_TRUE(HexDecode("d e", out));
    EXPECT_EQ(out, Bytes{0xDE});
    ASSERT_TRUE(HexDecode("", out));
    EXPECT_TRUE(out.empty());
}

TEST(Hex, RejectsOddCountsAndBadDigitsWithEmptyOutput) {
    for (const char* text : {"abc", "a", "0g", "0x12", "12-34", "1 2 3"}) {
        Bytes out = {9};
        EXPECT_FALSE(HexDecode(text, out)) << text;
        EXPECT_TRUE(out.empty()) << text;
    }
}

TEST(Utf8, InvalidBytesAreReplacedAndCutsFallOnCharacterBoundaries) {
    EXPECT_EQ(ValidUtf8("plain \xC3\xA9 \xF0\x9F\x94\x91"), "plain \xC3\xA9 \xF0\x9F\x94\x91");
    // A stray continuation byte, an overlong '/', a surrogate and a truncated sequence.
    EXPECT_EQ(ValidUtf8("a\x80" "b\xC0\xAF" "c\xED\xA0\x80" "d\xE2\x82"),
              "a\uFFFD" "b\uFFFD\uFFFD" "c\uFFFD\uFFFD\uFFFD" "d\uFFFD\uFFFD");

    // 62 ASCII bytes and a 4-byte character: the character does not fit in 64 bytes.
    const std::string label = std::string(62, 'k') + "\xF0\x9F\x94\x91";
    EXPECT_EQ(Utf8Prefix(label, 64), std::string(62, 'k'));
    EXPECT_EQ(Utf8Prefix(label, 66), label);
    EXPECT_EQ(Utf8Prefix("\xFF\xFF", 4), "\uFFFD");  // the replacement counts as three bytes
}

}  // namespace
}  // namespace vel
