#include "core/json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace vel {
namespace {

JsonValue parsed(std::string_view text) {
    JsonValue value;
    EXPECT_TRUE(JsonParse(text, value)) << text;
    return value;
}

std::string parseError(std::string_view text) {
    JsonValue value;
    std::string error;
    EXPECT_FALSE(JsonParse(text, value, error)) << text;
    return error;
}

std::string nested(int depth, std::string_view inner = "") {
    return std::string(static_cast<std::size_t>(depth), '[') + std::string(inner) +
           std::string(static_cast<std::size_t>(depth), ']');
}

TEST(JsonParseTest, NumbersConvertAsStrtodDoes) {
    // Leading zeros, a plus sign, a bare point and an empty exponent are accepted; the exact fast
    // path, the general conversion and out-of-range text must all round as strtod does.
    for (const char* text :
         {"007", "+3", "1.", "-.5", "2E+", "-0", "0.1", "123456789012345678901234567890",
          "9007199254740993", "1e23", "2.2250738585072011e-308", "2.4e-324", "1e-400", "-1e400",
          "1e0000000000000000000000001"}) {
        const double expected = std::strtod(text, nullptr);
        const double actual = parsed(text).numberValue();
        EXPECT_TRUE(actual == expected && std::signbit(actual) == std::signbit(expected))
            << text << ": " << actual << " != " << expected;
    }
}

TEST(JsonParseTest, ReportsEachErrorWithItsOffset) {
    const std::pair<const char*, const char*> cases[] = {
        {" \t\r\n", "4: unexpected end of input"},
        {"[1] x", "4: trailing content after JSON value"},
        {"[1,]", "3: invalid number"},
        {R"({"a":1,})", "7: object key must be a string"},
        {"[1 2]", "3: expected ',' or ']'"},
        {R"({"a" 1})", "5: unexpected character"},
        {"[1", "2: unexpected end of input"},
        {R"("ab)", "3: unterminated string"},
        {"\"a\tb\"", "2: control character in string"},
        {R"("a\)", "3: unterminated escape"},
        {R"("\x")", "2: invalid escape"},
        {R"("\u12")", "3: truncated \\u escape"},
        {R"("\u12g4")", "5: invalid hex digit"},
        {"tru", "0: invalid literal"},
    };
    for (const auto& [text, error] : cases) {
        EXPECT_EQ(parseError(text), std::string("JSON parse error at offset ") + error);
    }
    for (const char* text : {"-", ".", "-.", "e5", "+-1", "NaN", "Infinity", "'a'"}) {
        EXPECT_NE(parseError(text).find("invalid number"), std::string::npos) << text;
    }
    for (const char* text : {"0x10", "1.2.3", "01 2", "truex", "\"a\"\"b\""}) {
        EXPECT_NE(parseError(text).find("trailing content"), std::string::npos) << text;
    }

    // A failure leaves the output as it was.
    JsonValue out("keep");
    EXPECT_FALSE(JsonParse(R"({"a":[1,2,{"b":)", out));
    EXPECT_EQ(out.stringValue(), "keep");
}

TEST(JsonParseTest, APeerCannotNestOrBuildBeyondTheBounds) {
    EXPECT_TRUE(parsed(nested(65)).isArray());
    EXPECT_EQ(parseError(nested(66)), "JSON parse error at offset 65: nesting too deep");
    // A scalar inside the innermost of 65 brackets is itself a 66th level.
    EXPECT_NE(parseError(nested(65, "1")).find("nesting too deep"), std::string::npos);

    JsonValue out;
    std::string error;
    EXPECT_TRUE(JsonParse(R"({"a":[1,2],"b":"x"})", out, error, 5));
    EXPECT_FALSE(JsonParse(R"({"a":[1,2],"b":"x"})", out, error, 4));
    EXPECT_NE(error.find("too many values"), std::string::npos) << error;
    std::string zeros = "[0";
    for (int i = 0; i < 100'000; ++i) zeros += ",0";
    EXPECT_FALSE(JsonParse(zeros + "]", out, error, 256));
    EXPECT_TRUE(JsonParse(zeros + "]", out));  // files of our own are not bounded
}

TEST(JsonParseTest, StringEscapesAndSurrogates) {
    EXPECT_EQ(parsed(R"("\"\\\/\b\f\n\r\t")").stringValue(), "\"\\/\b\f\n\r\t");
    EXPECT_EQ(parsed(R"("a\u0000b\u00e9")").stringValue(), std::string("a\0b\xC3\xA9", 5));
    EXPECT_EQ(parsed(R"("\uD83D\uDE00")").stringValue(), "\xF0\x9F\x98\x80");
    EXPECT_EQ(parsed(R"("\uDE00")").stringValue(), "\xEF\xBF\xBD");
    // An escape after a high surrogate that is not its partner is read again on its own.
    EXPECT_EQ(parsed(R"("\uD83D\u0041")").stringValue(),
              "\xEF\xBF\xBD"
              "A");
    EXPECT_EQ(parsed(R"("\uD83D\uD83D\uDE00")").stringValue(), "\xEF\xBF\xBD\xF0\x9F\x98\x80");
    EXPECT_EQ(parseError(R"("\uD83D\u00")"), "JSON parse error at offset 9: truncated \\u escape");

    // Bytes from 0x80 up are taken as they are, valid UTF-8 or not, and written back unchanged.
    const std::string raw = "\"caf\xC3\xA9 \xFF\x80\"";
    EXPECT_EQ(JsonDump(parsed(raw)), raw);
}

TEST(JsonParseTest, DuplicateKeysKeepFirstPositionAndLastValue) {
    const JsonValue small = parsed(R"({"a":1,"b":2,"a":{"x":3}})");
    EXPECT_EQ(small.keys(), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(small.get("a").get("x").asInt(), 3);
    // Large objects detect repeats through an index; the outcome must be the same.
    std::string text = "{";
    for (int i = 0; i < 100; ++i)
        text += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + ",";
    text += R"("k0":"first","k99":"last","":1,"":2})";
    const JsonValue large = parsed(text);
    ASSERT_EQ(large.size(), 101u);
    EXPECT_EQ(large.at(0).stringValue(), "first");
    EXPECT_EQ(large.at(99).stringValue(), "last");
    EXPECT_EQ(large.get("").asInt(), 2);
}

TEST(JsonDumpTest, NumbersAndStrings) {
    EXPECT_EQ(JsonDump(JsonValue(-0.0)), "0");
    EXPECT_EQ(JsonDump(JsonValue(-0x1p63)), "-9223372036854775808");
    EXPECT_EQ(JsonDump(JsonValue(0x1p63)), "9.2233720368547758e+18");  // beyond int64: "%.17g"

    EXPECT_EQ(JsonDump(JsonValue("q\"b\\s/\b\t\n\f\r")), R"("q\"b\\s/\b\t\n\f\r")");
    EXPECT_EQ(JsonDump(JsonValue(std::string("\x01\x1f\0\x7f", 4))),
              "\"\\u0001\\u001f\\u0000\x7f\"");
    EXPECT_EQ(JsonDump(parsed(R"({"a": [1, {}]})")), R"({"a":[1,{}]})");
}

TEST(JsonValueTest, LookupsNeverFailAndConversionsFallBack) {
    const JsonValue doc = parsed(R"({"a":{"b":[10,20]},"s":"x"})");
    EXPECT_EQ(doc.get("a").get("b").at(1).asInt(), 20);
    EXPECT_TRUE(doc.get("A").isNull());  // keys are case-sensitive
    EXPECT_TRUE(doc.get("s").get("b").isNull());
    EXPECT_TRUE(doc.get("a").get("b").at(2).isNull());

    EXPECT_EQ(JsonValue(-2.5).asInt(), -3);
    EXPECT_EQ(JsonValue(0x1p63).asInt(), INT64_MAX);
    EXPECT_EQ(JsonValue(-1e30).asInt(), INT64_MIN);
    EXPECT_EQ(JsonValue(NAN).asInt(7), 7);
    EXPECT_EQ(JsonValue(" -42abc").asInt(7), -42);
    EXPECT_EQ(JsonValue("99999999999999999999").asInt(), INT64_MAX);
    EXPECT_EQ(JsonValue("1.5").asNumber(9), 9);
}

}  // namespace
}  // namespace vel
