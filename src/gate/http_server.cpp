#include "gate/http_server.h"

#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <functional>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "gate/api_response.h"
#include "gate/body_budget.h"
#include "os/log.h"
#include "os/system_error.h"
#include "os/unique_fd.h"

namespace vel::gate {

struct HttpServerRun {
    explicit HttpServerRun(const HttpServerConfig& config)
        : largeBodyPaths(config.largeBodyPaths), connections(config.connections) {}

    HttpHandler handler;
    MHD_Daemon* daemon = nullptr;
    std::uint16_t port = 0;
    const std::vector<std::string> largeBodyPaths;
    ConnectionTable connections;
    BodyBudget bodies{HttpServer::kBodyBudget};
    std::thread sweeper;  // closes connections whose request head is overdue
    bool sweeping = true;  // guarded by mutex

    std::mutex mutex;
    bool starting = true;       // guarded by mutex
    std::string startMessages;  // guarded by mutex; what the library reported while starting
    bool stopped = false;       // guarded by mutex; the library has joined every worker
    std::condition_variable stoppedChanged;
    std::condition_variable sweepingChanged;
};

namespace {

// Idle time after which a connection is closed; a slow client costs a socket, never a worker.
constexpr unsigned kConnectionTimeoutSeconds = 30;
// Connections beyond this are refused, and the limit stays this far below the descriptor limit
// so that a crowd of clients cannot starve the gate's own files of descriptors.
constexpr unsigned kMaxConnections = 1000;
constexpr rlim_t kReservedDescriptors = 128;
constexpr const char* kTlsPriorities = "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2";
constexpr auto kStopWait = std::chrono::seconds(3);
constexpr auto kStopExtraWait = std::chrono::seconds(5);
constexpr auto kSweepInterval = std::chrono::seconds(1);
// After a grace period a body must keep up this average rate: a few kilobits per second, far
// below any link that can complete an authentication, far above a trickle that holds a slot.
constexpr auto kBodyGrace = std::chrono::seconds(10);
constexpr std::size_t kMinBodyBytesPerSecond = 1024;

using SteadyClock = std::chrono::steady_clock;

// One request from its headers to its completion.
struct Exchange {
    Exchange() = default;
    Exchange(const Exchange&) = delete;
    Exchange& operator=(const Exchange&) = delete;
    ~Exchange() {
        if (budget != nullptr) budget->giveBack(reserved);
    }

    HttpRequest request;
    std::size_t limit = HttpServer::kSmallBodyLimit;
    bool truncated = false;
    SteadyClock::time_point started = SteadyClock::now();
    BodyBudget* budget = nullptr;  // set while this request holds a share of it
    std::size_t reserved = 0;
};

std::string urlFor(bool https, std::uint16_t port) {
    return std::string(https ? "https" : "http") + "://+:" + std::to_string(port) + "/";
}

unsigned connectionLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return kMaxConnections;
    if (limit.rlim_cur < kReservedDescriptors + HttpServer::kWorkerCount)
        return HttpServer::kWorkerCount;
    return static_cast<unsigned>(
        std::min<rlim_t>(kMaxConnections, limit.rlim_cur - kReservedDescriptors));
}

// A dual-stack socket on every address of port. Binding it here, not in the library, is what
// lets a taken port be reported as such.
bool openListener(std::uint16_t port, bool https, UniqueFd& fd, std::uint16_t& boundPort,
                  std::string& error) {
    bool ipv6 = true;
    fd.reset(::socket(AF_INET6, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd && errno == EAFNOSUPPORT) {  // a kernel without IPv6
        ipv6 = false;
        fd.reset(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    }
    if (!fd) {
        error = FailedText("socket", errno);
        return false;
    }
    const int on = 1;
    const int off = 0;
    if (::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        (ipv6 && ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) != 0)) {
        error = FailedText("setsockopt", errno);
        return false;
    }

    sockaddr_storage address{};
    socklen_t length = 0;
    if (ipv6) {
        auto& any = reinterpret_cast<sockaddr_in6&>(address);
        any.sin6_family = AF_INET6;
        any.sin6_addr = in6addr_any;
        any.sin6_port = htons(port);
        length = sizeof any;
    } else {
        auto& any = reinterpret_cast<sockaddr_in&>(address);
        any.sin_family = AF_INET;
        any.sin_addr.s_addr = htonl(INADDR_ANY);
        any.sin_port = htons(port);
        length = sizeof any;
    }
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), length) != 0) {
        const int code = errno;
        const std::string url = urlFor(https, port);
        if (code == EACCES || code == EPERM) {
            error = "bind denied for " + url + ". Run as root, or choose a port above 1023.";
        } else if (code == EADDRINUSE) {
            error = "Port " + std::to_string(port) + " is already reserved by another process (" +
                    SystemErrorText(code) + ")";
        } else {
            error = "bind(" + url + "): " + SystemErrorText(code);
        }
        return false;
    }
    if (::listen(fd.get(), SOMAXCONN) != 0) {
        error = FailedText("listen", errno);
        return false;
    }
    length = sizeof address;
    if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        error = FailedText("getsockname", errno);
        return false;
    }
    boundPort = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6&>(address).sin6_port
                           : reinterpret_cast<sockaddr_in&>(address).sin_port);
    return true;
}

