// Latency of a legitimate authentication (new HTTPS connection, auth/begin, assertion, auth/finish)
// against the real gate, first alone and then under attack, all at once: one address holding (or
// trying to hold) N idle TLS connections, one sending 40 half 12 MB bodies, one 400 slowloris
// heads, and wrk flooding rejected /v1/auth/finish bodies from a fourth.
// Usage: gate_auth_latency [--idle N] [--count N] [--data-parent DIR] [--enforce] path/to/velmora
// Needs root (velmora run) and wrk. Kernel enforcement stays off in the fresh data directory, so
// the host's ruleset is never touched; with --enforce the whole run moves into a network namespace
// of its own, where `velmora harden` switches enforcement on and every grant is projected by nft.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "admin/tls_certificate.h"
#include "core/encoding.h"
#include "core/error.h"
#include "core/json.h"
#include "gate/gate_store.h"
#include "gate/relying_party.h"
#include "os/files.h"
#include "os/paths.h"
#include "os/system_error.h"
#include "support/process.h"
#include "support/software_authenticator.h"
#include "attack_crowd.h"
#include "tls_http_client.h"

namespace vel::bench {
namespace {

using Clock = std::chrono::steady_clock;

// One authentication's milliseconds: the whole and its three steps.
struct Sample {
    double total = 0;
    double handshake = 0;  // TCP connect and TLS handshake
    double begin = 0;      // auth/begin and the key's signature
    double finish = 0;     // auth/finish
};

// The loaded phase is bounded, whatever the gate does.
constexpr auto kLoadedPhaseLimit = std::chrono::seconds(60);
constexpr int kWarmUp = 5;
// Empty members fail the first check of auth/finish: a rejected request that still goes through
// the router, the body parser and the handler, and never counts against the rate limit.
constexpr const char* kMalformedFinish =
    R"({"credentialId":"","authenticatorData":"","clientDataJSON":"","signature":""})";
constexpr const char* kFloodThreads = "2";
constexpr const char* kFloodConnections = "32";
// The key holder speaks from its own address and each attack from another (wrk from 127.0.0.1),
// so that every attack gets the most one address can have.
constexpr std::uint32_t kKeyHolder = 0x7F000002;
constexpr std::uint32_t kIdleHolder = 0x7F000003;
constexpr std::uint32_t kBodySender = 0x7F000004;
constexpr std::uint32_t kSlowHeads = 0x7F000005;
constexpr int kHalfBodies = 40;
constexpr std::size_t kHalfBodyBytes = 6'000'000;
constexpr int kSlowloris = 400;

// A fresh directory for the gate's data and the run's files, removed with everything in it. Its
// parent decides where the gate's durable writes go: a disk, or memory to leave them out.
class WorkDirectory {
  public:
    explicit WorkDirectory(const std::string& parent) {
        std::string pattern = parent + "/velmora-auth-latency-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr)
            throw Error(FailedText("mkdtemp in " + parent, errno));
        path_ = pattern;
    }
    ~WorkDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    WorkDirectory(const WorkDirectory&) = delete;
    WorkDirectory& operator=(const WorkDirectory&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return JoinPath(path_, name); }

  private:
    std::string path_;
};

// A child process with standard output and error in a file; interrupted and reaped at the end.
class Child {
  public:
    Child() = default;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() { interrupt(); }

    bool spawn(std::vector<std::string> argv, const std::vector<std::string>& extraEnv,
               const std::string& outputPath, std::string& error) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputPath.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
        std::vector<std::string> env = test::MergedEnvironment(extraEnv);
        std::vector<char*> argp, envp;
        for (std::string& a : argv) argp.push_back(a.data());
        for (std::string& e : env) envp.push_back(e.data());
        argp.push_back(nullptr);
        envp.push_back(nullptr);
        const int rc = ::posix_spawnp(&pid_, argp[0], &actions, nullptr, argp.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) {
            pid_ = -1;
            error = argv[0] + ": " + std::strerror(rc);
            return false;
        }
        return true;
    }

