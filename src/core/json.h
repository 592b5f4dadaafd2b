#pragma once

#include <cstdint>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vel {

enum class JsonType { Null = 0, Bool = 1, Number = 2, String = 3, Array = 4, Object = 5 };

// A JSON value. Objects keep their members in the order keys were first set; every number is a
// double. Copying copies the tree; moving is cheap.
class JsonValue {
public:
    JsonValue() = default;
    JsonValue(std::nullptr_t) {}
    JsonValue(bool value);
    JsonValue(double value);
    JsonValue(int value);
    JsonValue(std::int64_t value);
    JsonValue(const char* value);
    JsonValue(std::string value);
    JsonValue(std::string_view value);

    static JsonValue array();
    static JsonValue object();

    JsonType type() const { return type_; }
    bool isNull() const { return type_ == JsonType::Null; }
    bool isObject() const { return type_ == JsonType::Object; }
    bool isArray() const { return type_ == JsonType::Array; }
    bool isString() const { return type_ == JsonType::String; }
    bool isNumber() const { return type_ == JsonType::Number; }
    bool isBool() const { return type_ == JsonType::Bool; }

    // Member by key, or a shared immutable Null when this is not an object or the key is absent.
    const JsonValue& get(std::string_view key) const;
    // Element (or member value) by position, or the shared Null when out of range.
    const JsonValue& at(std::size_t index) const;
    // Whether an object has the key.
    bool has(std::string_view key) const;
    std::size_t size() const { return values_.size(); }
    // Object keys in member order (empty for anything else).
    const std::vector<std::string>& keys() const { return keys_; }

    // Sets a member (turning a non-object into an empty object first); an existing key keeps its
    // position. Returns the stored value.
    JsonValue& set(std::string_view key, JsonValue value);
    // Appends an element (turning a non-array into an empty array first).
    JsonValue& push(JsonValue value);

    bool asBool(bool fallback = false) const;
    std::int64_t asInt(std::int64_t fallback = 0) const;
    double asNumber(double fallback = 0) const;
    std::string asString(const std::string& fallback = {}) const;

    // Raw access for code that walks a tree.
    bool boolValue() const { return bool_; }
    double numberValue() const { return number_; }
    const std::string& stringValue() const { return string_; }

private:
    friend class JsonParser;

    JsonType type_ = JsonType::Null;
    bool bool_ = false;
    double number_ = 0;
    std::string string_;
    std::vector<std::string> keys_;
    std::vector<JsonValue> values_;
};

// Parses a whole document. On failure returns false and leaves out untouched.
[[nodiscard]] bool JsonParse(std::string_view text, JsonValue& out);
// The same, also giving the reason for a failure ("JSON parse error at offset N: ...").
[[nodiscard]] bool JsonParse(std::string_view text, JsonValue& out, std::string& error);
// The same for text from a peer: fails once the document holds more than maxValues values, so a
// small text of many tiny values cannot cost many times its size.
[[nodiscard]] bool JsonParse(std::string_view text, JsonValue& out, std::string& error,
                             std::size_t maxValues);

// Compact text for a negative indent; otherwise one element or member per line, indented by
// `indent` spaces per level. The text never ends with a line feed.
std::string JsonDump(const JsonValue& value, int indent = -1);

}  // namespace vel
