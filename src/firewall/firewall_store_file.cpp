#include "firewall/firewall_store_file.h"

#include <sys/stat.h>

#include <cerrno>
#include <cmath>

#include "core/json.h"
#include "os/file_lock.h"
#include "os/files.h"
#include "os/paths.h"
#include "os/system_error.h"

namespace vel::firewall {

namespace {

const char* actionText(RuleAction action) {
    return action == RuleAction::Allow ? "allow" : "block";
}

JsonValue ruleToJson(const FirewallRule& rule) {
    JsonValue out = JsonValue::object();
    out.set("name", rule.name);
    out.set("description", rule.description);
    out.set("grouping", rule.grouping);
    out.set("protocol", rule.protocol);
    out.set("localPorts", rule.localPorts);
    out.set("remoteAddresses", rule.remoteAddresses);
    out.set("direction", rule.direction == RuleDirection::In ? "in" : "out");
    out.set("action", actionText(rule.action));
    out.set("enabled", rule.enabled);
    out.set("profiles", static_cast<std::int64_t>(rule.profiles));
    out.set("applicationName", rule.applicationName);
    out.set("serviceName", rule.serviceName);
    out.set("localAppPackageId", rule.localAppPackageId);
    out.set("localUserOwner", rule.localUserOwner);
    return out;
}

// Reads the members of one JSON object, remembering the first problem with a text that names it.
class MemberReader {
  public:
    MemberReader(const JsonValue& object, std::string where)
        : object_(object), where_(std::move(where)) {}

    void text(const char* key, std::string& out) {
        const JsonValue& v = object_.get(key);
        if (v.isNull()) return;
        if (!v.isString()) return fail(key, "must be a string");
        out = v.stringValue();
    }

    void flag(const char* key, bool& out) {
        const JsonValue& v = object_.get(key);
        if (v.isNull()) return;
        if (!v.isBool()) return fail(key, "must be true or false");
        out = v.boolValue();
    }

    template <typename Int>
    void integer(const char* key, Int& out, std::int64_t low, std::int64_t high) {
        const JsonValue& v = object_.get(key);
        if (v.isNull()) return;
        const double n = v.numberValue();
        if (!v.isNumber() || n != std::floor(n) || n < static_cast<double>(low) ||
            n > static_cast<double>(high)) {
            return fail(key, "must be a whole number from " + std::to_string(low) + " to " +
                                 std::to_string(high));
        }
        out = static_cast<Int>(n);
    }

    template <typename Enum>
    void choice(const char* key, Enum& out, const char* first, Enum firstValue, const char* second,
                Enum secondValue) {
        const JsonValue& v = object_.get(key);
        if (v.isNull()) return;
        if (v.isString() && v.stringValue() == first) {
            out = firstValue;
        } else if (v.isString() && v.stringValue() == second) {
            out = secondValue;
        } else {
            fail(key, std::string("must be \"") + first + "\" or \"" + second + "\"");
        }
    }

    bool ok(std::string& error) const {
        if (problem_.empty()) return true;
        error = problem_;
        return false;
    }

  private:
    void fail(const char* key, const std::string& what) {
        if (problem_.empty()) problem_ = where_ + "\"" + key + "\" " + what;
    }

