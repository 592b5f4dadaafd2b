#include "gate/gate_store.h"

#include <openssl/crypto.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <ctime>

#include "core/encoding.h"
#include "core/json.h"
#include "core/time.h"
#include "gate/cose_key.h"
#include "os/file_lock.h"
#include "os/files.h"
#include "os/log.h"
#include "os/paths.h"
#include "os/system_error.h"

namespace vel::gate {

namespace {

constexpr std::size_t kGateIdBytes = 16;

std::string ComputerName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "unknown";
    const std::string host(name);
    return host.substr(0, host.find('.'));
}

std::string DirectoryOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The clock file modification times are stamped with.
std::int64_t RealTimeNs() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

std::string_view TextOf(const Bytes& data) {
    return {reinterpret_cast<const char*>(data.data()), data.size()};
}

}  // namespace

bool IsServiceUnitName(const std::string& name) {
    constexpr std::string_view kSuffix = ".service";
    if (name.size() <= kSuffix.size() || name.size() > 255 || name.front() == '-' ||
        !name.ends_with(kSuffix)) {
        return false;
    }
    return std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 ||
               std::string_view(":-_.@\\").find(c) != std::string_view::npos;
    });
}

namespace {

void ReadConfig(const JsonValue& json, GateConfig& config) {
    if (!json.isObject()) return;
    config.listenPort = static_cast<std::uint16_t>(json.get("listenPort").asInt(config.listenPort));
    config.rdpPort = static_cast<std::uint16_t>(json.get("rdpPort").asInt(config.rdpPort));
    config.grantSeconds = static_cast<std::int32_t>(std::clamp<std::int64_t>(
        json.get("grantSeconds").asInt(config.grantSeconds), kMinGrantSeconds, kMaxGrantSeconds));
    config.requireUserVerification =
        json.get("requireUserVerification").asBool(config.requireUserVerification);
    config.bindGrantToSourceIp = json.get("bindGrantToSourceIp").asBool(config.bindGrantToSourceIp);
    config.certThumbprint = json.get("certThumbprint").asString(config.certThumbprint);
    config.gateId = json.get("gateId").asString(config.gateId);
    const JsonValue& machineName = json.get("machineName");
    if (machineName.isString() && !machineName.stringValue().empty()) {
        config.machineName = machineName.stringValue();
    }
    config.allowPrivateAddresses =
        json.get("allowPrivateAddresses").asBool(config.allowPrivateAddresses);
    config.streamEnabled = json.get("streamEnabled").asBool(config.streamEnabled);
    const std::int64_t streamPort = json.get("streamPort").asInt(config.streamPort);
    if (streamPort >= 1 && streamPort <= 65535) {
        config.streamPort = static_cast<std::uint16_t>(streamPort);
    }
    config.streamVoiceDevice = json.get("streamVoiceDevice").asString(config.streamVoiceDevice);
    const JsonValue& countries = json.get("allowedCountries");
    for (std::size_t i = 0; countries.isArray() && i < countries.size(); ++i) {
        std::string code = countries.at(i).asString();
        if (code.size() != 2) continue;
        for (char& c : code) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        config.allowedCountries.insert(std::move(code));
    }
    const std::string rdpService = json.get("rdpService").asString(config.rdpService);
    if (IsServiceUnitName(rdpService)) config.rdpService = rdpService;
}

void ReadCredentials(const JsonValue& json, std::vector<Credential>& out) {
    for (std::size_t i = 0; json.isArray() && i < json.size(); ++i) {
        const JsonValue& entry = json.at(i);
        Credential credential;
        credential.id = entry.get("id").asString();
        if (credential.id.empty()) continue;
        if (!CoseKeyFromJson(entry.get("publicKey"), credential.publicKey)) {
            Log(LogLevel::Warn, "credential %s has an unreadable public key; skipped",
                credential.id.c_str());
            continue;
        }
        credential.signCount = static_cast<std::uint32_t>(entry.get("signCount").asInt(0));
        credential.label = entry.get("label").asString();
        credential.aaguid = entry.get("aaguid").asString();
        credential.createdAt = entry.get("createdAt").asInt(0);
        credential.lastUsedAt = entry.get("lastUsedAt").asInt(0);
        credential.useCount = entry.get("useCount").asInt(0);
        credential.disabled = entry.get("disabled").asBool(false);
        out.push_back(std::move(credential));
    }
}

JsonValue ConfigToJson(const GateConfig& config) {
    JsonValue json = JsonValue::object();
    json.set("listenPort", static_cast<int>(config.listenPort));
    json.set("rdpPort", static_cast<int>(config.rdpPort));
    json.set("grantSeconds", config.grantSeconds);
    json.set("requireUserVerification", config.requireUserVerification);
    json.set("bindGrantToSourceIp", config.bindGrantToSourceIp);
    json.set("certThumbprint", config.certThumbprint);
    json.set("gateId", config.gateId);
    json.set("machineName", config.machineName);
    json.set("allowPrivateAddresses", config.allowPrivateAddresses);
    json.set("streamEnabled", config.streamEnabled);
    json.set("streamPort", static_cast<int>(config.streamPort));
    json.set("streamVoiceDevice", config.streamVoiceDevice);
    JsonValue countries = JsonValue::array();
    for (const std::string& code : config.allowedCountries) countries.push(code);
    json.set("allowedCountries", std::move(countries));
    json.set("rdpService", config.rdpService);
    return json;
}

JsonValue CredentialToJson(const Credential& credential) {
    JsonValue json = JsonValue::object();
    json.set("id", credential.id);
    json.set("publicKey", CoseKeyToJson(credential.publicKey));
    json.set("signCount", static_cast<std::int64_t>(credential.signCount));
    json.set("label", ValidUtf8(credential.label));
    json.set("aaguid", credential.aaguid);
    json.set("createdAt", credential.createdAt);
    json.set("lastUsedAt", credential.lastUsedAt);
    json.set("useCount", credential.useCount);
    if (credential.disabled) json.set("disabled", true);
    return json;
}

bool SameKey(const CoseKey& a, const CoseKey& b) {
    return a.alg == b.alg && a.crv == b.crv && a.x == b.x && a.y == b.y && a.n == b.n && a.e == b.e;
}

// Reads gate.json; missing is set (and true returned) when it does not exist. The identity is
// taken before the read, so a replacement in between is read again next time, never missed.
bool ReadDocument(const std::string& path, GateConfig& config, std::vector<Credential>& credentials,
                  FileIdentity& identity, bool& missing, std::string& error) {
    missing = false;
    errno = 0;
    if (!IdentifyFile(path, identity)) {
        // Only a file that is certainly absent may be created with the defaults.
        missing = errno == ENOENT;
        if (missing) return true;
    }
    Bytes data;
    if (!ReadFileBytes(path, data)) {
        const int code = errno;
        error = "cannot read " + path + ": " +
                (code != 0 ? SystemErrorText(code) : "not a regular file of at most 64 MiB");
        return false;
    }
    JsonValue root;
    if (!JsonParse(TextOf(data), root) || !root.isObject()) {
        error = "gate.json is corrupt or not an object";
        return false;
    }
    ReadConfig(root.get("config"), config);
    ReadCredentials(root.get("credentials"), credentials);
    return true;
}

}  // namespace

