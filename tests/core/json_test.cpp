#include "core/json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
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

TEST(JsonParseTest, NumberGrammarAndConversionMatchStrtod) {
    // Leading zeros, a plus sign, a bare point on either side and an empty exponent are accepted.
    EXPECT_EQ(parsed("007").asNumber(), 7);
    EXPECT_EQ(parsed("+3").asNumber(), 3);
    EXPECT_EQ(parsed("1.").asNumber(), 1);
    EXPECT_EQ(parsed(".5").asNumber(), 0.5);
    EXPECT_EQ(parsed("-.5").asNumber(), -0.5);
    EXPECT_EQ(parsed("1e").asNumber(), 1);
    EXPECT_EQ(parsed("2E+").asNumber(), 2);
    EXPECT_TRUE(std::signbit(parsed("-0").asNumber()));

    // Exact fast path, general conversion and out-of-range text must all round as strtod does.
    for (const char* text :
         {"0.1", "123456789012345678901234567890", "9007199254740993", "1e22", "1e23",
          "2.2250738585072011e-308", "4.9406564584124654e-324", "2.4e-324", "1e-400", "1e400",
          "-1e400", "0.000000000000000000000000000001", "1.7976931348623157e308",
          "3.141592653589793238462643383279", "-123.456e-7", "1e0000000000000000000000001"}) {
        const double expected = std::strtod(text, nullptr);
        const double actual = parsed(text).numberValue();
        EXPECT_TRUE(actual == expected || (std::isnan(actual) && std::isnan(expected)))
            << text << ": " << actual << " != " << expected;
        EXPECT_EQ(std::signbit(actual), std::signbit(expected)) << text;
    }
}

