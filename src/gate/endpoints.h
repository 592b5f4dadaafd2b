#pragma once

#include "core/json.h"
#include "gate/http_message.h"

namespace vel::gate {

class GateService;

// The request router: the common checks, then the endpoint for the exact path.
void RouteRequest(GateService& gate, const HttpRequest& request, HttpResponse& response);

// Endpoints; each receives the request's body already parsed as an object.
void HandleHello(GateService& gate, const HttpRequest& request, const JsonValue& body, HttpResponse& response);
void HandleEnrollBegin(GateService& gate, const HttpRequest& request, const JsonValue& body, HttpResponse& response);
void HandleEnrollFinish(GateService& gate, const HttpRequest& request, const JsonValue& body, HttpResponse& response);
void HandleAuthBegin(GateService& gate, const HttpRequest& request, const JsonValue& body, HttpResponse& response);
void HandleAuthFinish(GateService& gate, const HttpRequest& request, const JsonValue& body, HttpResponse& response);
void HandleRevoke(GateService& gate, const HttpRequest& request, const JsonValue& body, HttpResponse& response);
void HandleUpdatePush(GateService& gate, const HttpRequest& request, const JsonValue& body, HttpResponse& response);
void HandleStreamOpen(GateService& gate, const HttpRequest& request, const JsonValue& body, HttpResponse& response);

}  // namespace vel::gate
