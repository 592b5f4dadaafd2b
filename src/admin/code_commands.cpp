#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "admin/admin_commands.h"
#include "core/json.h"
#include "core/time.h"
#include "gate/cose_key.h"
#include "gate/enrollment_codes.h"
#include "os/files.h"
#include "os/local_addresses.h"
#include "os/paths.h"

namespace vel::admin {

using gate::CheckCredentialKey;
using gate::Credential;
using gate::GateConfig;
using gate::GateStore;
using gate::NormalizeEnrollmentCode;

namespace {

constexpr long kDefaultTtlMinutes = 15;
constexpr long kMaxTtlMinutes = 1440;

std::string format(const char* pattern, auto... values) {
    char buffer[256];
    std::snprintf(buffer, sizeof buffer, pattern, values...);
    return buffer;
}

long parseTtlMinutes(int argc, char** argv) {
    long minutes = kDefaultTtlMinutes;
    for (int i = 2; i + 1 < argc; ++i) {
        if (SameOption(argv[i], "--ttl")) minutes = std::strtol(argv[i + 1], nullptr, 10);
    }
    return std::clamp(minutes, 1L, kMaxTtlMinutes);
}

std::string joined(const std::vector<std::string>& items, const std::string& separator) {
    std::string text;
    for (const std::string& item : items) text += (text.empty() ? "" : separator) + item;
    return text;
}

// An enrollment-code document: its expiry when it holds a hash, else 0. Unlike the store, an
// expired code still counts here, so that its expiry can be reported.
std::int64_t codeExpiry(const JsonValue& document) {
    if (!document.isObject() || document.get("hash").asString().empty()) return 0;
    return document.get("expiresAt").asInt();
}

JsonValue readJson(const std::string& path) {
    std::string text;
    JsonValue json;
    if (!ReadFileText(path, text) || !JsonParse(text, json)) return JsonValue();
    return json;
}

// What gate.json itself holds of a code: older builds kept it there instead of beside it.
std::string codeHeldBy(const JsonValue& gate) {
    if (!gate.isObject()) return "none";
    const JsonValue& older = gate.get("enrollmentCode");
    if (older.isString()) return older.asString();
    for (const JsonValue* document : {&older, &gate}) {
        if (document->has("hash") || document->has("expiresAt")) {
            return "hash, valid until " + FormatLocalTime(document->get("expiresAt").asInt());
        }
    }
    return "none";
}

}  // namespace

std::string codeInsideGateJson(const std::string& dataDirectory) {
    return codeHeldBy(readJson(JoinPath(dataDirectory, "gate.json")));
}

int CmdCode(int argc, char** argv, const LineWriter& out) {
    if (!RequireElevation(out)) return 1;
    const long minutes = parseTtlMinutes(argc, argv);
    GateStore store;
    std::string error;
    if (!LoadGateStore(store, error)) {
        out("ERROR: " + error);
        return 1;
    }
    const std::string code = store.issueEnrollmentCode(minutes * 60, error);
    if (code.empty()) {
        out("ERROR: " + error);
        return 1;
    }
    const GateConfig config = store.config();
    std::vector<std::string> addresses;
    for (const net::IpAddress& address : LocalIpv4Addresses()) {
        addresses.push_back(net::formatIpAddress(address));
    }
    out("");
    out("  Enrollment code: " + code);
    out(format("  Valid for:       %ld min.", minutes));
    out("  Machine:         " + config.machineName);
    if (!addresses.empty()) {
        out("  Address (IP):    " + joined(addresses, ", "));
        out("                   (in the client, enter the IP, not the machine name)");
    }
    out(format("  Gate port:       %u", static_cast<unsigned>(config.listenPort)));
    out("  Thumbprint:      " + config.certThumbprint);
    out("");
    out("  Code written to: " + JoinPath(DataDirectory(), "enrollment.json"));
    out("  Issued by: " + ExecutablePath());
    out("");
    out("  The service re-reads the code on every request, no restart is");
    out("  needed. But it must be the SAME version as this program —");
    out("  otherwise it looks for the code in a different place.");
    out("  Verify:  Velmora.exe check-code " + code);
    out("");
    return 0;
}

int CmdCheckCode(int argc, char** argv, const LineWriter& out) {
    if (argc < 3) {
        out("Specify a code: Velmora.exe check-code 7KQ3-M9XA-4TRP");
        return 1;
    }
    const std::string typed = argv[2];
    const std::string directory = DataDirectory();
    out("Enrollment code check");
    out("=====================");
    out("  This machine: " + ComputerName());
    out("  Directory:    " + directory);
    GateStore store;
    std::string error;
    if (!LoadGateStore(store, error)) {
        out("  [PROBLEM] store could not be read: " + error);
        return 1;
    }
    const std::string enrollmentPath = JoinPath(directory, "enrollment.json");
    const bool filePresent = FileExists(enrollmentPath);
    const JsonValue gateJson = readJson(JoinPath(directory, "gate.json"));
    out(std::string("  enrollment.json: ") + (filePresent ? "present" : "MISSING"));
    out("  code inside gate.json: " + codeHeldBy(gateJson));

    // The same place the store reads the code from: enrollment.json, else the older member.
    const std::int64_t expiresAt = filePresent ? codeExpiry(readJson(enrollmentPath))
                                               : codeExpiry(gateJson.get("enrollmentCode"));
    if (expiresAt == 0) {
        out("  [CAUSE] No issued code exists on this machine.");
        out("  Either the code was issued on another machine, or it was already used.");
        out("  Issue a new one:  Velmora.exe code");
        return 0;
    }
    out("  Code valid until: " + FormatLocalTime(expiresAt));
    const std::int64_t now = UnixNow();
    if (expiresAt <= now) {
        out(format("  [CAUSE] the code expired %lld min. ago.",
                   static_cast<long long>((now - expiresAt) / 60)));
        out("  A code lives 15 minutes. Issue a new one:  Velmora.exe code");
        return 0;
    }
    out(format("  Remaining: %lld min.", static_cast<long long>((expiresAt - now) / 60)));
    out("  Entered:       " + typed);
    out("  After parsing: " + NormalizeEnrollmentCode(typed));
    if (store.checkEnrollmentCode(typed)) {
        out("  [OK] The code is correct and active.");
        PrintVersionCheck(out);
        return 0;
    }
    out("  [CAUSE] The code does not match the one stored on this machine.");
    out("  An active code exists, but it is a different one. Usually this means");
    out("  the 'code' command was run again after this code was issued —");
    out("  each issuance invalidates the previous one.");
    out("  Issue a new one and use exactly that:  Velmora.exe code");
    return 0;
}

int CmdKeys(int, char**, const LineWriter& out) {
    GateStore store;
    std::string error;
    if (!LoadGateStore(store, error)) {
        out("ERROR: " + error);
        return 1;
    }
    const std::vector<Credential> credentials = store.credentials();
    if (credentials.empty()) {
        out("No keys enrolled.");
        return 0;
    }
    for (std::size_t i = 0; i < credentials.size(); ++i) {
        const Credential& key = credentials[i];
        out(format("  [%zu] %s", i + 1, key.label.c_str()));
        out("      id:        " + key.id.substr(0, 24) + "...");
        out("      added:     " + FormatLocalTime(key.createdAt));
        out("      uses:      " + std::to_string(key.useCount) + ", last " +
            (key.lastUsedAt == 0 ? std::string("never") : FormatLocalTime(key.lastUsedAt)));
        out(format("      counter:   %u", static_cast<unsigned>(key.signCount)));
        std::string unusable;
        if (!CheckCredentialKey(key.publicKey, unusable)) {
            out("      UNUSABLE:  " + unusable + "; the gate refuses this key");
        }
    }
    return 0;
}

int CmdRemoveKey(int argc, char** argv, const LineWriter& out) {
    if (!RequireElevation(out)) return 1;
    if (argc < 3) {
        out("Specify a key number: Velmora.exe remove-key 1");
        return 1;
    }
    GateStore store;
    std::string error;
    if (!LoadGateStore(store, error)) {
        out("ERROR: " + error);
        return 1;
    }
    const std::vector<Credential> credentials = store.credentials();
    char* end = nullptr;
    const long number = std::strtol(argv[2], &end, 10);
    if (end == argv[2] || *end != '\0' || number < 1 ||
        static_cast<std::size_t>(number) > credentials.size()) {
        out("No key with that number.");
        return 1;
    }
    if (credentials.size() == 1) {
        out("WARNING: this is the last key. Once it is removed, nobody will be");
        out("able to connect over RDP until a new key is enrolled.");
    }
    const Credential& key = credentials[static_cast<std::size_t>(number) - 1];
    if (!store.removeCredential(key.id)) {
        out("Failed to remove the key.");
        return 1;
    }
    out("Key '" + key.label + "' removed.");
    return 0;
}

}  // namespace vel::admin