bool GateStore::load(const std::string& path, std::string& error) {
    std::lock_guard writing(writeMutex_);
    std::unique_lock lock(mutex_);
    path_ = path;
    lockPath_ = JoinPath(DirectoryOf(path), "gate.lock");
    enrollmentPath_ = JoinPath(DirectoryOf(path), "enrollment.json");
    config_ = defaults();
    credentials_.clear();
    identity_ = FileIdentity{};
    unreadable_ = FileIdentity{};
    enrollment_ = EnrollmentState{};
    enrollmentSource_ = EnrollmentSource{};
    writeRefused_ = false;
    // Writers killed mid-write leave them behind; a store that is only read would keep them.
    RemoveStaleTemporaries(path_);
    RemoveStaleTemporaries(enrollmentPath_);

    Document document{defaults(), {}};
    bool missing = false;
    FileIdentity identity;
    if (!ReadDocument(path, document.config, document.credentials, identity, missing, error)) {
        writeRefused_ = true;
        return false;
    }
    // A first start: the defaults and a fresh gate id become the file, so every process that
    // reads it holds the same id from the start.
    if (missing) {
        config_.gateId = HexEncode(RandomBytes(kGateIdBytes));
        return update(lock, [](Document&) { return true; }, error);
    }
    config_ = document.config;
    adopt(document, identity);
    reloadEnrollment();

    if (config_.gateId.size() != 32) {
        const std::string fresh = HexEncode(RandomBytes(kGateIdBytes));
        std::string saveError;
        // Another process may assign one at the same moment; the first one on disk stays.
        const bool saved = update(
            lock,
            [&](Document& disk) {
                if (disk.config.gateId.size() == 32) return false;
                disk.config.gateId = fresh;
                return true;
            },
            saveError);
        if (saved) {
            Log(LogLevel::Info, "assigned gate id %s", config_.gateId.c_str());
        } else {
            Log(LogLevel::Warn, "failed to save the gate id: %s", saveError.c_str());
        }
    }

    Log(LogLevel::Info, "loaded gate store: %zu credential(s), port %u, grant %ds",
        credentials_.size(), static_cast<unsigned>(config_.listenPort), config_.grantSeconds);
    return true;
}