    bool running() {
        if (pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == pid_) pid_ = -1;
        return pid_ > 0;
    }

    // Ctrl+C, which stops the gate cleanly and makes wrk print its figures.
    void interrupt() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGINT);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

  private:
    pid_t pid_ = -1;
};

std::string dump(std::initializer_list<std::pair<const char*, JsonValue>> members) {
    JsonValue value = JsonValue::object();
    for (const auto& [key, member] : members) value.set(key, member);
    return JsonDump(value);
}

bool postJson(TlsHttpClient& client, const std::string& path, const std::string& body,
              JsonValue& answer, std::string& error) {
    HttpAnswer reply;
    if (!client.post(path, body, reply, error)) return false;
    if (reply.status != 200 || !JsonParse(reply.body, answer)) {
        error = path + " answered " + std::to_string(reply.status) + ": " + reply.body;
        return false;
    }
    return true;
}

bool challengeOf(const JsonValue& answer, Bytes& challenge, std::string& error) {
    if (!Base64Decode(answer.get("challenge").asString(), challenge)) {
        error = "no challenge in " + JsonDump(answer);
        return false;
    }
    return true;
}

class Bench {
  public:
    Bench(const std::string& dataParent, std::string binary, int idleTarget, int authentications,
          bool enforce)
        : dir_(dataParent),
          binary_(std::move(binary)),
          enforce_(enforce),
          idleTarget_(idleTarget),
          authentications_(authentications),
          context_(NewClientContext()) {}

    int run() {
        // Other work on the machine moves these figures more than anything in the gate does.
        double load = 0;
        if (::getloadavg(&load, 1) == 1) loadAverage_ = std::to_string(load).substr(0, 4);
        std::string error;
        if (!context_ || !startGate(error) || !enroll(error)) {
            std::fprintf(stderr, "gate auth latency: %s\n", error.c_str());
            printGateOutput();
            return 1;
        }
        std::vector<Sample> warmUp, quiet, loaded;
        if (!measure(kWarmUp, warmUp, Clock::time_point::max(), error) ||
            !measure(authentications_, quiet, Clock::time_point::max(), error)) {
            std::fprintf(stderr, "gate auth latency without load: %s\n", error.c_str());
            return 1;
        }

        const auto attackStart = Clock::now();
        AttackCrowd crowd(context_.get(), port_,
                          {{"idle", kIdleHolder, idleTarget_, "", 0},
                           {"half bodies", kBodySender, kHalfBodies,
                            "POST /v1/update/push HTTP/1.1\r\nHost: g\r\nContent-Length: "
                            "12000000\r\n\r\n",
                            kHalfBodyBytes},
                           {"slowloris", kSlowHeads, kSlowloris,
                            "POST /v1/auth/begin HTTP/1.1\r\nHo", 0}});
        crowd.start();
        const double crowdSeconds =
            std::chrono::duration<double>(Clock::now() - attackStart).count();

        Child flood;
        if (!startFlood(flood, error)) {
            std::fprintf(stderr, "gate auth latency: %s\n", error.c_str());
            return 1;
        }
        const bool loadedOk =
            measure(authentications_, loaded, attackStart + kLoadedPhaseLimit, error);
        const bool floodLasted = flood.running();
        flood.interrupt();
        crowd.stop();

        report(quiet, loaded, crowd.summary(), crowdSeconds, floodLasted);
        std::fflush(stdout);
        if (!loadedOk) {
            std::fprintf(stderr, "gate auth latency under load stopped early: %s\n", error.c_str());
            return 1;
        }
        return 0;
    }