// Keeps what fits under the limit. The first chunk that would cross it is dropped with all that
// follows, so a connection never holds more than the limit however much the client sends (only
// a body without a declared length can get that far).
void appendBody(Exchange& exchange, const char* data, std::size_t size) {
    if (exchange.truncated) return;
    std::string& body = exchange.request.body;
    if (size > exchange.limit - body.size()) {
        Log(LogLevel::Warn, "request body exceeds %zu bytes; refused", exchange.limit);
        exchange.truncated = true;
        body = std::string();
        return;
    }
    if (body.size() + size > body.capacity()) {
        body.reserve(std::min(std::max(body.size() + size, 2 * body.capacity()), exchange.limit));
    }
    body.append(data, size);
}

bool bodyTooSlow(const Exchange& exchange, std::size_t received) {
    const auto elapsed = SteadyClock::now() - exchange.started;
    if (elapsed <= kBodyGrace) return false;
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(elapsed - kBodyGrace);
    return received < kMinBodyBytesPerSecond * static_cast<std::size_t>(seconds.count());
}

HttpResponse errorResponse(std::uint16_t status, std::string_view code, std::string_view message) {
    HttpResponse response;
    SendError(response, status, code, message);
    return response;
}

HttpResponse tooLarge() {
    return errorResponse(413, "bad_request", "the request body is too large");
}

// Decides before any byte of the body is read whether it may come: it must fit its path's limit
// and, above the small limit, take its whole declared length (or the most it may grow to) from
// the shared budget. Fills refusal and returns false when it may not.
bool admitBody(HttpServerRun& run, MHD_Connection* connection, Exchange& exchange,
               HttpResponse& refusal) {
    const auto& large = run.largeBodyPaths;
    if (std::find(large.begin(), large.end(), exchange.request.path) != large.end())
        exchange.limit = HttpServer::kBodyLimit;
    const char* declared =
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
    const char* chunked = MHD_lookup_connection_value(connection, MHD_HEADER_KIND,
                                                      MHD_HTTP_HEADER_TRANSFER_ENCODING);
    if (declared == nullptr && chunked == nullptr) return true;
    std::size_t length = exchange.limit;
    if (declared != nullptr) {
        const std::string_view text(declared);
        const auto [end, problem] = std::from_chars(text.data(), text.data() + text.size(), length);
        if (problem != std::errc() || end != text.data() + text.size()) length = SIZE_MAX;
    }
    if (length > exchange.limit) {
        refusal = tooLarge();
        return false;
    }
    if (length <= HttpServer::kSmallBodyLimit) return true;  // every connection's own allowance
    if (!run.bodies.take(length)) {
        refusal = errorResponse(503, "busy", "the gate is busy; try again shortly");
        return false;
    }
    exchange.budget = &run.bodies;
    exchange.reserved = length;
    exchange.request.body.reserve(length);
    return true;
}

const void* connectionHandle(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info != nullptr ? info->socket_context : nullptr;
}

