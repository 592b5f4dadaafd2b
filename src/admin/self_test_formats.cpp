// Self-test groups for the formats the gate parses: encodings, JSON, CBOR and COSE, the stored
// key form, and the constant-time comparison.
#include "admin/self_test.h"
#include "admin/self_test_support.h"
#include "core/crypto.h"
#include "core/encoding.h"
#include "core/json.h"
#include "gate/cbor.h"
#include "gate/cose_key.h"

namespace vel::admin {

using gate::CborDecode;
using gate::CborValue;
using gate::CoseKeyFromJson;
using gate::CoseKeyToJson;
using gate::DecodeCoseKey;

void SelfTestEncoding(SelfTest& test) {
    test.group("Encoding");
    bool standard = true;
    bool url = true;
    bool urlAlphabet = true;
    bool hex = true;
    // Lengths 1 to 3 modulo 3 exercise every padding case.
    for (std::size_t size : {1, 2, 3, 31, 32, 33, 64}) {
        const Bytes data = RandomBytes(size);
        Bytes decoded;
        standard &= Base64Decode(Base64StdEncode(data), decoded) && decoded == data;
        const std::string urlText = Base64UrlEncode(data);
        url &= Base64Decode(urlText, decoded) && decoded == data;
        urlAlphabet &= urlText.find_first_of("+/=") == std::string::npos;
        hex &= HexDecode(HexEncode(data), decoded) && decoded == data;
    }
    test.check(standard, "base64 round-trip");
    test.check(url, "base64url round-trip");
    // 0xFB 0xFF is "+/8=" in the standard alphabet.
    test.check(urlAlphabet && Base64UrlEncode({0xFB, 0xFF}) == "-_8",
               "base64url uses the URL alphabet without padding");
    Bytes ignored;
    test.check(!Base64Decode("QUJD*", ignored) && !Base64Decode("QU$D", ignored),
               "base64url rejects invalid characters");
    test.check(hex, "hex round-trip");
    test.check(!HexDecode("abc", ignored), "hex rejects an odd digit count");
    test.check(Base64StdEncode({}).empty() && Base64UrlEncode({}).empty() && HexEncode({}).empty(),
               "empty input encodes to an empty string");
}

void SelfTestJson(SelfTest& test) {
    test.group("JSON");
    const std::string text = "a \"quoted\" word\nand a second line";
    JsonValue document = JsonValue::object();
    document.set("text", text);
    document.set("number", -42);
    document.set("flag", true);
    JsonValue list = JsonValue::array();
    list.push(1);
    list.push("two");
    list.push(false);
    document.set("list", list);
    const std::string dumped = JsonDump(document);

    JsonValue parsed;
    test.check(JsonParse(dumped, parsed) && parsed.isObject(), "round-trip parses");
    test.check(parsed.get("text").isString() && parsed.get("text").stringValue() == text,
               "strings survive escaping");
    test.check(parsed.get("number").isNumber() && parsed.get("number").asInt() == -42,
               "negative integers survive");
    test.check(parsed.get("flag").isBool() && parsed.get("flag").boolValue(), "booleans survive");
    const JsonValue& array = parsed.get("list");
    test.check(array.isArray() && array.size() == 3 && array.at(0).asInt() == 1 &&
                   array.at(1).asString() == "two" && array.at(2).isBool() &&
                   !array.at(2).boolValue(),
               "arrays survive");
    test.check(parsed.get("absent").isNull(), "a missing key reads as null");
    JsonValue rejected;
    test.check(!JsonParse(dumped.substr(0, dumped.size() - 1), rejected),
               "truncated input is rejected");
    test.check(!JsonParse(dumped + dumped, rejected), "trailing content is rejected");
    JsonValue emoji;
    test.check(JsonParse(R"("\ud83d\ude00")", emoji) && emoji.asString() == "\xF0\x9F\x98\x80",
               "surrogate pairs decode to 4-byte UTF-8");
}

void SelfTestCbor(SelfTest& test) {
    test.group("CBOR");
    const Bytes x = RandomBytes(32);
    const Bytes y = RandomBytes(32);
    const Bytes map = CoseKeyBytes(x, y);
    Bytes data = map;
    data.push_back(0xF6);  // an item after the map, which the decoder must leave alone
    data.push_back(0x00);

    CborValue item;
    std::size_t consumed = 0;
    CoseKey key;
    test.check(CborDecode(data, item, &consumed) && DecodeCoseKey(item, key),
               "COSE EC2 key decodes");
    test.check(key.alg == -7 && key.crv == 1, "algorithm and curve are read");
    test.check(key.x == x && key.y == y, "the coordinates are read");
    test.check(consumed == map.size(), "the decoder reports the exact consumed length");
    CborValue truncated;
    test.check(!CborDecode(std::span(map.data(), map.size() - 1), truncated),
               "a truncated item is rejected");
    Bytes array = CborArrayHead(2);
    Append(array, CborInteger(1));
    Append(array, CborInteger(2));
    CoseKey notAKey;
    test.check(!DecodeCoseKey(array, notAKey), "a non-map COSE key is rejected");
}

void SelfTestKeySerialization(SelfTest& test) {
    test.group("Key serialization");
    TestKeyPair pair;
    if (!MakeP256TestKey(pair)) {
        test.check(false, "failed to create a P-256 test key");
        return;
    }
    const CoseKey original = CoseKeyOf(pair);
    JsonValue stored;
    CoseKey read;
    const bool roundTrip =
        JsonParse(JsonDump(CoseKeyToJson(original)), stored) && CoseKeyFromJson(stored, read);
    test.check(roundTrip, "an EC key round-trips through the store");
    test.check(roundTrip && read.alg == original.alg && read.crv == original.crv &&
                   read.x == original.x && read.y == original.y && read.n.empty() && read.e.empty(),
               "every field survives");
}

void SelfTestSecretComparison(SelfTest& test) {
    test.group("Secret comparison");
    const Bytes secret = RandomBytes(32);
    if (secret.size() != 32) {
        test.check(false, "the random source answered");
        return;
    }
    // Built byte by byte rather than copied and patched: GCC 12 misreads the patch as an overflow.
    Bytes last, first;
    for (std::size_t i = 0; i < secret.size(); ++i) {
        last.push_back(
            static_cast<std::uint8_t>(i + 1 == secret.size() ? secret[i] ^ 0x01 : secret[i]));
        first.push_back(static_cast<std::uint8_t>(i == 0 ? secret[i] ^ 0x80 : secret[i]));
    }
    const Bytes shorter(secret.begin(), secret.end() - 1);
    test.check(ConstantTimeEqual(secret, Bytes(secret)), "identical buffers are equal");
    test.check(!ConstantTimeEqual(secret, last), "a difference in the last byte is detected");
    test.check(!ConstantTimeEqual(secret, first), "a difference in the first byte is detected");
    test.check(!ConstantTimeEqual(secret, shorter) && !ConstantTimeEqual(shorter, secret),
               "different lengths are not equal");
}

}  // namespace vel::admin