TEST(JsonParseTest, ReportsEachErrorWithItsOffset) {
    EXPECT_EQ(parseError(" \t\r\n"), "JSON parse error at offset 4: unexpected end of input");
    EXPECT_EQ(parseError("[1] x"),
              "JSON parse error at offset 4: trailing content after JSON value");
    EXPECT_EQ(parseError("[1,]"), "JSON parse error at offset 3: invalid number");
    EXPECT_EQ(parseError(R"({"a":1,})"),
              "JSON parse error at offset 7: object key must be a string");
    EXPECT_EQ(parseError("[1 2]"), "JSON parse error at offset 3: expected ',' or ']'");
    EXPECT_EQ(parseError(R"({"a" 1})"), "JSON parse error at offset 5: unexpected character");
    EXPECT_EQ(parseError("[1"), "JSON parse error at offset 2: unexpected end of input");
    EXPECT_EQ(parseError(R"("ab)"), "JSON parse error at offset 3: unterminated string");
    EXPECT_EQ(parseError("\"a\tb\""), "JSON parse error at offset 2: control character in string");
    EXPECT_EQ(parseError(R"("a\)"), "JSON parse error at offset 3: unterminated escape");
    EXPECT_EQ(parseError(R"("\x")"), "JSON parse error at offset 2: invalid escape");
    EXPECT_EQ(parseError(R"("\u12")"), "JSON parse error at offset 3: truncated \\u escape");
    EXPECT_EQ(parseError(R"("\u12g4")"), "JSON parse error at offset 5: invalid hex digit");
    EXPECT_EQ(parseError("tru"), "JSON parse error at offset 0: invalid literal");

    for (const char* text : {"-", "+", ".", "-.", "e5", "+-1", "x", "NaN", "Infinity", "'a'"}) {
        EXPECT_NE(parseError(text).find("invalid number"), std::string::npos) << text;
    }
    for (const char* text : {"0x10", "1.2.3", "01 2", "truex", "\"a\"\"b\""}) {
        EXPECT_NE(parseError(text).find("trailing content"), std::string::npos) << text;
    }
}

TEST(JsonParseTest, FailureLeavesOutputUntouchedAndSuccessReplacesIt) {
    JsonValue out("keep");
    EXPECT_FALSE(JsonParse(R"({"a":[1,2,{"b":)", out));
    EXPECT_EQ(out.stringValue(), "keep");
    EXPECT_TRUE(JsonParse(" [true, null] ", out));
    ASSERT_TRUE(out.isArray());
    EXPECT_EQ(out.size(), 2u);
    EXPECT_TRUE(out.at(0).asBool());
    EXPECT_TRUE(out.at(1).isNull());
}

TEST(JsonParseTest, NestingLimit) {
    EXPECT_TRUE(parsed(nested(65)).isArray());
    EXPECT_EQ(parseError(nested(66)), "JSON parse error at offset 65: nesting too deep");
    // A scalar inside the innermost of 65 brackets is itself a 66th level.
    EXPECT_NE(parseError(nested(65, "1")).find("nesting too deep"), std::string::npos);
    EXPECT_TRUE(parsed(nested(64, "1")).isArray());

    std::string objects;
    for (int i = 0; i < 66; ++i) objects += R"({"k":)";
    objects += "{}";
    objects += std::string(66, '}');
    EXPECT_NE(parseError(objects).find("nesting too deep"), std::string::npos);
}

TEST(JsonParseTest, APeerCannotMakeTheParserBuildMoreThanItsValueBound) {
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
    EXPECT_EQ(parsed(R"("a\u0000b")").stringValue(), std::string("a\0b", 3));
    EXPECT_EQ(parsed(R"("\u00e9\u20AC")").stringValue(), "\xC3\xA9\xE2\x82\xAC");
    EXPECT_EQ(parsed(R"("\uD83D\uDE00")").stringValue(), "\xF0\x9F\x98\x80");
    EXPECT_EQ(parsed(R"("\uD83D")").stringValue(), "\xEF\xBF\xBD");
    EXPECT_EQ(parsed(R"("\uDE00")").stringValue(), "\xEF\xBF\xBD");
    EXPECT_EQ(parsed(R"("\uD83DA")").stringValue(),
              "\xEF\xBF\xBD"
              "A");
    // An escape after a high surrogate that is not its partner is read again on its own.
    EXPECT_EQ(parsed(R"("\uD83D\u0041")").stringValue(),
              "\xEF\xBF\xBD"
              "A");
    EXPECT_EQ(parsed(R"("\uD83D\uD83D\uDE00")").stringValue(), "\xEF\xBF\xBD\xF0\x9F\x98\x80");
    EXPECT_EQ(parseError(R"("\uD83D\u00")"), "JSON parse error at offset 9: truncated \\u escape");

    // Bytes from 0x80 up are taken as they are, valid UTF-8 or not, and written back unchanged.
    const std::string raw = "\"caf\xC3\xA9 \xFF\x80\"";
    EXPECT_EQ(parsed(raw).stringValue(), "caf\xC3\xA9 \xFF\x80");
    EXPECT_EQ(JsonDump(parsed(raw)), raw);
}

TEST(JsonParseTest, DuplicateKeysKeepFirstPositionAndLastValue) {
    const JsonValue small = parsed(R"({"a":1,"b":2,"a":{"x":3}})");
    ASSERT_EQ(small.size(), 2u);
    EXPECT_EQ(small.keys()[0], "a");
    EXPECT_EQ(small.get("a").get("x").asInt(), 3);
    EXPECT_EQ(small.at(1).asInt(), 2);

    // Large objects detect repeats through an index; the outcome must be the same.
    std::string text = "{";
    for (int i = 0; i < 100; ++i)
        text += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + ",";
    text += R"("k0":"first","k57":"middle","k99":"last","":1,"":2})";
    const JsonValue large = parsed(text);
    ASSERT_EQ(large.size(), 101u);
    EXPECT_EQ(large.keys()[0], "k0");
    EXPECT_EQ(large.at(0).stringValue(), "first");
    EXPECT_EQ(large.at(57).stringValue(), "middle");
    EXPECT_EQ(large.at(99).stringValue(), "last");
    EXPECT_EQ(large.keys()[100], "");
    EXPECT_EQ(large.get("").asInt(), 2);
    EXPECT_EQ(large.get("k42").asInt(), 42);
}

TEST(JsonDumpTest, NumbersAsIntegersOrSeventeenDigits) {
    EXPECT_EQ(JsonDump(JsonValue(3.0)), "3");
    EXPECT_EQ(JsonDump(JsonValue(-0.0)), "0");
    EXPECT_EQ(JsonDump(JsonValue(-5)), "-5");
    EXPECT_EQ(JsonDump(JsonValue(1e18)), "1000000000000000000");
    EXPECT_EQ(JsonDump(parsed("1e20")), "1e+20");  // 1e20 is beyond int64, so "%.17g"
    EXPECT_EQ(JsonDump(JsonValue(0.1)), "0.10000000000000001");
    EXPECT_EQ(JsonDump(JsonValue(-0x1p63)), "-9223372036854775808");
    EXPECT_EQ(JsonDump(JsonValue(0x1p63)), "9.2233720368547758e+18");
    EXPECT_EQ(JsonDump(JsonValue(HUGE_VAL)), "inf");
    for (double v : {0.5, -2.5e-7, 1e300, 5e-324, 123456.789, 1.7976931348623157e308}) {
        char expected[40];
        std::snprintf(expected, sizeof expected, "%.17g", v);
        EXPECT_EQ(JsonDump(JsonValue(v)), expected);
    }
}

TEST(JsonDumpTest, StringEscaping) {
    EXPECT_EQ(JsonDump(JsonValue("q\"b\\s/")), R"("q\"b\\s/")");
    EXPECT_EQ(JsonDump(JsonValue("\b\t\n\f\r")), R"("\b\t\n\f\r")");
    EXPECT_EQ(JsonDump(JsonValue(std::string("\x01\x1f\x0b\0", 4))),
              R"("\u0001\u001f\u000b\u0000")");
    EXPECT_EQ(JsonDump(JsonValue("\x7f\xC3\xA9")), "\"\x7f\xC3\xA9\"");
}

TEST(JsonDumpTest, CompactAndIndentedLayout) {
    JsonValue doc = JsonValue::object();
    doc.set("a", parsed("[1,2]"));
    EXPECT_EQ(JsonDump(doc, 2), "{\n  \"a\": [\n    1,\n    2\n  ]\n}");
    EXPECT_EQ(JsonDump(doc, 0), "{\n\"a\": [\n1,\n2\n]\n}");
    EXPECT_EQ(JsonDump(doc), R"({"a":[1,2]})");

    const std::string text = R"({"k":[{"x":"\u0001é"},[],-1.5,{"y":[[0]]}],"z":""})";
    EXPECT_EQ(JsonDump(parsed(JsonDump(parsed(text), 3))), JsonDump(parsed(text)));
}

TEST(JsonValueTest, LookupsNeverFail) {
    const JsonValue doc = parsed(R"({"a":{"b":[10,20]},"s":"x"})");
    EXPECT_EQ(doc.get("a").get("b").at(1).asInt(), 20);
    EXPECT_EQ(doc.at(1).stringValue(), "x");
    EXPECT_TRUE(doc.get("A").isNull());  // keys are case-sensitive
    EXPECT_TRUE(doc.get("s").get("b").isNull());
    EXPECT_TRUE(doc.get("a").get("b").at(2).isNull());
    EXPECT_EQ(&doc.get("missing"), &doc.at(99));  // one shared Null
    EXPECT_TRUE(doc.has("s"));
    EXPECT_FALSE(doc.get("a").get("b").has("0"));
    EXPECT_TRUE(doc.get("s").keys().empty());
}

TEST(JsonValueTest, ConversionsWithDefaults) {
    EXPECT_TRUE(JsonValue(0.5).asBool(false));
    EXPECT_FALSE(JsonValue(-0.0).asBool(true));
    EXPECT_TRUE(JsonValue("false").asBool(true));

    EXPECT_EQ(JsonValue(2.5).asInt(), 3);
    EXPECT_EQ(JsonValue(-2.5).asInt(), -3);
    EXPECT_EQ(JsonValue(0x1p63).asInt(), INT64_MAX);
    EXPECT_EQ(JsonValue(-1e30).asInt(), INT64_MIN);
    EXPECT_EQ(JsonValue(HUGE_VAL).asInt(7), 7);
    EXPECT_EQ(JsonValue(NAN).asInt(7), 7);
    EXPECT_EQ(JsonValue(true).asInt(7), 1);
    EXPECT_EQ(JsonValue(" -42abc").asInt(7), -42);
    EXPECT_EQ(JsonValue("abc").asInt(7), 0);
    EXPECT_EQ(JsonValue("99999999999999999999").asInt(), INT64_MAX);
    EXPECT_EQ(JsonValue().asInt(7), 7);

    EXPECT_EQ(JsonValue(3.0).asString("d"), "3");
    EXPECT_EQ(JsonValue(0.1).asString("d"), "0.10000000000000001");
    EXPECT_EQ(JsonValue().asString("d"), "d");

    EXPECT_EQ(JsonValue(1.5).asNumber(9), 1.5);
    EXPECT_EQ(JsonValue("1.5").asNumber(9), 9);
}

}  // namespace
}  // namespace vel
