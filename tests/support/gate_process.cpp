#include "support/gate_process.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <thread>

#include "admin/tls_certificate.h"
#include "os/files.h"
#include "os/paths.h"
#include "os/unique_fd.h"
#include "support/http_client.h"
#include "support/process.h"

namespace vel::test {

std::uint16_t FreePort(int type) {
    UniqueFd fd(::socket(AF_INET6, type | SOCK_CLOEXEC, 0));
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_any;
    socklen_t length = sizeof address;
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return 0;
    }
    return ntohs(address.sin6_port);
}

GateProcess::GateProcess(const JsonValue& extraConfig) : port_(FreePort(SOCK_STREAM)) {
    static_cast<void>(EnsureDirectory(dataDirectory()));
    JsonValue config = JsonValue::object();
    config.set("listenPort", int(port_));
    config.set("machineName", "testhost");
    for (const std::string& key : extraConfig.keys()) config.set(key, extraConfig.get(key));
    JsonValue document = JsonValue::object();
    document.set("version", 1);
    document.set("config", config);
    static_cast<void>(
        WriteFileAtomic(JoinPath(dataDirectory(), "gate.json"), JsonDump(document, 2)));
    env_ = {"PROGRAMDATA=" + dir_.path(), "INVOCATION_ID="};
}

void GateProcess::setCredentials(const JsonValue& credentials) {
    const std::string path = JoinPath(dataDirectory(), "gate.json");
    std::string text;
    JsonValue document;
    static_cast<void>(ReadFileText(path, text));
    static_cast<void>(JsonParse(text, document));
    document.set("credentials", credentials);
    static_cast<void>(WriteFileAtomic(path, JsonDump(document, 2)));
}

bool GateProcess::useHttps(std::string& error) {
    admin::CertificateInfo certificate;
    if (!admin::ensureCertificate(dataDirectory(), "testhost", certificate, error)) return false;
    const std::string path = JoinPath(dataDirectory(), "gate.json");
    std::string text;
    JsonValue document;
    if (!ReadFileText(path, text) || !JsonParse(text, document)) {
        error = "gate.json cannot be read back";
        return false;
    }
    JsonValue config = document.get("config");
    config.set("certThumbprint", certificate.thumbprint);
    document.set("config", config);
    if (!WriteFileAtomic(path, JsonDump(document, 2))) {
        error = "gate.json cannot be written";
        return false;
    }
    https_ = true;
    return true;
}

bool GateProcess::start(std::string& output) {
    if (!process_.start({VelmoraBinary(), "run"}, env_)) return false;
    for (int attempt = 0; attempt < 200; ++attempt) {
        output = process_.output();
        if (output.find("Gate started.") != std::string::npos &&
            (https_ ? HttpsRequestTo("127.0.0.1", port_, "POST", "/v1/hello", "")
                    : HttpRequestTo("127.0.0.1", port_, "POST", "/v1/hello", ""))
                    .status == 200) {
            return true;
        }
        if (!process_.running()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

std::string GateProcess::log() const {
    std::string text;
    static_cast<void>(ReadFileText(JoinPath(dataDirectory(), "gate.log"), text));
    return text;
}

std::string GateProcess::command(const std::vector<std::string>& args, int* exitCode) const {
    std::vector<std::string> argv{VelmoraBinary()};
    argv.insert(argv.end(), args.begin(), args.end());
    const ProcessResult result = RunProcess(argv, env_);
    if (exitCode != nullptr) *exitCode = result.exitCode;
    return result.output;
}

}  // namespace vel::test