  private:
    bool startGate(std::string& error) {
        const std::string data = JoinPath(dir_.path(), "Velmora");
        static_cast<void>(EnsureDirectory(data));
        admin::CertificateInfo certificate;
        if (!admin::ensureCertificate(data, "bench", certificate, error)) return false;
        port_ = freePort();
        JsonValue settings = JsonValue::object();
        settings.set("listenPort", int(port_));
        settings.set("machineName", "bench");
        settings.set("certThumbprint", certificate.thumbprint);
        JsonValue document = JsonValue::object();
        document.set("version", 1);
        document.set("config", settings);
        static_cast<void>(WriteFileAtomic(JoinPath(data, "gate.json"), JsonDump(document, 2)));
        if (enforce_) {
            const test::ProcessResult harden = test::RunProcess(
                {binary_, "harden"}, {"PROGRAMDATA=" + dir_.path(), "INVOCATION_ID="});
            if (harden.exitCode != 0 ||
                harden.output.find("nftables enforcement switched on") == std::string::npos) {
                error = "velmora harden did not switch enforcement on: " + harden.output;
                return false;
            }
        }

        if (!gate_.spawn({binary_, "run"}, {"PROGRAMDATA=" + dir_.path(), "INVOCATION_ID="},
                         dir_.file("gate.out"), error)) {
            return false;
        }
        for (int attempt = 0; attempt < 100; ++attempt) {
            TlsHttpClient client(context_.get());
            HttpAnswer answer;
            if (client.connect(port_, error) && client.post("/v1/hello", "", answer, error) &&
                answer.status == 200) {
                return true;
            }
            if (!gate_.running()) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        error = "the gate did not answer over HTTPS: " + error;
        return false;
    }

    static std::uint16_t freePort() {
        // The number a bind to port 0 got; the gate takes it a moment later.
        UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        socklen_t length = sizeof address;
        ::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), length);
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length);
        return ntohs(address.sin_port);
    }

    void printGateOutput() const {
        std::string text;
        static_cast<void>(ReadFileText(dir_.file("gate.out"), text));
        std::fprintf(stderr, "%s", text.c_str());
    }

    // The way an administrator does it: a code issued through the files, then the two requests.
    bool enroll(std::string& error) {
        gate::GateStore store;
        if (!store.load(JoinPath(dir_.file("Velmora"), "gate.json"), error)) return false;
        const std::string code = store.issueEnrollmentCode(900, error);
        if (code.empty()) return false;
        TlsHttpClient client(context_.get());
        JsonValue begin, finish;
        Bytes challenge;
        if (!client.connect(port_, error, kKeyHolder) ||
            !postJson(client, "/v1/enroll/begin", dump({{"code", code}}), begin, error) ||
            !challengeOf(begin, challenge, error)) {
            return false;
        }
        const test::Registration reg =
            key_.makeCredential(gate::kRelyingPartyId, gate::RelyingPartyOrigin(), challenge);
        return postJson(client, "/v1/enroll/finish",
                        dump({{"code", code},
                              {"credentialId", Base64UrlEncode(key_.credentialId())},
                              {"attestationObject", Base64UrlEncode(reg.attestationObject)},
                              {"clientDataJSON", Base64UrlEncode(reg.clientDataJson)},
                              {"label", "bench"}}),
                        finish, error);
    }

    // One authentication as a client makes it: a new connection, begin, the key's assertion,
    // finish. Times each step, in milliseconds from the previous one.
    bool authenticate(Sample& sample, std::string& error) {
        auto mark = Clock::now();
        const auto lap = [&mark] {
            const auto now = Clock::now();
            const double ms = std::chrono::duration<double, std::milli>(now - mark).count();
            mark = now;
            return ms;
        };
        TlsHttpClient client(context_.get());
        JsonValue begin, finish;
        Bytes challenge;
        if (!client.connect(port_, error, kKeyHolder)) return false;
        sample.handshake = lap();
        if (!postJson(client, "/v1/auth/begin", "{}", begin, error) ||
            !challengeOf(begin, challenge, error)) {
            return false;
        }
        const test::Assertion assertion =
            key_.getAssertion(gate::kRelyingPartyId, gate::RelyingPartyOrigin(), challenge);
        sample.begin = lap();
        if (!postJson(client, "/v1/auth/finish",
                      dump({{"credentialId", Base64UrlEncode(key_.credentialId())},
                            {"authenticatorData", Base64UrlEncode(assertion.authenticatorData)},
                            {"clientDataJSON", Base64UrlEncode(assertion.clientDataJson)},
                            {"signature", Base64UrlEncode(assertion.signature)}}),
                      finish, error)) {
            return false;
        }
        sample.finish = lap();
        sample.total = sample.handshake + sample.begin + sample.finish;
        return true;
    }

    bool measure(int count, std::vector<Sample>& samples, Clock::time_point deadline,
                 std::string& error) {
        for (int i = 0; i < count; ++i) {
            if (Clock::now() > deadline) {
                error = "time limit reached after " + std::to_string(i) + " authentications";
                return false;
            }
            Sample sample;
            if (!authenticate(sample, error)) return false;
            samples.push_back(sample);
        }
        return true;
    }

    bool startFlood(Child& flood, std::string& error) {
        const std::string script = dir_.file("post.lua");
        static_cast<void>(WriteFileAtomic(script,
                                          "wrk.method = \"POST\"\n"
                                          "wrk.headers[\"Content-Type\"] = \"application/json\"\n"
                                          "wrk.body = os.getenv(\"BODY\")\n"));
        if (!flood.spawn({"wrk", std::string("-t") + kFloodThreads,
                          std::string("-c") + kFloodConnections, "-d60s", "-s", script,
                          "https://127.0.0.1:" + std::to_string(port_) + "/v1/auth/finish"},
                         {std::string("BODY=") + kMalformedFinish}, dir_.file("wrk.out"), error)) {
            return false;
        }
        // Until every flood connection has made its handshake and the rate has settled.
        std::this_thread::sleep_for(std::chrono::seconds(1));
        if (!flood.running()) {
            static_cast<void>(ReadFileText(dir_.file("wrk.out"), error));
            error = "wrk stopped at once: " + error;
            return false;
        }
        return true;
    }

    std::string floodRate() const {
        std::string text;
        static_cast<void>(ReadFileText(dir_.file("wrk.out"), text));
        const size_t at = text.find("Requests/sec:");
        if (at == std::string::npos) return "unknown";
        return std::to_string(std::atol(text.c_str() + at + 13));
    }

    struct Summary {
        double p50 = 0, p95 = 0, p99 = 0, max = 0;
    };

    static Summary summarise(const std::vector<Sample>& samples, double Sample::*field) {
        Summary s;
        if (samples.empty()) return s;
        std::vector<double> millis;
        for (const Sample& sample : samples) millis.push_back(sample.*field);
        std::sort(millis.begin(), millis.end());
        // Nearest rank: the smallest sample with at least that share of samples at or below it.
        const auto rank = [&millis](double share) {
            const size_t n = millis.size();
            const auto index = static_cast<size_t>(std::ceil(share * static_cast<double>(n)));
            return millis[std::clamp<size_t>(index, 1, n) - 1];
        };
        s.p50 = rank(0.50);
        s.p95 = rank(0.95);
        s.p99 = rank(0.99);
        s.max = millis.back();
        return s;
    }

    static void printSummary(const char* label, const std::vector<Sample>& samples) {
        if (samples.empty()) {
            std::printf("  %-7s no authentication completed\n", label);
            return;
        }
        const Summary s = summarise(samples, &Sample::total);
        std::printf(
            "  %-7s %3zu authentications: p50 %6.1f ms, p95 %6.1f ms, p99 %6.1f ms, "
            "max %6.1f ms\n",
            label, samples.size(), s.p50, s.p95, s.p99, s.max);
        const Summary h = summarise(samples, &Sample::handshake);
        const Summary b = summarise(samples, &Sample::begin);
        const Summary f = summarise(samples, &Sample::finish);
        std::printf(
            "          steps p50/p99: handshake %.1f/%.1f ms, begin %.1f/%.1f ms, "
            "finish %.1f/%.1f ms\n",
            h.p50, h.p99, b.p50, b.p99, f.p50, f.p99);
    }

    void report(const std::vector<Sample>& quiet, const std::vector<Sample>& loaded,
                const std::string& crowd, double crowdSeconds, bool floodLasted) const {
        const Summary q = summarise(quiet, &Sample::total);
        const Summary l = summarise(loaded, &Sample::total);
        std::printf(
            "gate authentication latency over HTTPS (new connection, auth/begin, "
            "assertion, auth/finish), machine load average %s:\n",
            loadAverage_.c_str());
        printSummary("alone:", quiet);
        printSummary("loaded:", loaded);
        std::printf(
            "  attack: %s (first round %.1f s); wrk -t%s -c%s flooding rejected "
            "/v1/auth/finish at %s req/s%s\n",
            crowd.c_str(), crowdSeconds, kFloodThreads, kFloodConnections, floodRate().c_str(),
            floodLasted ? "" : " (wrk ended early)");
        if (q.p50 > 0 && l.p50 > 0) {
            std::printf("  loaded / alone: p50 %.2f, p95 %.2f, p99 %.2f, max %.2f\n", l.p50 / q.p50,
                        l.p95 / q.p95, l.p99 / q.p99, l.max / q.max);
        }
        const bool met = loaded.size() == static_cast<size_t>(authentications_) &&
                         floodLasted && l.p99 < 100.0;
        std::printf("  goal: p99 under 100 ms under the whole attack: %s\n",
                    met ? "met" : "NOT met");
    }

    WorkDirectory dir_;
    std::string binary_;
    bool enforce_;
    int idleTarget_;
    int authentications_;
    SslCtxPtr context_;
    Child gate_;
    std::uint16_t port_ = 0;
    test::SoftwareAuthenticator key_;
    std::string loadAverage_ = "unknown";
};

}  // namespace
}  // namespace vel::bench

