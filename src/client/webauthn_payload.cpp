#include "client/webauthn_payload.h"

#include "core/encoding.h"
#include "core/json.h"

namespace vel::client {

namespace {

// A CBOR head with the shortest encoding of its argument.
void appendHead(Bytes& out, std::uint8_t major, std::uint64_t argument) {
    const std::uint8_t type = static_cast<std::uint8_t>(major << 5);
    if (argument < 24) {
        out.push_back(static_cast<std::uint8_t>(type | argument));
        return;
    }
    int bytes = argument <= 0xff ? 1 : argument <= 0xffff ? 2 : argument <= 0xffffffff ? 4 : 8;
    out.push_back(static_cast<std::uint8_t>(type | (bytes == 1   ? 24
                                                    : bytes == 2 ? 25
                                                    : bytes == 4 ? 26
                                                                 : 27)));
    for (int shift = (bytes - 1) * 8; shift >= 0; shift -= 8) {
        out.push_back(static_cast<std::uint8_t>(argument >> shift));
    }
}

void appendText(Bytes& out, std::string_view text) {
    appendHead(out, 3, text.size());
    out.insert(out.end(), text.begin(), text.end());
}

}  // namespace

Bytes ClientDataJson(std::string_view type, const Bytes& challenge, std::string_view origin) {
    JsonValue data = JsonValue::object();
    data.set("type", type);
    data.set("challenge", Base64UrlEncode(challenge));
    data.set("origin", origin);
    data.set("crossOrigin", false);
    return BytesOf(JsonDump(data));
}

Bytes NoneAttestationObject(const Bytes& authenticatorData) {
    Bytes out;
    appendHead(out, 5, 3);
    appendText(out, "fmt");
    appendText(out, "none");
    appendText(out, "attStmt");
    appendHead(out, 5, 0);
    appendText(out, "authData");
    appendHead(out, 2, authenticatorData.size());
    out.insert(out.end(), authenticatorData.begin(), authenticatorData.end());
    return out;
}

}  // namespace vel::client