HttpResponse failureResponse() {
    HttpResponse response;
    response.status = 500;
    response.reason = "Internal Server Error";
    response.body = R"({"ok":false,"error":"internal_error","message":"handler failure"})";
    return response;
}

HttpResponse respond(const HttpHandler& handler, const HttpRequest& request) {
    HttpResponse response;
    try {
        handler(request, response);
    } catch (const std::exception& e) {
        Log(LogLevel::Error, "handler threw: %s", e.what());
        response = failureResponse();
    } catch (...) {
        Log(LogLevel::Error, "handler threw: %s", "an exception of unknown type");
        response = failureResponse();
    }
    return response;
}

struct ResponseFree {
    void operator()(MHD_Response* response) const { MHD_destroy_response(response); }
};

// The library writes the standard reason phrase for the status; response.reason is not sent.
MHD_Result sendResponse(MHD_Connection* connection, const HttpResponse& response) {
    std::unique_ptr<MHD_Response, ResponseFree> reply(MHD_create_response_from_buffer(
        response.body.size(), const_cast<char*>(response.body.data()), MHD_RESPMEM_MUST_COPY));
    // Adding a header fails for values with line breaks, which keeps a handler from injecting
    // headers.
    if (!reply ||
        MHD_add_response_header(reply.get(), MHD_HTTP_HEADER_CONTENT_TYPE,
                                response.contentType.c_str()) != MHD_YES ||
        MHD_add_response_header(reply.get(), MHD_HTTP_HEADER_CACHE_CONTROL, "no-store") !=
            MHD_YES ||
        MHD_queue_response(connection, response.status, reply.get()) != MHD_YES) {
        Log(LogLevel::Warn, "MHD_queue_response failed: status %u", unsigned{response.status});
        return MHD_NO;
    }
    return MHD_YES;
}

// Counts the answer against its client, then sends it.
MHD_Result answer(HttpServerRun& run, MHD_Connection* connection, const HttpRequest& request,
                  const HttpResponse& response) {
    if (run.connections.answered(connectionHandle(connection), response.status,
                                 SteadyClock::now())) {
        // A penalty starts at most once per period, so this line needs no limiter of its own.
        const auto& limits = run.connections.limits();
        Log(LogLevel::Warn,
            "%s sent more than %u refused requests in one second; its connections are refused "
            "for %llds",
            request.remoteAddress.c_str(), limits.refusedPerSecond,
            static_cast<long long>(
                std::chrono::duration_cast<std::chrono::seconds>(limits.penalty).count()));
    }
    return sendResponse(connection, response);
}

// Called for the headers, once per body chunk, and once more at the end of the body.
MHD_Result onRequest(void* cls, MHD_Connection* connection, const char* url, const char* method,
                     const char* /*version*/, const char* uploadData, std::size_t* uploadSize,
                     void** context) {
    try {
        auto* run = static_cast<HttpServerRun*>(cls);
        auto* exchange = static_cast<Exchange*>(*context);
        if (exchange == nullptr) {
            run->connections.headArrived(connectionHandle(connection));
            auto fresh = std::make_unique<Exchange>();
            fresh->request.method = HttpMethodName(method);
            fresh->request.path = url;
            const MHD_ConnectionInfo* info =
                MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
            SetPeerAddress(fresh->request, info != nullptr ? info->client_addr : nullptr);
            HttpResponse refusal;
            const bool admitted = admitBody(*run, connection, *fresh, refusal);
            Exchange& started = *fresh;
            *context = fresh.release();
            // Answered before the body is read; the library then closes the connection.
            return admitted ? MHD_YES : answer(*run, connection, started.request, refusal);
        }
        if (*uploadSize != 0) {
            appendBody(*exchange, uploadData, *uploadSize);
            if (bodyTooSlow(*exchange, exchange->request.body.size())) {
                Log(LogLevel::Warn, "request body from %s arrives too slowly; connection closed",
                    exchange->request.remoteAddress.c_str());
                return MHD_NO;
            }
            *uploadSize = 0;
            return MHD_YES;
        }
        const HttpRequest& request = exchange->request;
        if (exchange->truncated) return answer(*run, connection, request, tooLarge());
        return answer(*run, connection, request, respond(run->handler, request));
    } catch (const std::exception& e) {
        // Out of memory while taking the request in: drop this connection, keep serving.
        Log(LogLevel::Error, "request dropped: %s", e.what());
        return MHD_NO;
    }
}

