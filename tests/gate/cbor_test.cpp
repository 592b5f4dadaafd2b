#include "gate/cbor.h"

#include <gtest/gtest.h>

#include <limits>

#include "support/cbor_writer.h"

namespace vel::gate {
namespace {

using test::CborWriter;

bool Decode(const Bytes& data, CborValue& out) {
    return CborDecode(data, out);
}

bool Decodes(const Bytes& data) {
    CborValue value;
    return Decode(data, value);
}

// `depth` copies of open around inner, each closed by close.
Bytes Nested(const Bytes& open, const Bytes& inner, const Bytes& close, int depth) {
    Bytes data;
    for (int i = 0; i < depth; ++i) data.insert(data.end(), open.begin(), open.end());
    data.insert(data.end(), inner.begin(), inner.end());
    for (int i = 0; i < depth; ++i) data.insert(data.end(), close.begin(), close.end());
    return data;
}

// Decodes data that must be valid.
CborValue Valid(const Bytes& data) {
    CborValue value;
    EXPECT_TRUE(Decode(data, value));
    return value;
}

// Short arguments, byte strings and maps are what every enrollment sends; here the rest.
TEST(CborDecode, DecodesScalarsWithEveryArgumentWidth) {
    EXPECT_EQ(Valid({0x1A, 0x00, 0x0F, 0x42, 0x40}).n, 1000000u);
    const CborValue max = Valid({0x1B, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    EXPECT_EQ(max.n, std::numeric_limits<std::uint64_t>::max());
    std::int64_t number = 0;
    EXPECT_FALSE(max.toInt64(number));
    const CborValue negative = Valid({0x38, 0x63});
    EXPECT_EQ(negative.kind, CborKind::Negative);
    ASSERT_TRUE(negative.toInt64(number));
    EXPECT_EQ(number, -100);

    const CborValue text = Valid({0x62, 0xC3, 0x28});  // kept raw, even when not UTF-8
    EXPECT_EQ(text.kind, CborKind::Text);
    EXPECT_EQ(text.bytes, (Bytes{0xC3, 0x28}));
    EXPECT_TRUE(Valid({0xF5}).boolean);
    // Null, undefined and floats of every width are read past, though no field holds one.
    for (const Bytes& simple :
         {Bytes{0xF6}, Bytes{0xF7}, Bytes{0xF9, 0x3C, 0x00}, Bytes{0xFA, 0x47, 0xC3, 0x50, 0x00},
          Bytes{0xFB, 0x3F, 0xF1, 0x99, 0x99, 0x99, 0x99, 0x99, 0x9A}})
        EXPECT_TRUE(Decodes(simple));
}

TEST(CborDecode, DecodesContainersDefiniteAndIndefinite) {
    CborValue v;
    // {1: [2, 3], "a": h'', 1: true}: keys of any kind, duplicates kept in order.
    CborWriter w;
    w.map(3).integer(1).array(2).integer(2).integer(3).text("a").bytes({}).integer(1);
    w.raw({0xF5});
    ASSERT_TRUE(Decode(w.data(), v));
    ASSERT_EQ(v.values.size(), 3u);
    EXPECT_EQ(v.values[0].items[1].n, 3u);
    EXPECT_EQ(v.find("a"), &v.values[1]);
    EXPECT_EQ(v.find(1), &v.values[0]);  // the first of two equal keys

    // Indefinite byte and text strings are joined from their chunks; an empty one is allowed.
    ASSERT_TRUE(Decode({0x5F, 0x42, 0x01, 0x02, 0x41, 0x03, 0xFF}, v));
    EXPECT_EQ(v.bytes, (Bytes{1, 2, 3}));
    ASSERT_TRUE(Decode({0x7F, 0x61, 'a', 0x60, 0x62, 'b', 'c', 0xFF}, v));
    EXPECT_EQ(v.kind, CborKind::Text);
    EXPECT_EQ(v.bytes, BytesOf("abc"));
    ASSERT_TRUE(Decode({0x5F, 0xFF}, v));
    EXPECT_TRUE(v.bytes.empty());

    // [_ 1, [2]] and {_ "k": 0}
    ASSERT_TRUE(Decode({0x9F, 0x01, 0x81, 0x02, 0xFF}, v));
    ASSERT_EQ(v.items.size(), 2u);
    EXPECT_EQ(v.items[1].items[0].n, 2u);
    ASSERT_TRUE(Decode({0xBF, 0x61, 'k', 0x00, 0xFF}, v));
    ASSERT_NE(v.find("k"), nullptr);

    // Tags are skipped: 1(1363896240) reads as the plain number.
    ASSERT_TRUE(Decode({0xC1, 0x1A, 0x51, 0x4B, 0x67, 0xB0}, v));
    EXPECT_EQ(v.kind, CborKind::Unsigned);
    EXPECT_EQ(v.n, 1363896240u);
}

// Every kind of item that holds another counts as a level, a tag and a string chunk included.
TEST(CborDecode, LimitsNestingTo32Levels) {
    const struct {
        const char* kind;
        Bytes open, inner, close;
        int deepest;  // the most levels of open that still decode
    } kinds[] = {
        {"arrays", {0x81}, {0x80}, {}, 32},
        {"tags around 32 arrays", {0xC6}, Nested({0x81}, {0x80}, {}, 31), {}, 1},
        {"map values", {0xA1, 0x00}, {0x00}, {}, 32},
        {"indefinite arrays", {0x9F}, {}, {0xFF}, 33},
        {"string chunks", {0x81}, {0x5F, 0x41, 0x00, 0xFF}, {}, 31},
    };
    for (const auto& k : kinds) {
        EXPECT_TRUE(Decodes(Nested(k.open, k.inner, k.close, k.deepest))) << k.kind;
        EXPECT_FALSE(Decodes(Nested(k.open, k.inner, k.close, k.deepest + 1))) << k.kind;
    }
}

TEST(CborDecode, BuildsAtMostItsItemBoundWhileCheckingWalksAnyNumber) {
    CborWriter fits;
    fits.array(kCborMaxItems - 1);
    for (std::size_t i = 0; i + 1 < kCborMaxItems; ++i) fits.integer(0);
    EXPECT_TRUE(Decodes(fits.data()));
    CborWriter bomb;  // a million one-byte items
    bomb.array(1'000'000);
    Bytes data = bomb.data();
    data.resize(data.size() + 1'000'000, 0x00);
    EXPECT_FALSE(Decodes(data));

    std::size_t consumed = 0;
    data.push_back(0xA0);
    ASSERT_TRUE(CborCheck(data, consumed));
    EXPECT_EQ(consumed, data.size() - 1);
    data.resize(data.size() - 2);  // one item short
    EXPECT_FALSE(CborCheck(data, consumed));
    EXPECT_FALSE(CborCheck(Nested({0x81}, {0x80}, {}, 33), consumed));
    const Bytes reserved = {0x9F, 0x1C, 0xFF};  // additional information 28 is not defined
    EXPECT_FALSE(CborCheck(reserved, consumed));
}

// Lengths beyond the input are refused before anything is allocated for them, and input that
// ends early is refused wherever it ends. (Reserved encodings a lenient decoder let through would
// still meet the key and signature checks that follow.)
TEST(CborDecode, RejectsInputThatEndsEarly) {
    Bytes announced = {0x59, 0x03, 0xE8};  // 1,000 bytes announced, 10 left
    announced.insert(announced.end(), 10, 0xAA);
    const struct {
        const char* name;
        Bytes data;
    } refused[] = {
        {"short byte string", announced},
        {"huge byte string", {0x5B, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00}},
        {"huge text", {0x7A, 0xFF, 0xFF, 0xFF, 0xFF, 0x00}},
        {"huge array", {0x9B, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00}},
        {"huge map", {0xBA, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00}},
        {"array one short", {0x83, 0x01, 0x02}},
        {"bytes one short", {0x43, 0x01, 0x02}},
        {"nothing", {}},
        {"argument missing", {0x18}},
        {"half float cut", {0xF9, 0x3C}},
        {"stray break", {0xFF}},
        {"break in a definite array", {0x81, 0xFF}},
        {"no break", {0x9F, 0x01}},
        {"no break after a chunk", {0x5F, 0x41, 0x01}},
        {"indefinite map without its last value", {0xBF, 0x01, 0xFF}},
        {"map without its last value", {0xA1, 0x01}},
    };
    for (const auto& r : refused) EXPECT_FALSE(Decodes(r.data)) << r.name;
    // Exactly enough input is fine.
    EXPECT_TRUE(Decodes({0x83, 0x01, 0x02, 0x03}));
    EXPECT_TRUE(Decodes({0x43, 0x01, 0x02, 0x03}));
}

}  // namespace
}  // namespace vel::gate
