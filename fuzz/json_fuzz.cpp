#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/json.h"

namespace {

// Runs every conversion on every value (for the sanitizers) and says whether all numbers are
// finite: infinity has no JSON text, so such a tree cannot survive a round trip.
bool visitAll(const vel::JsonValue& value) {
    (void)value.asBool();
    (void)value.asInt();
    (void)value.asString();
    bool finite = !value.isNumber() || std::isfinite(value.numberValue());
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value.isObject() && &value.get(value.keys()[i]) != &value.at(i)) std::abort();
        finite = visitAll(value.at(i)) && finite;
    }
    return finite;
}

// A dump must parse again and dump to the same text.
void checkRoundTrip(const vel::JsonValue& value, int indent, const std::string& compact) {
    const std::string text = vel::JsonDump(value, indent);
    vel::JsonValue again;
    if (!vel::JsonParse(text, again)) std::abort();
    if (vel::JsonDump(again, indent) != text) std::abort();
    if (vel::JsonDump(again) != compact) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    vel::JsonValue value;
    std::string error;
    if (!vel::JsonParse(text, value, error)) {
        if (error.rfind("JSON parse error at offset ", 0) != 0 || !value.isNull()) std::abort();
        return 0;
    }
    const std::string compact = vel::JsonDump(value);
    if (!visitAll(value)) return 0;
    checkRoundTrip(value, -1, compact);
    checkRoundTrip(value, 2, compact);
    return 0;
}