GateConfig GateStore::defaults() const {
    GateConfig config;
    config.machineName = ComputerName();
    return config;
}

bool GateStore::update(std::unique_lock<std::mutex>& lock,
                       const std::function<bool(Document&)>& change, std::string& error) {
    if (writeRefused_) {
        error = path_ + " could not be loaded; it is left as it is";
        return false;
    }
    // Another process may hold the file lock for as long as it likes; readers do not wait for it.
    const std::string lockPath = lockPath_;
    lock.unlock();
    FileLock fileLock;
    const bool locked = fileLock.acquire(lockPath, LockMode::Exclusive, error);
    lock.lock();
    if (!locked) return false;
    Document document{defaults(), {}};
    FileIdentity identity;
    bool missing = false;
    if (!ReadDocument(path_, document.config, document.credentials, identity, missing, error)) {
        return false;
    }
    // A file deleted under a running process is written again from what it knew.
    if (missing) document = Document{config_, credentials_};
    if (!change(document)) {
        if (!missing) adopt(document, identity);
        return true;
    }

    JsonValue root = JsonValue::object();
    root.set("version", 1);
    root.set("config", ConfigToJson(document.config));
    JsonValue credentials = JsonValue::array();
    for (const Credential& credential : document.credentials)
        credentials.push(CredentialToJson(credential));
    root.set("credentials", std::move(credentials));
    const std::string text = JsonDump(root, 2);
    const std::string path = path_;
    // The durable write can take a disk's whole journal commit; readers go on meanwhile with the
    // version in memory, or the new file once it is in place.
    lock.unlock();
    const bool written = WriteFileAtomic(path, text);
    const int writeError = errno;
    if (written && !IdentifyFile(path, identity)) identity = FileIdentity{};
    lock.lock();
    if (!written) {
        error = "cannot write " + path + ": " + SystemErrorText(writeError);
        return false;
    }
    adopt(document, identity);
    return true;
}

void GateStore::adopt(const Document& document, const FileIdentity& identity) const {
    credentials_ = document.credentials;
    if (document.config.gateId.size() == 32) config_.gateId = document.config.gateId;
    identity_ = identity;
}

