#include "attack_crowd.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <future>

namespace vel::bench {

namespace {

constexpr auto kRound = std::chrono::seconds(1);
constexpr int kAttemptSeconds = 2;
constexpr std::size_t kChunk = 65'536;

}  // namespace

AttackCrowd::AttackCrowd(SSL_CTX* context, std::uint16_t port, std::vector<AttackKind> kinds)
    : context_(context), port_(port), kinds_(std::move(kinds)), tallies_(kinds_.size()) {}

AttackCrowd::~AttackCrowd() {
    stop();
}

void AttackCrowd::start() {
    std::promise<void> firstRound;
    std::future<void> placed = firstRound.get_future();
    thread_ = std::thread([this, &firstRound] {
        std::vector<std::vector<TlsHttpClient>> held(kinds_.size());
        for (std::size_t kind = 0; kind < kinds_.size(); ++kind) topUp(kind, held[kind]);
        firstRound.set_value();
        run(held);
    });
    placed.wait();
}

void AttackCrowd::stop() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
}

void AttackCrowd::run(std::vector<std::vector<TlsHttpClient>>& held) {
    auto next = std::chrono::steady_clock::now() + kRound;
    while (!stopping_) {
        std::this_thread::sleep_until(next);
        next += kRound;
        for (std::size_t kind = 0; kind < kinds_.size() && !stopping_; ++kind)
            topUp(kind, held[kind]);
    }
}

void AttackCrowd::topUp(std::size_t kind, std::vector<TlsHttpClient>& held) {
    const AttackKind& attack = kinds_[kind];
    std::erase_if(held, [](const TlsHttpClient& c) { return !c.stillOpen(); });
    const std::string chunk(kChunk, '0');
    long made = 0, refused = 0;
    for (int attempt = static_cast<int>(held.size()); attempt < attack.target && !stopping_;
         ++attempt) {
        TlsHttpClient client(context_, kAttemptSeconds);
        std::string error;
        if (!client.connect(port_, error, attack.source)) {
            ++refused;
            continue;
        }
        ++made;
        bool open = attack.head.empty() || client.send(attack.head, error);
        for (std::size_t sent = 0; open && sent < attack.bodyBytes; sent += chunk.size())
            open = client.send(chunk, error);
        held.push_back(std::move(client));
    }
    std::lock_guard lock(mutex_);
    Tally& tally = tallies_[kind];
    tally.made += made;
    tally.refused += refused;
    tally.mostHeld = std::max(tally.mostHeld, static_cast<int>(held.size()));
}

std::string AttackCrowd::summary() const {
    std::lock_guard lock(mutex_);
    std::string text;
    for (std::size_t kind = 0; kind < kinds_.size(); ++kind) {
        char line[256];
        std::snprintf(line, sizeof line, "%s%s (target %d): at most %d open at once, %ld made, %ld refused",
                      text.empty() ? "" : "; ", kinds_[kind].name.c_str(), kinds_[kind].target,
                      tallies_[kind].mostHeld, tallies_[kind].made, tallies_[kind].refused);
        text += line;
    }
    return text;
}

}  // namespace vel::bench
