#include "core/json.h"

#include <locale.h>
#include <stdlib.h>

#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <set>

#include "core/error.h"

namespace vel {

namespace {

constexpr int kMaxDepth = 64;

// Objects with at least this many members find duplicate keys through an index instead of a
// linear scan, so a hostile document with many keys cannot make parsing quadratic.
constexpr std::size_t kIndexedMemberCount = 32;

const JsonValue& sharedNull() {
    static const JsonValue null;
    return null;
}

// Bytes that end a run of plain string content when reading: the quote, the backslash and controls.
constexpr auto kStringStop = [] {
    std::array<bool, 256> stop{};
    for (int c = 0; c < 0x20; ++c) stop[c] = true;
    stop['"'] = true;
    stop['\\'] = true;
    return stop;
}();

constexpr std::array<double, 23> kPowersOfTen = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                                 1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                                 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void appendUtf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        const char bytes[] = {static_cast<char>(0xC0 | (cp >> 6)),
                              static_cast<char>(0x80 | (cp & 0x3F))};
        out.append(bytes, 2);
    } else if (cp < 0x10000) {
        const char bytes[] = {static_cast<char>(0xE0 | (cp >> 12)),
                              static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
                              static_cast<char>(0x80 | (cp & 0x3F))};
        out.append(bytes, 3);
    } else {
        const char bytes[] = {
            static_cast<char>(0xF0 | (cp >> 18)), static_cast<char>(0x80 | ((cp >> 12) & 0x3F)),
            static_cast<char>(0x80 | ((cp >> 6) & 0x3F)), static_cast<char>(0x80 | (cp & 0x3F))};
        out.append(bytes, 4);
    }
}

// The conversion of last resort for numbers beyond the double range, where from_chars reports
// an error instead of giving strtod's infinity or zero. Pinned to the C locale's decimal point.
double strtodC(const char* begin, const char* end) {
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    const std::string text(begin, end);
    return strtod_l(text.c_str(), nullptr, cLocale);
}

void appendNumber(std::string& out, double value) {
    char buffer[40];
    char* end = buffer;
    if (!std::isfinite(value)) {
        end += std::snprintf(buffer, sizeof buffer, "%.17g", value);
    } else if (value >= -0x1p63 && value < 0x1p63 &&
               static_cast<double>(static_cast<long long>(value)) == value) {
        end = std::to_chars(buffer, buffer + sizeof buffer, static_cast<long long>(value)).ptr;
    } else {
        // Same digits as printf's "%.17g", without the locale and format-string overhead.
        end = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 17)
                  .ptr;
    }
    out.append(buffer, end);
}

void appendQuoted(std::string& out, const std::string& text) {
    static constexpr char kHex[] = "0123456789abcdef";
    out.push_back('"');
    const char* run = text.data();
    const char* const end = run + text.size();
    for (const char* p = run; p < end; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c >= 0x20 && c != '"' && c != '\\') continue;
        out.append(run, p);
        run = p + 1;
        switch (c) {
            case '"':
                out.append("\\\"", 2);
                break;
            case '\\':
                out.append("\\\\", 2);
                break;
            case '\b':
                out.append("\\b", 2);
                break;
            case '\t':
                out.append("\\t", 2);
                break;
            case '\n':
                out.append("\\n", 2);
                break;
            case '\f':
                out.append("\\f", 2);
                break;
            case '\r':
                out.append("\\r", 2);
                break;
            default: {
                const char escape[] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
                out.append(escape, sizeof escape);
            }
        }
    }
    out.append(run, end);
    out.push_back('"');
}

class JsonWriter {
public:
    JsonWriter(std::string& out, int indent) : out_(out), indent_(indent) {}

    void write(const JsonValue& value, int level) {
        switch (value.type()) {
            case JsonType::Null:
                out_.append("null", 4);
                break;
            case JsonType::Bool:
                value.boolValue() ? out_.append("true", 4) : out_.append("false", 5);
                break;
            case JsonType::Number:
                appendNumber(out_, value.numberValue());
                break;
            case JsonType::String:
                appendQuoted(out_, value.stringValue());
                break;
            case JsonType::Array:
            case JsonType::Object:
                writeContainer(value, level);
                break;
        }
    }

private:
    void writeContainer(const JsonValue& value, int level) {
        const bool isObject = value.type() == JsonType::Object;
        if (value.size() == 0) {
            out_.append(isObject ? "{}" : "[]", 2);
            return;
        }
        out_.push_back(isObject ? '{' : '[');
        for (std::size_t i = 0; i < value.size(); ++i) {
            if (i > 0) out_.push_back(',');
            newline(level + 1);
            if (isObject) {
                appendQuoted(out_, value.keys()[i]);
                out_.push_back(':');
                if (indent_ >= 0) out_.push_back(' ');
            }
            write(value.at(i), level + 1);
        }
        newline(level);
        out_.push_back(isObject ? '}' : ']');
    }

