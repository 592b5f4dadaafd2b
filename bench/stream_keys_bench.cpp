// Packet protection and key agreement against the bare OpenSSL calls they are built on, on the
// same data in the same run: what the wrappers add (locks, checks, the peer import, the schedule).
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <array>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "core/openssl_ptr.h"
#include "stream/packet_protection.h"
#include "stream/stream_keys.h"

namespace {

using namespace vel::stream;

constexpr std::size_t kPayload = kMaxPayloadSize;  // 1171 bytes: a full video packet

void check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(what);
}

DirectionKey benchKey() {
    DirectionKey key;
    for (std::size_t i = 0; i < key.key.size(); ++i) key.key[i] = static_cast<std::uint8_t>(i);
    key.salt = {1, 2, 3, 4};
    return key;
}

void sealOpen(benchmark::State& state) {
    AeadKey sending;
    AeadKey receiving;
    std::string error;
    check(openAeadKey(sending, benchKey(), error) && openAeadKey(receiving, benchKey(), error),
          "openAeadKey");
    std::array<std::uint8_t, kMaxPacketSize> packet{};
    std::uint64_t number = 1;
    for (auto _ : state) {
        writeHeader({2, 0x1234, number++}, packet.data());
        const std::size_t sealed = seal(sending, packet, kPayload);
        std::size_t opened = 0;
        if (sealed == 0 || !open(receiving, std::span(packet.data(), sealed), opened)) {
            state.SkipWithError("seal/open failed");
            break;
        }
        benchmark::DoNotOptimize(packet.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kPayload));
}

// The same work with two keyed contexts and no wrapper: the floor for seal + open.
void rawGcm(benchmark::State& state) {
    const DirectionKey key = benchKey();
    vel::EvpCipherCtxPtr enc(EVP_CIPHER_CTX_new());
    vel::EvpCipherCtxPtr dec(EVP_CIPHER_CTX_new());
    check(EVP_EncryptInit_ex2(enc.get(), EVP_aes_256_gcm(), key.key.data(), nullptr, nullptr) == 1,
          "encrypt init");
    check(EVP_DecryptInit_ex2(dec.get(), EVP_aes_256_gcm(), key.key.data(), nullptr, nullptr) == 1,
          "decrypt init");
    std::array<std::uint8_t, kMaxPacketSize> packet{};
    std::uint8_t* payload = packet.data() + kHeaderSize;
    std::uint8_t* tag = payload + kPayload;
    std::array<std::uint8_t, 12> nonce{};
    std::memcpy(nonce.data(), key.salt.data(), 4);
    std::uint64_t number = 1;
    for (auto _ : state) {
        writeHeader({2, 0x1234, number++}, packet.data());
        std::memcpy(nonce.data() + 4, packet.data() + 5, 8);
        int n = 0;
        int f = 0;
        bool ok = EVP_EncryptInit_ex2(enc.get(), nullptr, nullptr, nonce.data(), nullptr) == 1 &&
                  EVP_EncryptUpdate(enc.get(), nullptr, &n, packet.data(), kHeaderSize) == 1 &&
                  EVP_EncryptUpdate(enc.get(), payload, &n, payload, kPayload) == 1 &&
                  EVP_EncryptFinal_ex(enc.get(), payload + n, &f) == 1 &&
                  EVP_CIPHER_CTX_ctrl(enc.get(), EVP_CTRL_GCM_GET_TAG, 16, tag) == 1;
        ok = ok && EVP_DecryptInit_ex2(dec.get(), nullptr, nullptr, nonce.data(), nullptr) == 1 &&
             EVP_DecryptUpdate(dec.get(), nullptr, &n, packet.data(), kHeaderSize) == 1 &&
             EVP_DecryptUpdate(dec.get(), payload, &n, payload, kPayload) == 1 &&
             EVP_CIPHER_CTX_ctrl(dec.get(), EVP_CTRL_GCM_SET_TAG, 16, tag) == 1 &&
             EVP_DecryptFinal_ex(dec.get(), payload + n, &f) == 1;
        if (!ok) {
            state.SkipWithError("raw GCM failed");
            break;
        }
        benchmark::DoNotOptimize(packet.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kPayload));
}

struct Pairs {
    StreamKeyPair host;
    StreamKeyPair viewer;
    Pairs() {
        std::string error;
        check(generateKeyPair(host, error) && generateKeyPair(viewer, error), "generateKeyPair");
    }
};

void agreeAndDerive(benchmark::State& state) {
    const Pairs pairs;
    const vel::Bytes ticket(32, 9);
    vel::Bytes secret;
    std::string error;
    for (auto _ : state) {
        if (!agree(pairs.host, pairs.viewer.publicKey(), secret, error)) {
            state.SkipWithError(error.c_str());
            break;
        }
        const SessionKeys keys =
            deriveSessionKeys(secret, ticket, pairs.host.publicKey(), pairs.viewer.publicKey());
        benchmark::DoNotOptimize(keys.hostToViewer.key.data());
    }
    state.SetItemsProcessed(state.iterations());
}

// The bare scalar multiplication with both keys already in OpenSSL's form.
void pkeyDerive(benchmark::State& state) {
    const vel::EvpPkeyPtr host(EVP_EC_gen("P-256"));
    const vel::EvpPkeyPtr viewer(EVP_EC_gen("P-256"));
    check(host && viewer, "EVP_EC_gen");
    std::array<std::uint8_t, 32> secret{};
    for (auto _ : state) {
        const vel::EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, host.get(), nullptr));
        std::size_t length = secret.size();
        if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1 ||
            EVP_PKEY_derive_set_peer(ctx.get(), viewer.get()) != 1 ||
            EVP_PKEY_derive(ctx.get(), secret.data(), &length) != 1) {
            state.SkipWithError("EVP_PKEY_derive failed");
            break;
        }
        benchmark::DoNotOptimize(secret.data());
    }
    state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(sealOpen)->Name("seal+open 1171-byte payload");
BENCHMARK(rawGcm)->Name("seal+open 1171-byte payload | raw EVP AES-256-GCM");
BENCHMARK(agreeAndDerive)->Name("agree+deriveSessionKeys");
BENCHMARK(pkeyDerive)->Name("agree+deriveSessionKeys | EVP_PKEY_derive");