void GateStore::refresh() const {
    FileIdentity current;
    if (path_.empty() || writeRefused_ || !IdentifyFile(path_, current) || current == identity_) {
        return;
    }
    Document document{defaults(), {}};
    FileIdentity identity;
    bool missing = false;
    std::string error;
    if (!ReadDocument(path_, document.config, document.credentials, identity, missing, error)) {
        // The keys read last stay in force; a damaged file is reported once per version.
        if (!(current == unreadable_)) {
            Log(LogLevel::Warn,
                "gate.json changed but cannot be read (%s); keeping the keys read before",
                error.c_str());
            unreadable_ = current;
        }
        return;
    }
    if (!missing) adopt(document, identity);
}

bool GateStore::save(std::string& error) {
    std::lock_guard writing(writeMutex_);
    std::unique_lock lock(mutex_);
    return update(
        lock,
        [this](Document& disk) {
            const std::string gateId = disk.config.gateId;
            disk.config = config_;
            if (gateId.size() == 32) disk.config.gateId = gateId;
            return true;
        },
        error);
}

GateConfig GateStore::config() const {
    std::lock_guard lock(mutex_);
    return config_;
}

void GateStore::setConfig(const GateConfig& config) {
    std::lock_guard lock(mutex_);
    config_ = config;
}

std::vector<Credential> GateStore::credentials() const {
    std::lock_guard lock(mutex_);
    refresh();
    return credentials_;
}

GuardPolicy GateStore::guardPolicy() const {
    const GateConfig current = config();
    return GuardPolicy{current.listenPort, current.rdpPort, current.grantSeconds,
                       current.bindGrantToSourceIp, current.streamPort};
}

std::size_t GateStore::activeCredentialCount() const {
    std::lock_guard lock(mutex_);
    refresh();
    return static_cast<std::size_t>(std::count_if(credentials_.begin(), credentials_.end(),
                                                  [](const Credential& c) { return !c.disabled; }));
}

bool GateStore::findCredential(const std::string& id, Credential& out) const {
    std::lock_guard lock(mutex_);
    refresh();
    for (const Credential& credential : credentials_) {
        if (credential.id != id) continue;
        out = credential;
        return !credential.disabled;
    }
    return false;
}

AddCredentialResult GateStore::addCredential(const Credential& credential, std::string& error) {
    std::lock_guard writing(writeMutex_);
    std::unique_lock lock(mutex_);
    Credential added = credential;
    added.label = Utf8Prefix(ValidUtf8(credential.label), kMaxLabelBytes);
    AddCredentialResult result = AddCredentialResult::Added;
    const bool written = update(
        lock,
        [&](Document& disk) {
            const auto existing =
                std::find_if(disk.credentials.begin(), disk.credentials.end(),
                             [&](const Credential& c) { return c.id == added.id; });
            if (existing == disk.credentials.end()) {
                disk.credentials.push_back(added);
                return true;
            }
            // Credential ids are public; only the holder of the enrolled key may re-enroll it.
            if (!SameKey(existing->publicKey, added.publicKey)) {
                result = AddCredentialResult::Conflict;
                return false;
            }
            existing->label = added.label;
            existing->signCount = added.signCount;
            existing->disabled = false;
            result = AddCredentialResult::Replaced;
            return true;
        },
        error);
    return written ? result : AddCredentialResult::Failed;
}

bool GateStore::removeCredential(const std::string& id) {
    std::lock_guard writing(writeMutex_);
    std::unique_lock lock(mutex_);
    bool found = false;
    std::string error;
    const bool written = update(
        lock,
        [&](Document& disk) {
            const auto existing = std::find_if(disk.credentials.begin(), disk.credentials.end(),
                                               [&](const Credential& c) { return c.id == id; });
            found = existing != disk.credentials.end();
            if (found) disk.credentials.erase(existing);
            return found;
        },
        error);
    return written && found;
}

bool GateStore::recordUse(const std::string& id, std::uint32_t signCount) {
    std::lock_guard writing(writeMutex_);
    std::unique_lock lock(mutex_);
    bool found = false;
    std::string error;
    const bool written = update(
        lock,
        [&](Document& disk) {
            const auto existing = std::find_if(disk.credentials.begin(), disk.credentials.end(),
                                               [&](const Credential& c) { return c.id == id; });
            found = existing != disk.credentials.end();
            if (!found) return false;
            existing->signCount = signCount;
            existing->lastUsedAt = clock_.unixNow();
            ++existing->useCount;
            return true;
        },
        error);
    return written && found;
}

