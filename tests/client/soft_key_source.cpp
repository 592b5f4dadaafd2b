#include "client/soft_key_source.h"

#include <cstring>
#include <map>

namespace vel::test {

namespace {

constexpr std::uint8_t kCmdInit = 0x06;
constexpr std::uint8_t kCmdCbor = 0x10;
constexpr std::uint8_t kCapabilityCbor = 0x04;
constexpr std::uint8_t kCapabilityNoMsg = 0x08;

// libfido2's hooks carry no context but the path, so attached authenticators are found here
// (attached and used on one thread).
std::map<std::string, CtapAuthenticator*> registry;

// One open device: the answer to the last message until libfido2 reads it.
struct Channel {
    CtapAuthenticator& authenticator;
    Bytes answer;
};

void* openChannel(const char* path) {
    const auto found = registry.find(path);
    return found == registry.end() ? nullptr : new Channel{*found->second, {}};
}

void closeChannel(void* handle) {
    delete static_cast<Channel*>(handle);
}

// Whole messages go through the transport hooks below, so the report hooks are never called.
int readReport(void*, unsigned char*, std::size_t, int) {
    return -1;
}

int writeReport(void*, const unsigned char*, std::size_t) {
    return -1;
}

int transmit(fido_dev_t* device, std::uint8_t command, const unsigned char* data,
             std::size_t length) {
    Channel& channel = *static_cast<Channel*>(fido_dev_io_handle(device));
    const Bytes message(data, data + length);
    if (command == kCmdInit) {
        // The nonce, a channel id, CTAPHID version 2, device version 1.0.0 and the capabilities.
        channel.answer = message;
        channel.answer.insert(channel.answer.end(), {0x11, 0x22, 0x33, 0x44, 2, 1, 0, 0,
                                                     kCapabilityCbor | kCapabilityNoMsg});
        return 0;
    }
    if (command != kCmdCbor) return -1;
    channel.answer = channel.authenticator.handle(message);
    return 0;
}

int receive(fido_dev_t* device, std::uint8_t, unsigned char* buffer, std::size_t length, int) {
    const Bytes& answer = static_cast<Channel*>(fido_dev_io_handle(device))->answer;
    if (answer.size() > length) return -1;
    std::memcpy(buffer, answer.data(), answer.size());
    return static_cast<int>(answer.size());
}

}  // namespace

SoftKeySource::~SoftKeySource() {
    for (const std::string& path : paths_) registry.erase(path);
}

void SoftKeySource::attach(const std::string& path, CtapAuthenticator& authenticator) {
    registry[path] = &authenticator;
    paths_.push_back(path);
}

bool SoftKeySource::list(std::vector<std::string>& paths, std::string&) {
    paths = paths_;
    return true;
}

bool SoftKeySource::prepare(fido_dev_t* device, const std::string&, std::string& error) {
    const fido_dev_io_t io{openChannel, closeChannel, readReport, writeReport};
    const fido_dev_transport_t transport{receive, transmit};
    if (fido_dev_set_io_functions(device, &io) != FIDO_OK ||
        fido_dev_set_transport_functions(device, &transport) != FIDO_OK) {
        error = "setting libfido2's device hooks failed";
        return false;
    }
    return true;
}

}  // namespace vel::test
