#include "gate/gate_service.h"

#include <unistd.h>

#include "core/time.h"
#include "core/version.h"
#include "firewall/firewall.h"
#include "gate/endpoints.h"
#include "gate/service_runtime.h"
#include "gate/tls_pair.h"
#include "os/log.h"
#include "os/paths.h"

namespace vel::gate {

GateService::GateService(std::string dataDirectory)
    : dataDirectory_(std::move(dataDirectory)),
      firewallStore_(dataDirectory_),
      guard_(std::make_unique<SessionGuard>(store_, firewallStore_, nft_, dataDirectory_)),
      streams_(
          [this] {
              const GateConfig config = store_.config();
              return StreamSettings{config.streamEnabled, config.streamPort,
                                    config.streamVoiceDevice};
          },
          *guard_, ExecutablePath()) {}

GateService::~GateService() { stop(); }

void GateService::logEnforcement() {
    bool enforced = false;
    std::string error;
    const bool read = firewallStore_.read(
        [&enforced](const firewall::FirewallPolicy& policy, std::string&) {
            enforced = policy.enforcement.enabled;
            return true;
        },
        error);
    if (!read) {
        Log(LogLevel::Warn, "cannot read the firewall rule store: %s", error.c_str());
    } else if (enforced) {
        Log(LogLevel::Info, "firewall rules are enforced with nftables (table inet velmora)");
    } else {
        Log(LogLevel::Warn,
            "firewall rules are kept but not enforced: nftables enforcement is off. Run 'Velmora.exe setup' to "
            "switch it on.");
    }
}

void GateService::projectStoredRules() {
    firewall::Firewall firewall(firewallStore_, nft_);
    std::string error;
    if (!firewall.reproject(error)) {
        Log(LogLevel::Error, "the firewall rules could not be enforced: %s", error.c_str());
    }
}

bool GateService::startup(std::string& error) {
    const std::string executable = ExecutablePath();
    Log(LogLevel::Info, "Velmora %s (build %s) starting, file %s", kProgramVersion, kBuildId, executable.c_str());
    static_cast<void>(WriteServiceRuntime(
        dataDirectory_, {kProgramVersion, kBuildId, executable, ::getpid(), UnixNow()}));

    // Before anything can fail: a gate that cannot start leaves the kernel as the store says.
    projectStoredRules();
    if (!store_.load(JoinPath(dataDirectory_, "gate.json"), error)) return false;
    GateConfig config = store_.config();
    countryFilter_.configure(JoinPath(dataDirectory_, "geoip.csv"), config.allowedCountries,
                             config.allowPrivateAddresses);
    if (!guard_->start(error)) return false;
    logEnforcement();
    if (!streams_.start(error)) {
        guard_->stop();
        return false;
    }

    {
        std::lock_guard lock(stopMutex_);
        stopRequested_ = false;
    }

    HttpServerConfig server;
    server.port = config.listenPort;
    server.largeBodyPaths = {"/v1/update/push"};
    if (config.certThumbprint.empty()) {
        Log(LogLevel::Warn,
            "no TLS certificate is bound; listening over plain HTTP. Run 'Velmora.exe setup' to generate and "
            "bind a certificate.");
    } else {
        TlsPair pair;
        if (!LoadTlsPair(dataDirectory_, config.certThumbprint, pair, error)) {
            streams_.stopAllStreams();
            guard_->stop();
            return false;
        }
        server.tls = std::move(pair);
    }
    if (!http_.start(server, [this](const HttpRequest& request, HttpResponse& response) {
            RouteRequest(*this, request, response);
        }, error)) {
        streams_.stopAllStreams();
        guard_->stop();
        return false;
    }
    started_ = true;
    Log(LogLevel::Info, "gate ready on port %u, %zu credential(s) enrolled, grant window %ds",
        unsigned(config.listenPort), store_.activeCredentialCount(), config.grantSeconds);
    return true;
}

void GateService::stop() {
    if (started_.exchange(false)) {
        http_.stop();
        streams_.stopAllStreams();
        guard_->stop();
        Log(LogLevel::Info, "gate stopped");
    } else {
        streams_.stopAllStreams();
        guard_->stop();
    }
}

void GateService::waitForStop() {
    std::unique_lock lock(stopMutex_);
    stopSignal_.wait(lock, [this] { return stopRequested_; });
}

void GateService::requestStop() {
    std::lock_guard lock(stopMutex_);
    stopRequested_ = true;
    stopSignal_.notify_all();
}

}  // namespace vel::gate
