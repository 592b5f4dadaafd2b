#include "client/soft_key_source.h"

#include <cstring>
#include <deque>
#include <map>

namespace vel::test {

namespace {

constexpr std::size_t kReport = 64;
constexpr std::uint8_t kCmdInit = 0x06;
constexpr std::uint8_t kCmdCbor = 0x10;
constexpr std::uint8_t kCmdCancel = 0x11;
constexpr std::uint8_t kCmdError = 0x3f;
constexpr std::uint8_t kCapabilityCbor = 0x04;
constexpr std::uint8_t kCapabilityNoMsg = 0x08;
constexpr std::uint8_t kChannel[4] = {0x11, 0x22, 0x33, 0x44};

// libfido2's I/O hooks carry no context but the path, so attached authenticators are found here
// (attached and used on one thread).
std::map<std::string, CtapAuthenticator*> registry;

// One open device: reassembles the host's CTAPHID messages and queues the answer's reports.
class HidChannel {
  public:
    explicit HidChannel(CtapAuthenticator& authenticator) : authenticator_(authenticator) {}

    void write(const unsigned char* report) {
        const Bytes cid(report, report + 4);
        if ((report[4] & 0x80) != 0) {
            command_ = report[4] & 0x7f;
            expected_ = static_cast<std::size_t>(report[5] << 8 | report[6]);
            message_.assign(report + 7, report + kReport);
            nextSeq_ = 0;
        } else {
            if (report[4] != nextSeq_++) return reply(cid, kCmdError, {0x04});  // invalid seq
            message_.insert(message_.end(), report + 5, report + kReport);
        }
        if (message_.size() < expected_) return;
        message_.resize(expected_);
        dispatch(cid);
    }

    // The next queued report; false when the device has nothing to say.
    bool read(unsigned char* report) {
        if (reports_.empty()) return false;
        std::memcpy(report, reports_.front().data(), kReport);
        reports_.pop_front();
        return true;
    }

  private:
    void dispatch(const Bytes& cid) {
        if (command_ == kCmdInit) {
            Bytes answer(message_.begin(), message_.begin() + 8);  // the nonce
            answer.insert(answer.end(), std::begin(kChannel), std::end(kChannel));
            answer.insert(answer.end(), {2, 1, 0, 0, kCapabilityCbor | kCapabilityNoMsg});
            return reply(cid, kCmdInit, answer);
        }
        if (command_ == kCmdCbor) return reply(cid, kCmdCbor, authenticator_.handle(message_));
        if (command_ == kCmdCancel) return;
        reply(cid, kCmdError, {0x01});  // invalid command
    }

    void reply(const Bytes& cid, std::uint8_t command, const Bytes& payload) {
        std::size_t sent = 0;
        std::uint8_t seq = 0;
        do {
            Bytes report(cid);
            if (sent == 0) {
                report.push_back(static_cast<std::uint8_t>(0x80 | command));
                report.push_back(static_cast<std::uint8_t>(payload.size() >> 8));
                report.push_back(static_cast<std::uint8_t>(payload.size()));
            } else {
                report.push_back(seq++);
            }
            const std::size_t room = kReport - report.size();
            const std::size_t take = std::min(room, payload.size() - sent);
            report.insert(report.end(), payload.begin() + static_cast<long>(sent),
                          payload.begin() + static_cast<long>(sent + take));
            report.resize(kReport);
            reports_.push_back(report);
            sent += take;
        } while (sent < payload.size());
    }

    CtapAuthenticator& authenticator_;
    std::uint8_t command_ = 0;
    std::size_t expected_ = 0;
    std::uint8_t nextSeq_ = 0;
    Bytes message_;
    std::deque<Bytes> reports_;
};

void* openChannel(const char* path) {
    const auto found = registry.find(path);
    return found == registry.end() ? nullptr : new HidChannel(*found->second);
}

void closeChannel(void* handle) {
    delete static_cast<HidChannel*>(handle);
}

int readChannel(void* handle, unsigned char* buffer, std::size_t length, int) {
    if (length != kReport || !static_cast<HidChannel*>(handle)->read(buffer)) return -1;
    return static_cast<int>(kReport);
}

// libfido2 writes a report id byte in front of each 64-byte report.
int writeChannel(void* handle, const unsigned char* buffer, std::size_t length) {
    if (length != kReport + 1) return -1;
    static_cast<HidChannel*>(handle)->write(buffer + 1);
    return static_cast<int>(length);
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
    const fido_dev_io_t io{openChannel, closeChannel, readChannel, writeChannel};
    if (fido_dev_set_io_functions(device, &io) != FIDO_OK) {
        error = "fido_dev_set_io_functions failed";
        return false;
    }
    return true;
}

}  // namespace vel::test
