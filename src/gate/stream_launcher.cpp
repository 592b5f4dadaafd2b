#include "gate/stream_launcher.h"

#include <openssl/crypto.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "core/crypto.h"
#include "os/log.h"
#include "os/paths.h"
#include "os/system_error.h"
#include "stream/endpoint.h"
#include "stream/launch_params.h"
#include "stream/stream_keys.h"

namespace vel::gate {

namespace {

constexpr std::uint32_t kHandshakeTimeoutMs = 30000;
constexpr int kWatchIntervalMs = 1000;

std::uint32_t randomConnectionId() {
    const Bytes bytes = RandomBytes(4);
    return std::uint32_t(bytes[0]) | std::uint32_t(bytes[1]) << 8 | std::uint32_t(bytes[2]) << 16 |
           std::uint32_t(bytes[3]) << 24;
}

bool fail(std::string& code, std::string& message, const char* theCode, std::string text) {
    code = theCode;
    message = std::move(text);
    return false;
}

stream::LaunchParams launchParams(const StreamOpenRequest& request, std::uint32_t connId,
                                  const stream::SessionKeys& keys, std::uint16_t port,
                                  const std::string& voiceDevice) {
    stream::LaunchParams params;
    params.role = 1;
    params.connId = connId;
    params.keys = keys;
    params.localPort = port;
    if (request.direction != 1) params.candidates = request.candidates;
    params.handshakeTimeoutMs = kHandshakeTimeoutMs;
    params.bias = request.bias;
    params.automatic = request.automatic;
    params.maxFps = request.maxFps;
    params.maxBitrate = request.maxBitrate;
    params.audio = request.audio;
    params.microphone = request.microphone;
    params.injectInput = true;
    params.allowHardware = true;
    params.encoder = request.encoder;
    params.microphoneOutDevice = voiceDevice;
    return params;
}

}  // namespace

StreamLauncher::StreamLauncher(std::function<StreamSettings()> settings, StreamRules& rules,
                               std::string executable, StreamLauncherSeams seams)
    : settings_(std::move(settings)),
      rules_(rules),
      executable_(std::move(executable)),
      seams_(std::move(seams)) {}

StreamLauncher::~StreamLauncher() {
    stopAllStreams();
}

bool StreamLauncher::start(std::string& error) {
    std::lock_guard lock(mutex_);
    if (running_) return true;
    wakeFd_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wakeFd_) {
        error = FailedText("eventfd", errno);
        return false;
    }
    running_ = true;
    stopping_ = false;
    watcher_ = std::thread([this] { watch(); });
    return true;
}

void StreamLauncher::stopAllStreams() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake();
    if (watcher_.joinable()) watcher_.join();
    std::vector<Stream> remaining;
    {
        std::lock_guard lock(mutex_);
        remaining.swap(streams_);
        running_ = false;
    }
    for (Stream& stream : remaining) {
        stream.agent->terminate(kStopGraceMs);
        rules_.removeStreamRule(stream.ruleName);
    }
}

bool StreamLauncher::available() const {
    if (!settings_().enabled || executable_.empty() || !FileExists(executable_)) return false;
    std::lock_guard lock(mutex_);
    return running_ && !stopping_;
}

Bytes StreamLauncher::issueStreamToken(const std::string& sourceAddress) {
    return tokens_.issue(sourceAddress, seams_.clock->unixNow());
}

bool StreamLauncher::consumeStreamToken(std::string_view tokenText,
                                        const std::string& sourceAddress) {
    return tokens_.consume(tokenText, sourceAddress, seams_.clock->unixNow());
}

std::size_t StreamLauncher::runningStreams() {
    std::lock_guard lock(mutex_);
    return streams_.size();
}

std::uint16_t StreamLauncher::reservePort(std::uint16_t basePort) {
    std::lock_guard lock(mutex_);
    if (streams_.size() + reserved_.size() >= kMaxStreams) return 0;
    // The lowest port of the range no stream holds: a stream that ended frees its port for the
    // next, and two streams never share one.
    for (std::size_t i = 0; i < kMaxStreams; ++i) {
        const auto port = static_cast<std::uint16_t>(basePort + i);
        const bool held =
            port == 0 || std::find(reserved_.begin(), reserved_.end(), port) != reserved_.end() ||
            std::any_of(streams_.begin(), streams_.end(),
                        [port](const Stream& s) { return s.port == port; });
        if (!held) {
            reserved_.push_back(port);
            return port;
        }
    }
    return 0;
}

void StreamLauncher::releasePort(std::uint16_t port) {
    std::lock_guard lock(mutex_);
    reserved_.erase(std::find(reserved_.begin(), reserved_.end(), port));
}