std::string GateStore::issueEnrollmentCode(std::int64_t lifetimeSeconds, std::string& error) {
    std::lock_guard lock(mutex_);
    std::string displayed;
    enrollment_ = NewEnrollmentCode(lifetimeSeconds, clock_.unixNow(), displayed);
    if (!saveEnrollment(error)) {
        enrollment_ = EnrollmentState{};
        OPENSSL_cleanse(displayed.data(), displayed.size());
        return {};
    }
    return displayed;
}

bool GateStore::enrollmentOpen() {
    std::lock_guard lock(mutex_);
    reloadEnrollment();
    return enrollment_.live(clock_.unixNow());
}

std::int64_t GateStore::enrollmentExpiresAt() {
    std::lock_guard lock(mutex_);
    reloadEnrollment();
    return enrollment_.expiresAt;
}

bool GateStore::checkEnrollmentCode(std::string_view code) {
    std::lock_guard lock(mutex_);
    reloadEnrollment();
    return EnrollmentCodeMatches(enrollment_, code, clock_.unixNow());
}

bool GateStore::consumeEnrollmentCode(std::string_view code) {
    std::lock_guard lock(mutex_);
    reloadEnrollment();
    if (!EnrollmentCodeMatches(enrollment_, code, clock_.unixNow())) return false;
    enrollment_ = EnrollmentState{};
    // The code is spent even when its file cannot be deleted; the next issue replaces the file.
    std::string ignored;
    static_cast<void>(saveEnrollment(ignored));
    return true;
}

void GateStore::reloadEnrollment() {
    // Taken before the files are examined: a later replacement is stamped at or after it.
    const std::int64_t examinedAtNs = RealTimeNs();
    EnrollmentSource source;
    if (!IdentifyFile(enrollmentPath_, source.enrollmentFile)) {
        source.enrollmentFile = FileIdentity{};
        if (!IdentifyFile(path_, source.gateFile)) source.gateFile = FileIdentity{};
    }
    const bool unchanged = enrollmentSource_.settled &&
                           source.enrollmentFile == enrollmentSource_.enrollmentFile &&
                           source.gateFile == enrollmentSource_.gateFile;
    if (!unchanged) {
        Bytes data;
        if (ReadFileBytes(enrollmentPath_, data)) {
            static_cast<void>(JsonParse(TextOf(data), source.document));
        } else if (ReadFileBytes(path_, data)) {
            // Older installations kept the code inside gate.json. It is only read from there; the
            // next save of gate.json drops it.
            JsonValue gate;
            if (JsonParse(TextOf(data), gate)) source.document = gate.get("enrollmentCode");
        }
        // File times come from a coarse clock, so a replacement soon after this read could
        // repeat a recent modification time (and a reused inode and the size). Only a version
        // stamped well before the files were examined can be recognised by its identity alone.
        constexpr std::int64_t kSettleNs = 1'000'000'000;
        const std::int64_t newest =
            std::max(source.enrollmentFile.modifiedNs, source.gateFile.modifiedNs);
        source.settled = newest + kSettleNs < examinedAtNs;
        enrollmentSource_ = std::move(source);
    }
    enrollment_ = EnrollmentStateFromJson(enrollmentSource_.document, clock_.unixNow());
}

bool GateStore::saveEnrollment(std::string& error) {
    if (enrollment_.hash.empty()) {
        ::unlink(enrollmentPath_.c_str());
        return true;
    }
    if (!WriteFileAtomic(enrollmentPath_, JsonDump(EnrollmentStateToJson(enrollment_), 2))) {
        error = "failed to write " + enrollmentPath_ + ": " + SystemErrorText(errno);
        return false;
    }
    return true;
}

}  // namespace vel::gate
