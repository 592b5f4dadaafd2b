// The session's record handler on arbitrary plaintext: each input becomes the payload of an
// authenticated data packet sent to a live Session on loopback (the first byte picks a host or a
// viewer session), so every record type reaches the handler of the role that takes it.
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "stream/record_bodies.h"
#include "stream/session.h"

using namespace vel::stream;

namespace {

// A live session and the hand-driven peer that feeds it.
class Target {
  public:
    explicit Target(std::uint8_t role) : role_(role) {
        std::string error;
        if (!deriveDevTicket("000102030405060708090a0b0c0d0e0f", ticket_, error) ||
            !peer_.open(0, error)) {
            std::abort();
        }
        const bool host = role == kRoleHost;
        if (!openAeadKey(sendKey_, host ? ticket_.keys.viewerToHost : ticket_.keys.hostToViewer,
                         error)) {
            std::abort();
        }
        restart();
    }

    void feed(const std::uint8_t* data, std::size_t size) {
        if (session_->state() == SessionState::closed) restart();
        const std::uint64_t before = session_->stats().packetsReceived;
        send(PacketType::Data, data, size);
        // Wait until the session has taken the packet, so a failure belongs to this input.
        for (int i = 0; i < 2000 && session_->stats().packetsReceived == before; ++i) {
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
        std::vector<std::uint8_t> drain(UdpSocket::kReceiveLimit);
        Endpoint from;
        while (peer_.receive(drain, from, 0) > 0) {
        }
    }

  private:
    void restart() {
        session_ = std::make_unique<Session>();
        SessionParams params;
        params.role = role_;
        params.connId = ticket_.connId;
        params.keys = ticket_.keys;
        std::string error;
        if (!session_->start(params, {}, error)) std::abort();
        if (!parseEndpoint("127.0.0.1", session_->localPort(), to_)) std::abort();
        // Connect with a Hello from the other role.
        HelloBody hello;
        hello.role = role_ == kRoleHost ? kRoleViewer : kRoleHost;
        hello.connId = ticket_.connId;
        hello.clock = 1;
        std::uint8_t body[kHelloSize + 2] = {static_cast<std::uint8_t>(RecordType::Hello),
                                             static_cast<std::uint8_t>(kHelloSize)};
        encodeHello(hello, body + 2);
        send(PacketType::Handshake, body, sizeof body);
        for (int i = 0; i < 2000 && session_->state() != SessionState::connected; ++i) {
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    }

    void send(PacketType type, const std::uint8_t* payload, std::size_t size) {
        if (size > kMaxPayloadSize) size = kMaxPayloadSize;
        std::vector<std::uint8_t> packet(kHeaderSize + size + kTagSize);
        writeHeader({static_cast<std::uint8_t>(type), ticket_.connId, ++number_}, packet.data());
        if (size > 0) std::memcpy(packet.data() + kHeaderSize, payload, size);
        if (seal(sendKey_, packet, size) != packet.size()) std::abort();
        (void)peer_.sendTo(to_, packet);
    }

    std::uint8_t role_;
    SessionTicket ticket_;
    UdpSocket peer_;
    AeadKey sendKey_;
    std::uint64_t number_ = 0;
    Endpoint to_;
    std::unique_ptr<Session> session_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Target host(kRoleHost);
    static Target viewer(kRoleViewer);
    if (size == 0) return 0;
    ((data[0] & 1) != 0 ? viewer : host).feed(data + 1, size - 1);
    return 0;
}