void onCompleted(void* cls, MHD_Connection* connection, void** context,
                 MHD_RequestTerminationCode /*code*/) {
    const std::unique_ptr<Exchange> finished(static_cast<Exchange*>(*context));
    *context = nullptr;
    static_cast<HttpServerRun*>(cls)->connections.requestDone(connectionHandle(connection),
                                                              SteadyClock::now());
}

MHD_Result onAccept(void* cls, const sockaddr* peer, socklen_t /*length*/) {
    try {
        const auto& table = static_cast<const HttpServerRun*>(cls)->connections;
        return table.admits(peer, SteadyClock::now()) ? MHD_YES : MHD_NO;
    } catch (const std::exception&) {
        return MHD_NO;
    }
}

void onConnection(void* cls, MHD_Connection* connection, void** socketContext,
                  MHD_ConnectionNotificationCode code) {
    ConnectionTable& table = static_cast<HttpServerRun*>(cls)->connections;
    if (code != MHD_CONNECTION_NOTIFY_STARTED) {
        table.closed(*socketContext);
        *socketContext = nullptr;
        return;
    }
    const MHD_ConnectionInfo* fd =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    const MHD_ConnectionInfo* peer =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    try {
        *socketContext = const_cast<void*>(table.opened(fd != nullptr ? fd->connect_fd : -1,
                                                        peer != nullptr ? peer->client_addr : nullptr,
                                                        SteadyClock::now()));
    } catch (const std::exception&) {
        // Out of memory: this one connection goes uncounted rather than the server failing.
        *socketContext = nullptr;
    }
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Decodes %HH in place, except %00: the library hands the path on as a C string, so a decoded
// NUL would silently cut it. Left encoded, it keeps the path from matching any endpoint.
std::size_t unescape(void* /*cls*/, MHD_Connection* /*connection*/, char* text) {
    char* out = text;
    for (const char* in = text; *in != '\0'; ++out) {
        const int high = in[0] == '%' ? hexValue(in[1]) : -1;
        const int low = high >= 0 ? hexValue(in[2]) : -1;
        if (low >= 0 && (high | low) != 0) {
            *out = static_cast<char>(high * 16 + low);
            in += 3;
        } else {
            *out = *in++;
        }
    }
    *out = '\0';
    return static_cast<std::size_t>(out - text);
}

void sweep(HttpServerRun& run) {
    std::unique_lock lock(run.mutex);
    while (!run.sweepingChanged.wait_for(lock, kSweepInterval, [&run] { return !run.sweeping; })) {
        lock.unlock();
        const std::size_t shut = run.connections.shutOverdue(SteadyClock::now());
        if (shut != 0) Log(LogLevel::Debug, "closed %zu connections without a timely request", shut);
        lock.lock();
    }
}

// The library's own messages: mostly per-connection noise (failed handshakes from scanners), so
// they go to the debug log; those of a failing start also go into its error text.
void onLibraryMessage(void* cls, const char* format, va_list args) {
    char text[1024];
    std::vsnprintf(text, sizeof text, format, args);
    std::string message(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == ' '))
        message.pop_back();
    auto* run = static_cast<HttpServerRun*>(cls);
    {
        std::lock_guard lock(run->mutex);
        if (run->starting) {
            if (!run->startMessages.empty()) run->startMessages += "; ";
            run->startMessages += message;
        }
    }
    Log(LogLevel::Debug, "libmicrohttpd: %s", message.c_str());
}

bool waitStopped(HttpServerRun& run, std::chrono::seconds timeout) {
    std::unique_lock lock(run.mutex);
    return run.stoppedChanged.wait_for(lock, timeout, [&run] { return run.stopped; });
}

}  // namespace

HttpServer::~HttpServer() {
    stop();
}

std::uint16_t HttpServer::port() const {
    return run_ ? run_->port : 0;
}

