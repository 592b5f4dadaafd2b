#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "core/crypto.h"
#include "core/encoding.h"
#include "core/time.h"
#include "core/version.h"
#include "gate/api_response.h"
#include "gate/endpoints.h"
#include "gate/gate_service.h"
#include "gate/program_version.h"
#include "gate/update_launch.h"
#include "os/files.h"
#include "os/log.h"
#include "os/paths.h"
#include "os/system_error.h"

namespace vel::gate {

namespace {

constexpr std::size_t kMinPayload = 65'536;
constexpr std::size_t kMaxPayload = 8'388'608;
constexpr std::uint8_t kElfMagic[] = {0x7F, 'E', 'L', 'F'};

bool isElf(const Bytes& data) {
    return data.size() >= sizeof(kElfMagic) &&
           std::memcmp(data.data(), kElfMagic, sizeof(kElfMagic)) == 0;
}

// Only A-F are folded: any other character already fails the comparison.
std::string lowerHex(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

}  // namespace

void HandleUpdatePush(GateService& gate, const HttpRequest& request, const JsonValue& body,
                      HttpResponse& response) {
    const std::string& address = request.remoteAddress;
    SessionGuard& guard = gate.guard();
    if (!guard.rateLimitAllows(address)) {
        return SendError(response, 429, "rate_limited", "too many attempts from this address");
    }
    // The token is spent here, whatever a later check decides.
    if (!gate.updateTokens().consume(body.get("token").asString(), address, UnixNow())) {
        guard.recordFailure(address);
        return SendError(response, 403, "bad_update_token",
                         "the update token is missing, expired or already used");
    }

    const std::string version = body.get("version").asString();
    if (!IsVersionText(version))
        return SendError(response, 400, "bad_request", "the version string is malformed");
    if (CompareVersions(version, kProgramVersion) <= 0) {
        return SendError(
            response, 400, "update_rejected",
            "version " + version + " is not newer than the running " + kProgramVersion);
    }
    Bytes data;
    if (!Base64Decode(body.get("data").asString(), data) || data.size() < kMinPayload ||
        data.size() > kMaxPayload) {
        return SendError(response, 400, "bad_request",
                         "the binary payload is missing or oversized");
    }
    if (!isElf(data))
        return SendError(response, 400, "update_rejected", "the payload is not a Linux executable");
    const std::string sha256 = lowerHex(body.get("sha256").asString());
    if (sha256 != HexEncode(Sha256(data))) {
        return SendError(response, 400, "update_rejected", "the SHA-256 checksum does not match");
    }

    const std::string folder = JoinPath(gate.dataDirectory(), "update");
    const std::string staged = JoinPath(folder, "Velmora-" + version + ".exe");
    if (!EnsureDirectory(folder) || !WriteFileAtomic(staged, data.data(), data.size())) {
        return SendError(response, 500, "internal_error",
                         "the update could not be staged: " + SystemErrorText(errno));
    }
    // The staged copy is started as a program.
    if (::chmod(staged.c_str(), 0700) != 0) {
        return SendError(response, 500, "internal_error",
                         "the update could not be staged: " + SystemErrorText(errno));
    }
    std::string error;
    if (!LaunchUpdateApply(staged, error)) {
        Log(LogLevel::Error, "update %s staged but the installer did not start: %s",
            version.c_str(), error.c_str());
        return SendError(response, 500, "internal_error", "the update installer did not start");
    }
    Log(LogLevel::Info,
        "update to %s accepted from %s (%zu bytes, sha256 %s); the installer will restart the "
        "service",
        version.c_str(), address.c_str(), data.size(), sha256.c_str());
    JsonValue answer = OkObject();
    answer.set("staged", true);
    answer.set("gateVersion", kProgramVersion);
    answer.set("updatingTo", version);
    SendJson(response, 200, answer);
}

}  // namespace vel::gate
