#include "gate/service_runtime.h"

#include "core/json.h"
#include "os/files.h"
#include "os/paths.h"

namespace vel::gate {

bool WriteServiceRuntime(const std::string& dataDirectory, const ServiceRuntime& runtime) {
    JsonValue json = JsonValue::object();
    json.set("version", runtime.version);
    json.set("build", runtime.build);
    json.set("executable", runtime.executable);
    json.set("pid", runtime.pid);
    json.set("startedAt", runtime.startedAt);
    return WriteFileAtomic(JoinPath(dataDirectory, kServiceRuntimeFile), JsonDump(json, 2));
}

bool ReadServiceRuntime(const std::string& dataDirectory, ServiceRuntime& runtime) {
    std::string text;
    JsonValue json;
    if (!ReadFileText(JoinPath(dataDirectory, kServiceRuntimeFile), text) || !JsonParse(text, json) ||
        !json.isObject()) {
        return false;
    }
    runtime.version = json.get("version").asString();
    runtime.build = json.get("build").asString();
    runtime.executable = json.get("executable").asString();
    runtime.pid = json.get("pid").asInt();
    runtime.startedAt = json.get("startedAt").asInt();
    return true;
}

}  // namespace vel::gate
