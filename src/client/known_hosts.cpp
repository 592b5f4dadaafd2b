#include "client/known_hosts.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>

#include "os/files.h"
#include "core/json.h"
#include "os/paths.h"
#include "os/system_error.h"

namespace vel::client {

namespace {

std::string directoryOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

// The folder holds the list of gates and keys of this account: readable by its owner only.
bool ensurePrivateDirectory(const std::string& directory, std::string& error) {
    const std::string parent = directoryOf(directory);
    if (!EnsureDirectory(parent)) {
        error = FailedText("creating " + parent, errno);
        return false;
    }
    if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
        error = FailedText("creating " + directory, errno);
        return false;
    }
    return true;
}

}  // namespace

std::string DefaultKnownHostsPath() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    std::string base;
    if (config != nullptr && config[0] == '/') {
        base = config;
    } else {
        const char* home = std::getenv("HOME");
        if (home == nullptr || home[0] != '/') return {};
        base = JoinPath(home, ".config");
    }
    return JoinPath(JoinPath(base, "velmora"), "hosts.json");
}

bool KnownHosts::load(std::string& error) {
    hosts_.clear();
    std::string text;
    if (!ReadFileText(path_, text)) {
        if (!FileExists(path_)) return true;
        error = FailedText("reading " + path_, errno);
        return false;
    }
    JsonValue document;
    std::string reason;
    if (!JsonParse(text, document, reason) || !document.get("hosts").isArray()) {
        error = path_ + " is damaged (" + (reason.empty() ? "no \"hosts\" list" : reason) +
                "); repair or remove it";
        return false;
    }
    const JsonValue& list = document.get("hosts");
    for (std::size_t i = 0; i < list.size(); ++i) {
        const JsonValue& item = list.at(i);
        KnownHost host;
        host.address = item.get("address").asString();
        host.fingerprint = item.get("fingerprint").asString();
        host.machine = item.get("machine").asString();
        if (host.address.empty() || host.fingerprint.empty()) {
            error = path_ + " is damaged (entry " + std::to_string(i + 1) +
                    " has no address or fingerprint); repair or remove it";
            hosts_.clear();
            return false;
        }
        const JsonValue& keys = item.get("keys");
        for (std::size_t k = 0; k < keys.size(); ++k) {
            host.keys.push_back({keys.at(k).get("credentialId").asString(),
                                 keys.at(k).get("label").asString(),
                                 keys.at(k).get("enrolledAt").asInt()});
        }
        hosts_.push_back(std::move(host));
    }
    return true;
}

bool KnownHosts::save(std::string& error) const {
    JsonValue list = JsonValue::array();
    for (const KnownHost& host : hosts_) {
        JsonValue keys = JsonValue::array();
        for (const EnrolledKey& key : host.keys) {
            JsonValue item = JsonValue::object();
            item.set("credentialId", key.credentialId);
            item.set("label", key.label);
            item.set("enrolledAt", key.enrolledAt);
            keys.push(item);
        }
        JsonValue item = JsonValue::object();
        item.set("address", host.address);
        item.set("fingerprint", host.fingerprint);
        item.set("machine", host.machine);
        item.set("keys", keys);
        list.push(item);
    }
    JsonValue document = JsonValue::object();
    document.set("version", 1);
    document.set("hosts", list);
    if (!ensurePrivateDirectory(directoryOf(path_), error)) return false;
    if (!WriteFileAtomic(path_, JsonDump(document, 2) + "\n")) {
        error = FailedText("writing " + path_, errno);
        return false;
    }
    // An older file keeps its mode through the replacement; this one is private whatever it was.
    if (::chmod(path_.c_str(), 0600) != 0) {
        error = FailedText("chmod " + path_, errno);
        return false;
    }
    return true;
}

const KnownHost* KnownHosts::find(const std::string& address) const {
    for (const KnownHost& host : hosts_) {
        if (host.address == address) return &host;
    }
    return nullptr;
}

KnownHost& KnownHosts::entry(const std::string& address) {
    for (KnownHost& host : hosts_) {
        if (host.address == address) return host;
    }
    hosts_.push_back(KnownHost{address, {}, {}, {}});
    return hosts_.back();
}

void KnownHosts::trust(const std::string& address, const std::string& fingerprint,
                       const std::string& machine) {
    KnownHost& host = entry(address);
    host.fingerprint = fingerprint;
    if (!machine.empty()) host.machine = machine;
}

void KnownHosts::addKey(const std::string& address, const EnrolledKey& key) {
    KnownHost& host = entry(address);
    for (EnrolledKey& existing : host.keys) {
        if (existing.credentialId == key.credentialId) {
            existing = key;
            return;
        }
    }
    host.keys.push_back(key);
}

}  // namespace vel::client
