#include <benchmark/benchmark.h>

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "core/json.h"

namespace {

class Random {
public:
    std::uint64_t next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 7;
        state_ ^= state_ << 17;
        return state_;
    }
    std::uint64_t below(std::uint64_t n) { return next() % n; }

    std::string base64url(std::size_t bytes) {
        static constexpr char kAlphabet[] =
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
        std::string text((bytes * 4 + 2) / 3, ' ');
        for (char& c : text) c = kAlphabet[below(64)];
        return text;
    }

private:
    std::uint64_t state_ = 0x9E3779B97F4A7C15ull;
};

// About 1 MB shaped like the gate's store file and API bodies: credentials with base64url ids and
// keys, counters and timestamps, labels, nested key objects and a few assertion-like bodies.
vel::JsonValue makeDocument() {
    Random random;
    vel::JsonValue doc = vel::JsonValue::object();
    doc.set("version", 1);
    doc.set("gateId", random.base64url(16));
    doc.set("listenPort", 8443);
    doc.set("grantSeconds", 30);
    doc.set("rpId", "gate.example.net");
    doc.set("requireUserVerification", true);
    vel::JsonValue credentials = vel::JsonValue::array();
    vel::JsonValue requests = vel::JsonValue::array();
    std::size_t size = 0;
    for (int i = 0; size < 1000000; ++i) {
        vel::JsonValue key = vel::JsonValue::object();
        key.set("1", 2);
        key.set("3", -7);
        key.set("-1", 1);
        key.set("-2", random.base64url(32));
        key.set("-3", random.base64url(32));
        vel::JsonValue credential = vel::JsonValue::object();
        credential.set("id", random.base64url(16 + random.below(48)));
        credential.set("publicKey", std::move(key));
        credential.set("signCount", static_cast<std::int64_t>(random.below(100000)));
        credential.set("label", "Security key " + std::to_string(i) + " \xC2\xB7 office");
        credential.set("aaguid", random.base64url(16));
        credential.set("createdAt", static_cast<std::int64_t>(1700000000 + random.below(1u << 25)));
        credential.set("lastUsedAt",
                       static_cast<std::int64_t>(1700000000 + random.below(1u << 25)));
        credential.set("useCount", static_cast<std::int64_t>(random.below(5000)));
        if (random.below(8) == 0) credential.set("disabled", true);
        size += vel::JsonDump(credential).size();
        credentials.push(std::move(credential));

        vel::JsonValue body = vel::JsonValue::object();
        body.set("credentialId", random.base64url(32));
        body.set("clientDataJSON", random.base64url(140));
        body.set("authenticatorData", random.base64url(37));
        body.set("signature", random.base64url(71));
        body.set("latencyMs", static_cast<double>(random.below(1000000)) / 1000.0);
        body.set("wantStream", random.below(2) == 0);
        size += vel::JsonDump(body).size();
        requests.push(std::move(body));
    }
    doc.set("credentials", std::move(credentials));
    doc.set("recentRequests", std::move(requests));
    return doc;
}

const std::string& compactText() {
    static const std::string text = vel::JsonDump(makeDocument());
    return text;
}

void parseVelmora(benchmark::State& state) {
    const std::string& text = compactText();
    for (auto _ : state) {
        vel::JsonValue value;
        if (!vel::JsonParse(text, value)) state.SkipWithError("parse failed");
        benchmark::DoNotOptimize(value);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void parseNlohmann(benchmark::State& state) {
    const std::string& text = compactText();
    for (auto _ : state) {
        nlohmann::json value = nlohmann::json::parse(text);
        benchmark::DoNotOptimize(value);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void dumpVelmora(benchmark::State& state, int indent) {
    vel::JsonValue value;
    static_cast<void>(vel::JsonParse(compactText(), value));
    std::size_t bytes = 0;
    for (auto _ : state) {
        const std::string text = vel::JsonDump(value, indent);
        bytes += text.size();
        benchmark::DoNotOptimize(text.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}

void dumpNlohmann(benchmark::State& state, int indent) {
    const nlohmann::json value = nlohmann::json::parse(compactText());
    std::size_t bytes = 0;
    for (auto _ : state) {
        const std::string text = value.dump(indent);
        bytes += text.size();
        benchmark::DoNotOptimize(text.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}

}  // namespace

BENCHMARK(parseVelmora)->Name("JsonParse 1MB")->Unit(benchmark::kMillisecond);
BENCHMARK(parseNlohmann)->Name("JsonParse 1MB | nlohmann")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(dumpVelmora, compact, -1)
    ->Name("JsonDump 1MB compact")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(dumpNlohmann, compact, -1)
    ->Name("JsonDump 1MB compact | nlohmann")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(dumpVelmora, indented, 2)
    ->Name("JsonDump 1MB indent 2")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(dumpNlohmann, indented, 2)
    ->Name("JsonDump 1MB indent 2 | nlohmann")
    ->Unit(benchmark::kMillisecond);
