#include "firewall/kernel_table.h"

#include "core/crypto.h"
#include "core/encoding.h"
#include "core/json.h"
#include "firewall/nft_projection.h"

namespace vel::firewall {

namespace {

// Handles are numbered anew each time the table is created; everything else is the table.
JsonValue withoutHandles(const JsonValue& value) {
    if (value.isArray()) {
        JsonValue result = JsonValue::array();
        for (std::size_t i = 0; i < value.size(); ++i) result.push(withoutHandles(value.at(i)));
        return result;
    }
    if (!value.isObject()) return value;
    JsonValue result = JsonValue::object();
    for (const std::string& key : value.keys()) {
        if (key != "handle") result.set(key, withoutHandles(value.get(key)));
    }
    return result;
}

}  // namespace

bool readKernelTableListing(const std::string& json, KernelTableListing& listing,
                            std::string& error) {
    listing = {};
    if (json.find_first_not_of(" \t\r\n") == std::string::npos) return true;
    JsonValue root;
    if (!JsonParse(json, root, error)) return false;
    const JsonValue& items = root.get("nftables");
    if (!items.isArray()) {
        error = "the nft listing has no \"nftables\" array";
        return false;
    }
    JsonValue table = JsonValue::array();
    for (std::size_t i = 0; i < items.size(); ++i) {
        const JsonValue& item = items.at(i);
        if (item.has("metainfo")) continue;
        if (item.has("table")) listing.present = true;
        const std::string comment = item.get("rule").get("comment").asString();
        if (listing.mark.empty() && comment.starts_with(kNftMarkPrefix)) listing.mark = comment;
        table.push(withoutHandles(item));
    }
    const std::string text = JsonDump(table);
    listing.fingerprint = HexEncode(Sha256(Bytes(text.begin(), text.end())));
    return true;
}

}  // namespace vel::firewall
