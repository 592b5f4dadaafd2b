#include "core/version.h"
#include "gate/api_response.h"
#include "gate/endpoints.h"
#include "gate/gate_service.h"
#include "gate/relying_party.h"

namespace vel::gate {

namespace {

bool isExposed(const ExposureReport& r) {
    return !r.protectionArmed || !r.kernelEnforced ||
           (r.exposureMeasured && (!r.firewallEnabled || r.defaultInboundAllows || r.foreignAllowRules > 0));
}

const char* exposureReason(const ExposureReport& r) {
    if (!r.protectionArmed) return "not_armed";
    // Rules the kernel does not enforce close nothing.
    if (!r.kernelEnforced) return "firewall_off";
    if (!r.exposureMeasured) return "";
    if (!r.firewallEnabled) return "firewall_off";
    if (r.defaultInboundAllows) return "default_allow";
    if (r.foreignAllowRules > 0) return "extra_rules";
    return "";
}

}  // namespace

void HandleHello(GateService& gate, const HttpRequest& request, const JsonValue&, HttpResponse& response) {
    const GateConfig config = gate.store().config();
    const GuardStatus status = gate.guard().status();
    const ExposureReport exposure = gate.guard().exposure(request.remoteAddress);
    const CountryFilter& geo = gate.countryFilter();

    JsonValue body = OkObject();
    body.set("machine", config.machineName);
    body.set("gateVersion", kProgramVersion);
    body.set("gateBuild", kBuildId);
    body.set("rpId", kRelyingPartyId);
    body.set("origin", RelyingPartyOrigin());
    body.set("rdpPort", int(config.rdpPort));
    body.set("grantSeconds", config.grantSeconds);
    body.set("enrolledKeys", std::int64_t(gate.store().activeCredentialCount()));
    body.set("enrollmentOpen", gate.store().enrollmentOpen());
    body.set("protectionArmed", exposure.protectionArmed);
    body.set("requireUserVerification", config.requireUserVerification);
    body.set("clientIp", request.remoteAddress);
    body.set("stream", gate.streams().available());
    body.set("streamPort", int(config.streamPort));
    body.set("firewallReady", status.firewallReady);
    body.set("firewallEnabled", status.firewallEnabled);
    body.set("defaultInboundAllows", status.defaultInboundAllows);
    body.set("exposureMeasured", exposure.exposureMeasured);
    body.set("exposed", isExposed(exposure));
    body.set("exposureReason", exposureReason(exposure));
    body.set("foreignAllowRules", std::int64_t(exposure.foreignAllowRules));
    body.set("otherGrants", std::int64_t(exposure.otherGrants));
    body.set("geoFilterEnabled", geo.isEnabled());
    JsonValue countries = JsonValue::array();
    for (const std::string& code : geo.allowedCountries()) countries.push(code);
    body.set("allowedCountries", countries);
    body.set("geoDatabaseLoaded", geo.tableLoaded());
    SendJson(response, 200, body);
}

}  // namespace vel::gate