bool HttpServer::start(const HttpServerConfig& config, HttpHandler handler, std::string& error) {
    if (run_) {
        error = "server already running";
        return false;
    }
    const bool https = config.tls.has_value();
    if (https && MHD_is_feature_supported(MHD_FEATURE_TLS) != MHD_YES) {
        error = "this libmicrohttpd was built without TLS support";
        return false;
    }
    UniqueFd listener;
    std::uint16_t port = 0;
    if (!openListener(config.port, https, listener, port, error)) return false;

    auto run = std::make_shared<HttpServerRun>(config);
    run->handler = std::move(handler);
    run->port = port;

    std::vector<MHD_OptionItem> options = {
        {MHD_OPTION_EXTERNAL_LOGGER, reinterpret_cast<intptr_t>(&onLibraryMessage), run.get()},
        {MHD_OPTION_THREAD_POOL_SIZE, kWorkerCount, nullptr},
        {MHD_OPTION_CONNECTION_TIMEOUT, kConnectionTimeoutSeconds, nullptr},
        {MHD_OPTION_CONNECTION_LIMIT, connectionLimit(), nullptr},
        {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&onCompleted), run.get()},
        {MHD_OPTION_NOTIFY_CONNECTION, reinterpret_cast<intptr_t>(&onConnection), run.get()},
        {MHD_OPTION_UNESCAPE_CALLBACK, reinterpret_cast<intptr_t>(&unescape), nullptr},
    };
    if (https) {
        // The library hands both texts to GnuTLS while starting and keeps no pointer to them.
        options.push_back(
            {MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(config.tls->certificatePem.c_str())});
        options.push_back(
            {MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(config.tls->privateKeyPem.c_str())});
        options.push_back({MHD_OPTION_HTTPS_PRIORITIES, 0, const_cast<char*>(kTlsPriorities)});
    }
    // The library owns the socket from here on: it closes it when it stops, and also when
    // starting fails after the options were accepted.
    options.push_back({MHD_OPTION_LISTEN_SOCKET, listener.release(), nullptr});
    options.push_back({MHD_OPTION_END, 0, nullptr});

    const unsigned flags =
        MHD_USE_EPOLL_INTERNAL_THREAD | MHD_USE_ERROR_LOG | (https ? MHD_USE_TLS : 0);
    run->daemon = MHD_start_daemon(flags, 0, &onAccept, run.get(), &onRequest, run.get(),
                                   MHD_OPTION_ARRAY, options.data(), MHD_OPTION_END);
    std::string messages;
    {
        std::lock_guard lock(run->mutex);
        run->starting = false;
        messages = std::move(run->startMessages);
    }
    if (run->daemon == nullptr) {
        error = "MHD_start_daemon failed" + (messages.empty() ? std::string() : ": " + messages);
        return false;
    }
    run->sweeper = std::thread(sweep, std::ref(*run));
    run_ = std::move(run);
    Log(LogLevel::Info, "HTTP server listening on %s", urlFor(https, port).c_str());
    return true;
}

void HttpServer::stop() {
    if (!run_) return;
    std::shared_ptr<HttpServerRun> run = std::move(run_);
    {
        std::lock_guard lock(run->mutex);
        run->sweeping = false;
        run->sweepingChanged.notify_all();
    }
    run->sweeper.join();
    // Stopping joins the workers, so a handler that never returns would hold it forever. It runs
    // beside us, and when it takes too long it is left behind with its own reference to the run.
    std::thread stopper([run] {
        MHD_stop_daemon(run->daemon);
        std::lock_guard lock(run->mutex);
        run->stopped = true;
        run->stoppedChanged.notify_all();
    });
    if (!waitStopped(*run, kStopWait)) {
        // By now the listener is shut and the idle workers are gone; what is left is a worker
        // inside its handler, so this second stage can only wait longer.
        Log(LogLevel::Warn, "workers still blocked; closing the request queue to force them out");
        if (!waitStopped(*run, kStopExtraWait)) {
            Log(LogLevel::Error, "worker thread did not exit; abandoning it and stopping anyway");
            stopper.detach();
            return;
        }
    }
    stopper.join();
}

}  // namespace vel::gate