bool StreamLauncher::startStream(const StreamOpenRequest& request, StreamOpenResult& result,
                                 std::string& code, std::string& message) {
    const StreamSettings settings = settings_();
    if (!settings.enabled) {
        return fail(code, message, "stream_disabled", "streaming is switched off on this gate");
    }
    if (executable_.empty() || !FileExists(executable_)) {
        return fail(code, message, "stream_start_failed",
                    "the gate executable could not be located to start the stream agent");
    }
    const std::uint16_t port = reservePort(settings.basePort);
    if (port == 0) {
        return fail(code, message, "stream_busy", "too many streams are running on this machine");
    }
    struct Reservation {
        StreamLauncher& launcher;
        std::uint16_t port;
        ~Reservation() { launcher.releasePort(port); }
    } reservation{*this, port};

    stream::StreamKeyPair pair;
    Bytes secret;
    std::string error;
    if (!stream::generateKeyPair(pair, error) || !stream::agree(pair, request.viewerKey, secret, error)) {
        return fail(code, message, "stream_start_failed", "key agreement failed: " + error);
    }
    const Bytes ticket = RandomBytes(32);
    const stream::SessionKeys keys =
        stream::deriveSessionKeys(secret, ticket, pair.publicKey(), request.viewerKey);
    OPENSSL_cleanse(secret.data(), secret.size());
    const std::uint32_t connId = randomConnectionId();

    std::string ruleName;
    if (!rules_.addStreamRule(request.source, port, request.credentialLabel, ruleName, error)) {
        return fail(code, message, "stream_start_failed",
                    "the firewall rule could not be created: " + error);
    }
    std::string parameters = stream::serializeLaunchParams(
        launchParams(request, connId, keys, port, settings.voiceDevice));
    ChildLaunch launch = PlanAgentLaunch(executable_, std::move(parameters), *seams_.sessions,
                                     seams_.environment());
    // The spawner wipes the parameter text, which holds the session keys, once it is handed over.
    std::unique_ptr<RunningChild> agent = seams_.spawner->spawn(std::move(launch), error);
    if (!agent) {
        rules_.removeStreamRule(ruleName);
        return fail(code, message, "stream_start_failed",
                    "the host agent could not be started: " + error);
    }
    const pid_t pid = agent->pid();
    {
        std::lock_guard lock(mutex_);
        if (stopping_) {
            agent->terminate(0);
            rules_.removeStreamRule(ruleName);
            return fail(code, message, "stream_start_failed",
                        "the host agent could not be started: the gate is stopping");
        }
        streams_.push_back({std::move(agent), ruleName, request.sourceAddress,
                            seams_.clock->unixNow(), connId, port});
    }
    wake();

    result.ticket = ticket;
    result.hostKey = pair.publicKey();
    result.connId = connId;
    result.port = port;
    result.agentPid = pid;
    result.hostCandidates.clear();
    if (request.direction != 2) {
        const std::vector<stream::Endpoint> own =
            seams_.interfaces ? stream::hostCandidates(port, *seams_.interfaces)
                              : stream::hostCandidates(port);
        for (const stream::Endpoint& endpoint : own) {
            result.hostCandidates.push_back(stream::toString(endpoint));
        }
    }
    Log(LogLevel::Info, "stream %08X for %s: agent pid %lu on UDP %u, %zu host candidates, direction %d",
        connId, request.sourceAddress.c_str(), static_cast<unsigned long>(pid),
        static_cast<unsigned>(port), result.hostCandidates.size(), request.direction);
    return true;
}

void StreamLauncher::wake() {
    if (!wakeFd_) return;
    const std::uint64_t one = 1;
    static_cast<void>(::write(wakeFd_.get(), &one, sizeof one));
}

void StreamLauncher::watch() {
    for (;;) {
        std::vector<pollfd> fds;
        {
            std::lock_guard lock(mutex_);
            if (stopping_) return;
            fds.push_back({wakeFd_.get(), POLLIN, 0});
            for (const Stream& stream : streams_) {
                fds.push_back({stream.agent->endedFd(), POLLIN, 0});
            }
        }
        // Only this thread removes streams, so every descriptor polled here outlives the poll.
        if (::poll(fds.data(), fds.size(), kWatchIntervalMs) < 0 && errno != EINTR) {
            Log(LogLevel::Error, "stream watcher: %s", FailedText("poll", errno).c_str());
        }
        if ((fds[0].revents & POLLIN) != 0) {
            std::uint64_t count = 0;
            static_cast<void>(::read(wakeFd_.get(), &count, sizeof count));
        }
        reapEnded();
    }
}

void StreamLauncher::reapEnded() {
    const std::int64_t now = seams_.clock->unixNow();
    std::lock_guard lock(mutex_);
    std::erase_if(streams_, [&](Stream& stream) {
        int exitStatus = 0;
        if (!stream.agent->reap(exitStatus)) return false;
        Log(LogLevel::Info, "stream agent pid %lu for %s ended (exit %lu) after %llds",
            static_cast<unsigned long>(stream.agent->pid()), stream.sourceAddress.c_str(),
            static_cast<unsigned long>(exitStatus), static_cast<long long>(now - stream.startedAt));
        rules_.removeStreamRule(stream.ruleName);
        return true;
    });
}

}  // namespace vel::gate