    void newline(int level) {
        if (indent_ < 0) return;
        out_.push_back('\n');
        out_.append(static_cast<std::size_t>(level) * static_cast<std::size_t>(indent_), ' ');
    }

    std::string& out_;
    const int indent_;
};

}  // namespace

// A single forward pass over the text that builds values in place.
class JsonParser {
public:
    JsonParser(std::string_view text, std::size_t maxValues)
        : begin_(text.data()), p_(begin_), end_(begin_ + text.size()), valuesLeft_(maxValues) {}

    JsonValue parseDocument() {
        JsonValue value;
        parseValue(value, 0);
        skipSpace();
        if (p_ != end_) fail("trailing content after JSON value");
        return value;
    }

private:
    [[noreturn]] void fail(const char* message) const {
        char text[160];
        std::snprintf(text, sizeof text, "JSON parse error at offset %zu: %s",
                      static_cast<std::size_t>(p_ - begin_), message);
        throw Error(text);
    }

    void skipSpace() {
        while (p_ < end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
    }

    void parseValue(JsonValue& out, int depth) {
        if (depth > kMaxDepth) fail("nesting too deep");
        if (valuesLeft_-- == 0) fail("too many values");
        skipSpace();
        if (p_ == end_) fail("unexpected end of input");
        switch (*p_) {
            case '"':
                ++p_;
                out.type_ = JsonType::String;
                parseString(out.string_);
                break;
            case '[':
                parseArray(out, depth);
                break;
            case '{':
                parseObject(out, depth);
                break;
            case 't':
                parseLiteral("true");
                out.type_ = JsonType::Bool;
                out.bool_ = true;
                break;
            case 'f':
                parseLiteral("false");
                out.type_ = JsonType::Bool;
                break;
            case 'n':
                parseLiteral("null");
                break;
            default:
                parseNumber(out);
        }
    }

    void parseLiteral(std::string_view word) {
        if (static_cast<std::size_t>(end_ - p_) < word.size() ||
            std::memcmp(p_, word.data(), word.size()) != 0) {
            fail("invalid literal");
        }
        p_ += word.size();
    }

    void parseArray(JsonValue& out, int depth) {
        ++p_;
        out.type_ = JsonType::Array;
        skipSpace();
        if (p_ < end_ && *p_ == ']') {
            ++p_;
            return;
        }
        for (;;) {
            parseValue(out.values_.emplace_back(), depth + 1);
            skipSpace();
            if (p_ == end_) fail("unexpected end of input");
            const char c = *p_++;
            if (c == ']') return;
            if (c != ',') {
                --p_;
                fail("expected ',' or ']'");
            }
        }
    }

    // Orders member positions by their keys; a tree rather than a hash table so that crafted keys
    // cannot force the worst case either.
    struct KeyLess {
        const std::vector<std::string>* keys;
        bool operator()(std::size_t a, std::size_t b) const { return (*keys)[a] < (*keys)[b]; }
    };
    using KeyIndex = std::set<std::size_t, KeyLess>;

    // Where an earlier member has the same key as the last one in keys, if any.
    static std::optional<std::size_t> findEarlierKey(const std::vector<std::string>& keys,
                                                     std::optional<KeyIndex>& index) {
        const std::size_t last = keys.size() - 1;
        if (!index && last < kIndexedMemberCount) {
            for (std::size_t i = 0; i < last; ++i) {
                if (keys[i] == keys[last]) return i;
            }
            return std::nullopt;
        }
        if (!index) {
            index.emplace(KeyLess{&keys});
            for (std::size_t i = 0; i < last; ++i) index->insert(i);
        }
        const auto [it, inserted] = index->insert(last);
        if (inserted) return std::nullopt;
        return *it;
    }

    void parseObject(JsonValue& out, int depth) {
        ++p_;
        out.type_ = JsonType::Object;
        skipSpace();
        if (p_ < end_ && *p_ == '}') {
            ++p_;
            return;
        }
        std::vector<std::string>& keys = out.keys_;
        std::vector<JsonValue>& values = out.values_;
        std::optional<KeyIndex> index;
        for (;;) {
            skipSpace();
            if (p_ == end_) fail("unexpected end of input");
            if (*p_ != '"') fail("object key must be a string");
            ++p_;
            parseString(keys.emplace_back());
            skipSpace();
            if (p_ == end_ || *p_ != ':') fail("unexpected character");
            ++p_;

            // A repeated key keeps the position of its first occurrence and takes the new value.
            JsonValue* slot;
            if (const auto earlier = findEarlierKey(keys, index)) {
                keys.pop_back();
                slot = &values[*earlier];
                *slot = JsonValue();
            } else {
                slot = &values.emplace_back();
            }
            parseValue(*slot, depth + 1);

            skipSpace();
            if (p_ == end_) fail("unexpected end of input");
            const char c = *p_++;
            if (c == '}') return;
            if (c != ',') {
                --p_;
                fail("expected ',' or '}'");
            }
        }
    }

    // Called after the opening quote; leaves the read position after the closing one.
    void parseString(std::string& out) {
        for (;;) {
            const char* const run = p_;
            while (p_ < end_ && !kStringStop[static_cast<unsigned char>(*p_)]) ++p_;
            out.append(run, p_);
            if (p_ == end_) fail("unterminated string");
            const char c = *p_;
            if (c == '"') {
                ++p_;
                return;
            }
            if (c != '\\') fail("control character in string");
            if (++p_ == end_) fail("unterminated escape");
            switch (*p_++) {
                case '"':
                    out.push_back('"');
                    break;
                case '\\':
                    out.push_back('\\');
                    break;
                case '/':
                    out.push_back('/');
                    break;
                case 'b':
                    out.push_back('\b');
                    break;
                case 'f':
                    out.push_back('\f');
                    break;
                case 'n':
                    out.push_back('\n');
                    break;
                case 'r':
                    out.push_back('\r');
                    break;
                case 't':
                    out.push_back('\t');
                    break;
                case 'u':
                    appendUtf8(out, parseUnicodeEscape());
                    break;
                default:
                    --p_;
                    fail("invalid escape");
            }
        }
    }

    // Called after a backslash-u; pairs surrogates and replaces unpaired ones with U+FFFD.
    std::uint32_t parseUnicodeEscape() {
        const std::uint32_t unit = parseHex4();
        if (unit >= 0xDC00 && unit <= 0xDFFF) return 0xFFFD;
        if (unit < 0xD800 || unit > 0xDBFF) return unit;
        if (end_ - p_ >= 2 && p_[0] == '\\' && p_[1] == 'u') {
            const char* const next = p_;
            p_ += 2;
            const std::uint32_t low = parseHex4();
            if (low >= 0xDC00 && low <= 0xDFFF)
                return 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
            p_ = next;  // not a partner: that escape is read again on its own
        }
        return 0xFFFD;
    }

    std::uint32_t parseHex4() {
        if (end_ - p_ < 4) fail("truncated \\u escape");
        std::uint32_t unit = 0;
        for (int i = 0; i < 4; ++i) {
            const int digit = hexValue(*p_);
            if (digit < 0) fail("invalid hex digit");
            unit = (unit << 4) | static_cast<std::uint32_t>(digit);
            ++p_;
        }
        return unit;
    }

    void parseNumber(JsonValue& out) {
        const char* const start = p_;
        const char* p = p_;
        const bool negative = *p == '-';
        if (*p == '+' || *p == '-') ++p;

        // Gather the digits as an integer mantissa too, for the exact fast path below.
        std::uint64_t mantissa = 0;
        int digitCount = 0;
        int fractionDigits = 0;
        for (; p < end_ && isDigit(*p); ++p, ++digitCount) mantissa = mantissa * 10 + (*p - '0');
        if (p < end_ && *p == '.') {
            for (++p; p < end_ && isDigit(*p); ++p, ++fractionDigits) {
                mantissa = mantissa * 10 + (*p - '0');
            }
            digitCount += fractionDigits;
        }
        if (digitCount == 0) fail("invalid number");

        int exponent = 0;
        if (p < end_ && (*p == 'e' || *p == 'E')) {
            ++p;
            const bool negativeExponent = p < end_ && *p == '-';
            if (p < end_ && (*p == '+' || *p == '-')) ++p;
            for (; p < end_ && isDigit(*p); ++p) {
                if (exponent < 100000) exponent = exponent * 10 + (*p - '0');
            }
            if (negativeExponent) exponent = -exponent;
        }
        p_ = p;

        out.type_ = JsonType::Number;
        // One correctly rounded operation on exact operands gives the correctly rounded result.
        const int scale = exponent - fractionDigits;
        if (digitCount <= 19 && mantissa <= (std::uint64_t{1} << 53) && scale >= -22 &&
            scale <= 22) {
            double value = static_cast<double>(mantissa);
            value = scale < 0 ? value / kPowersOfTen[static_cast<std::size_t>(-scale)]
                              : value * kPowersOfTen[static_cast<std::size_t>(scale)];
            out.number_ = negative ? -value : value;
            return;
        }
        const char* const text = *start == '+' ? start + 1 : start;
        const auto result = std::from_chars(text, p, out.number_);
        if (result.ec == std::errc::result_out_of_range) out.number_ = strtodC(text, p);
    }

    const char* const begin_;
    const char* p_;
    const char* const end_;
    std::size_t valuesLeft_;
};

JsonValue::JsonValue(bool value) : type_(JsonType::Bool), bool_(value) {}
JsonValue::JsonValue(double value) : type_(JsonType::Number), number_(value) {}
JsonValue::JsonValue(int value) : type_(JsonType::Number), number_(value) {}
JsonValue::JsonValue(std::int64_t value)
    : type_(JsonType::Number), number_(static_cast<double>(value)) {}
JsonValue::JsonValue(const char* value) : type_(JsonType::String), string_(value) {}
JsonValue::JsonValue(std::string value) : type_(JsonType::String), string_(std::move(value)) {}
JsonValue::JsonValue(std::string_view value) : type_(JsonType::String), string_(value) {}

JsonValue JsonValue::array() {
    JsonValue value;
    value.type_ = JsonType::Array;
    return value;
}

JsonValue JsonValue::object() {
    JsonValue value;
    value.type_ = JsonType::Object;
    return value;
}

const JsonValue& JsonValue::get(std::string_view key) const {
    if (type_ != JsonType::Object) return sharedNull();
    for (std::size_t i = 0; i < keys_.size(); ++i) {
        if (keys_[i] == key) return values_[i];
    }
    return sharedNull();
}

const JsonValue& JsonValue::at(std::size_t index) const {
    return index < values_.size() ? values_[index] : sharedNull();
}

bool JsonValue::has(std::string_view key) const {
    if (type_ != JsonType::Object) return false;
    for (const std::string& k : keys_) {
        if (k == key) return true;
    }
    return false;
}

JsonValue& JsonValue::set(std::string_view key, JsonValue value) {
    if (type_ != JsonType::Object) *this = object();
    for (std::size_t i = 0; i < keys_.size(); ++i) {
        if (keys_[i] == key) return values_[i] = std::move(value);
    }
    keys_.emplace_back(key);
    return values_.emplace_back(std::move(value));
}

JsonValue& JsonValue::push(JsonValue value) {
    if (type_ != JsonType::Array) *this = array();
    return values_.emplace_back(std::move(value));
}

bool JsonValue::asBool(bool fallback) const {
    if (type_ == JsonType::Bool) return bool_;
    if (type_ == JsonType::Number) return number_ != 0;
    return fallback;
}

std::int64_t JsonValue::asInt(std::int64_t fallback) const {
    switch (type_) {
        case JsonType::Number: {
            if (!std::isfinite(number_)) return fallback;
            const double rounded = std::round(number_);  // halves away from zero
            if (rounded >= 0x1p63) return INT64_MAX;
            if (rounded < -0x1p63) return INT64_MIN;
            return static_cast<std::int64_t>(rounded);
        }
        case JsonType::Bool:
            return bool_ ? 1 : 0;
        case JsonType::String:
            return std::strtoll(string_.c_str(), nullptr, 10);
        default:
            return fallback;
    }
}

double JsonValue::asNumber(double fallback) const {
    return type_ == JsonType::Number ? number_ : fallback;
}

std::string JsonValue::asString(const std::string& fallback) const {
    switch (type_) {
        case JsonType::String:
            return string_;
        case JsonType::Bool:
            return bool_ ? "true" : "false";
        case JsonType::Number: {
            std::string text;
            appendNumber(text, number_);
            return text;
        }
        default:
            return fallback;
    }
}

bool JsonParse(std::string_view text, JsonValue& out, std::string& error) {
    return JsonParse(text, out, error, SIZE_MAX);
}

bool JsonParse(std::string_view text, JsonValue& out, std::string& error, std::size_t maxValues) {
    try {
        out = JsonParser(text, maxValues).parseDocument();
        return true;
    } catch (const Error& e) {
        error = e.what();
        return false;
    }
}

bool JsonParse(std::string_view text, JsonValue& out) {
    std::string error;
    return JsonParse(text, out, error);
}

std::string JsonDump(const JsonValue& value, int indent) {
    std::string out;
    JsonWriter(out, indent).write(value, 0);
    return out;
}

}  // namespace vel