int main(int argc, char** argv) {
    int idle = 1000;
    bool enforce = false;
    int authentications = 200;
    std::string dataParent = "/tmp";
    std::string binaryArgument;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        const bool hasValue = i + 1 < argc;
        if (word == "--idle" && hasValue) {
            idle = std::atoi(argv[++i]);
        } else if (word == "--count" && hasValue) {
            authentications = std::atoi(argv[++i]);
        } else if (word == "--data-parent" && hasValue) {
            dataParent = argv[++i];
        } else if (word == "--enforce") {
            enforce = true;
        } else if (binaryArgument.empty() && word.rfind("--", 0) != 0) {
            binaryArgument = word;
        } else {
            binaryArgument.clear();
            break;
        }
    }
    if (binaryArgument.empty() || authentications < 1 || idle < 0) {
        std::fprintf(stderr,
                     "usage: %s [--idle N] [--count N] [--data-parent DIR] [--enforce] "
                     "path/to/velmora\n",
                     argv[0]);
        return 2;
    }
    if (::geteuid() != 0) {
        std::fprintf(stderr, "gate auth latency: velmora run needs root\n");
        return 2;
    }
    ::signal(SIGPIPE, SIG_IGN);
    std::error_code failed;
    const std::string binary = std::filesystem::canonical(binaryArgument, failed);
    if (failed) {
        std::fprintf(stderr, "gate auth latency: %s not found\n", binaryArgument.c_str());
        return 2;
    }
    // A network namespace of the run's own, with only loopback: the gate's nft table goes there.
    if (enforce && (::unshare(CLONE_NEWNET) != 0 ||
                    vel::test::RunProcess({"/usr/sbin/ip", "link", "set", "lo", "up"}).exitCode != 0)) {
        std::fprintf(stderr, "gate auth latency: no network namespace of its own\n");
        return 2;
    }
    return vel::bench::Bench(dataParent, binary, idle, authentications, enforce).run();
}
