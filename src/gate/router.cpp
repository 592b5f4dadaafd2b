#include <cstddef>
#include <string>
#include <string_view>

#include "core/time.h"
#include "gate/api_response.h"
#include "gate/endpoints.h"
#include "gate/gate_service.h"
#include "os/log.h"

namespace vel::gate {

namespace {

using Endpoint = void (*)(GateService&, const HttpRequest&, const JsonValue&, HttpResponse&);

struct Route {
    std::string_view path;
    Endpoint endpoint;
};

// Far more than any request of this API holds (an update push has five), far fewer than a body of
// the largest size could make a parser build.
constexpr std::size_t kMaxBodyValues = 256;

constexpr Route kRoutes[] = {
    {"/v1/hello", HandleHello},
    {"/v1/enroll/begin", HandleEnrollBegin},
    {"/v1/enroll/finish", HandleEnrollFinish},
    {"/v1/auth/begin", HandleAuthBegin},
    {"/v1/auth/finish", HandleAuthFinish},
    {"/v1/revoke", HandleRevoke},
    {"/v1/update/push", HandleUpdatePush},
    {"/v1/stream/open", HandleStreamOpen},
};

std::string geoRejection(const GeoCheckResult& result, const std::string& address) {
    switch (result.verdict) {
        case GeoVerdict::CountryNotAllowed: return "address " + address + " belongs to country " + result.country;
        case GeoVerdict::CountryUnknown: return "the country of address " + address + " could not be determined";
        default:
            return "a country list is set on the gate but the address table is not loaded, so external "
                   "connections are rejected";
    }
}

}  // namespace

void RouteRequest(GateService& gate, const HttpRequest& request, HttpResponse& response) {
    if (request.method != "POST") return SendError(response, 405, "bad_request", "only POST is accepted");
    const std::string& address = request.remoteAddress;
    if (address.empty()) return SendError(response, 400, "bad_request", "the source address is unknown");

    const GeoCheckResult geo = gate.countryFilter().check(address);
    if (geo.verdict != GeoVerdict::Allowed && geo.verdict != GeoVerdict::LocalAddress) {
        const std::string message = geoRejection(geo, address);
        if (gate.warnings().allow(address, UnixNow()))
            Log(LogLevel::Warn, "geo filter rejected request %s: %s", request.path.c_str(), message.c_str());
        return SendError(response, 403, "country_not_allowed", message);
    }

    JsonValue body = JsonValue::object();
    std::string parseError;
    if (!request.body.empty() &&
        (!JsonParse(request.body, body, parseError, kMaxBodyValues) || !body.isObject())) {
        return SendError(response, 400, "bad_request", "the request body is not a JSON object");
    }
    for (const Route& route : kRoutes) {
        if (request.path == route.path) return route.endpoint(gate, request, body, response);
    }
    SendError(response, 404, "bad_request", "unknown endpoint");
}

}  // namespace vel::gate