    const JsonValue& object_;
    std::string where_;
    std::string problem_;
};

bool ruleFromJson(const JsonValue& value, std::size_t index, FirewallRule& rule,
                  std::string& error) {
    const std::string where = "rule " + std::to_string(index + 1) + ": ";
    if (!value.isObject()) {
        error = where + "must be an object";
        return false;
    }
    MemberReader r(value, where);
    r.text("name", rule.name);
    r.text("description", rule.description);
    r.text("grouping", rule.grouping);
    r.integer("protocol", rule.protocol, 0, kProtocolAny);
    r.text("localPorts", rule.localPorts);
    r.text("remoteAddresses", rule.remoteAddresses);
    r.choice("direction", rule.direction, "in", RuleDirection::In, "out", RuleDirection::Out);
    r.choice("action", rule.action, "allow", RuleAction::Allow, "block", RuleAction::Block);
    r.flag("enabled", rule.enabled);
    r.integer("profiles", rule.profiles, 0, kAllProfiles);
    r.text("applicationName", rule.applicationName);
    r.text("serviceName", rule.serviceName);
    r.text("localAppPackageId", rule.localAppPackageId);
    r.text("localUserOwner", rule.localUserOwner);
    return r.ok(error);
}

bool objectOrAbsent(const JsonValue& value, const std::string& name, std::string& error) {
    if (value.isNull() || value.isObject()) return true;
    error = "\"" + name + "\" must be an object";
    return false;
}

// Loads the policy; `missing` tells a store that does not exist yet from one that cannot be read.
bool loadPolicy(const std::string& path, FirewallPolicy& policy, bool& missing,
                std::string& error) {
    struct stat st {};
    missing = ::stat(path.c_str(), &st) != 0 && errno == ENOENT;
    if (missing) {
        policy = DefaultFirewallPolicy();
        return true;
    }
    std::string text;
    if (!ReadFileText(path, text)) {
        error = "cannot read " + path + ": " + SystemErrorText(errno);
        return false;
    }
    std::string problem;
    if (!FirewallPolicyFromJson(text, policy, problem)) {
        error = path + " is damaged: " + problem;
        return false;
    }
    return true;
}

bool savePolicy(const std::string& path, const FirewallPolicy& policy, std::string& error) {
    if (WriteFileAtomic(path, FirewallPolicyToJson(policy))) return true;
    error = "cannot write " + path + ": " + SystemErrorText(errno);
    return false;
}

}  // namespace

std::string FirewallPolicyToJson(const FirewallPolicy& policy) {
    JsonValue root = JsonValue::object();
    JsonValue profiles = JsonValue::object();
    for (FirewallProfile p : kFirewallProfiles) {
        JsonValue settings = JsonValue::object();
        settings.set("firewallEnabled", policy.profile(p).firewallEnabled);
        settings.set("defaultInboundAction", actionText(policy.profile(p).defaultInboundAction));
        profiles.set(FirewallProfileName(p), std::move(settings));
    }
    root.set("profiles", std::move(profiles));
    JsonValue enforcement = JsonValue::object();
    enforcement.set("enabled", policy.enforcement.enabled);
    enforcement.set("rdpPort", static_cast<int>(policy.enforcement.rdpPort));
    enforcement.set("streamPort", static_cast<int>(policy.enforcement.streamPort));
    root.set("enforcement", std::move(enforcement));
    JsonValue rules = JsonValue::array();
    for (const FirewallRule& rule : policy.rules) rules.push(ruleToJson(rule));
    root.set("rules", std::move(rules));
    return JsonDump(root, 2) + "\n";
}

bool FirewallPolicyFromJson(const std::string& text, FirewallPolicy& policy, std::string& error) {
    JsonValue root;
    if (!JsonParse(text, root) || !root.isObject()) {
        error = "not a JSON object";
        return false;
    }
    FirewallPolicy result;
    const JsonValue& profiles = root.get("profiles");
    if (!objectOrAbsent(profiles, "profiles", error)) return false;
    for (FirewallProfile p : kFirewallProfiles) {
        const std::string name = std::string("profiles.") + FirewallProfileName(p);
        const JsonValue& settings = profiles.get(FirewallProfileName(p));
        if (!objectOrAbsent(settings, name, error)) return false;
        MemberReader r(settings, name + ": ");
        r.flag("firewallEnabled", result.profile(p).firewallEnabled);
        r.choice("defaultInboundAction", result.profile(p).defaultInboundAction, "allow",
                 RuleAction::Allow, "block", RuleAction::Block);
        if (!r.ok(error)) return false;
    }
    const JsonValue& enforcement = root.get("enforcement");
    if (!objectOrAbsent(enforcement, "enforcement", error)) return false;
    MemberReader r(enforcement, "enforcement: ");
    r.flag("enabled", result.enforcement.enabled);
    r.integer("rdpPort", result.enforcement.rdpPort, 1, 65535);
    r.integer("streamPort", result.enforcement.streamPort, 1, 65535);
    if (!r.ok(error)) return false;
    const JsonValue& rules = root.get("rules");
    if (!rules.isNull() && !rules.isArray()) {
        error = "\"rules\" must be an array";
        return false;
    }
    for (std::size_t i = 0; i < rules.size(); ++i) {
        FirewallRule rule;
        if (!ruleFromJson(rules.at(i), i, rule, error)) return false;
        result.rules.push_back(std::move(rule));
    }
    policy = std::move(result);
    return true;
}

FileFirewallStore::FileFirewallStore(std::string directory)
    : directory_(std::move(directory)),
      path_(JoinPath(directory_, "firewall.json")),
      lockPath_(JoinPath(directory_, "firewall.lock")) {}

bool FileFirewallStore::read(const PolicyVisit& visit, std::string& error) {
    static_cast<void>(EnsureDirectory(directory_));
    // A store that is only read would keep what killed writers left behind.
    std::call_once(swept_, [this] { RemoveStaleTemporaries(path_); });
    FileLock lock;
    if (!lock.acquire(lockPath_, LockMode::Shared, error)) return false;
    FirewallPolicy policy;
    bool missing = false;
    if (!loadPolicy(path_, policy, missing, error)) return false;
    if (missing) {
        // The first reader creates the store, which needs the writers' lock; another process
        // may have created it while the lock was being converted.
        if (!lock.acquire(lockPath_, LockMode::Exclusive, error) ||
            !loadPolicy(path_, policy, missing, error)) {
            return false;
        }
        if (missing && !savePolicy(path_, policy, error)) return false;
    }
    return visit(policy, error);
}

bool FileFirewallStore::update(const PolicyChange& change, std::string& error) {
    static_cast<void>(EnsureDirectory(directory_));
    FileLock lock;
    if (!lock.acquire(lockPath_, LockMode::Exclusive, error)) return false;
    FirewallPolicy policy;
    bool missing = false;
    if (!loadPolicy(path_, policy, missing, error)) return false;
    if (!change(policy, error)) return false;
    return savePolicy(path_, policy, error);
}

}  // namespace vel::firewall
