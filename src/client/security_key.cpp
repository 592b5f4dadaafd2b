#include "client/security_key.h"

#include <memory>

namespace vel::client {

namespace {

// Keys give up waiting for a touch after about thirty seconds themselves; this bounds a key that
// never answers at all.
constexpr int kDeviceTimeoutMs = 60000;
constexpr std::size_t kMaxDevices = 16;

struct CredFree {
    void operator()(fido_cred_t* cred) const noexcept { fido_cred_free(&cred); }
};
// Closing an unopened device is refused harmlessly by libfido2.
struct DevFree {
    void operator()(fido_dev_t* device) const noexcept {
        fido_dev_close(device);
        fido_dev_free(&device);
    }
};
struct AssertFree {
    void operator()(fido_assert_t* assertion) const noexcept { fido_assert_free(&assertion); }
};
struct DevInfoList {
    explicit DevInfoList(std::size_t count) : list(fido_dev_info_new(count)), count(count) {}
    ~DevInfoList() { fido_dev_info_free(&list, count); }
    fido_dev_info_t* list;
    std::size_t count;
};

class HidDeviceSource : public DeviceSource {
  public:
    bool list(std::vector<std::string>& paths, std::string& error) override {
        DevInfoList devices(kMaxDevices);
        std::size_t found = 0;
        const int rc = devices.list == nullptr
                           ? FIDO_ERR_INTERNAL
                           : fido_dev_info_manifest(devices.list, kMaxDevices, &found);
        if (rc != FIDO_OK) {
            error = std::string("listing FIDO devices failed: ") + fido_strerr(rc);
            return false;
        }
        for (std::size_t i = 0; i < found; ++i) {
            paths.emplace_back(fido_dev_info_path(fido_dev_info_ptr(devices.list, i)));
        }
        return true;
    }
    bool prepare(fido_dev_t*, const std::string&, std::string&) override { return true; }
};

// libfido2 hands authenticator data out CBOR-wrapped; the gate wants the bare bytes.
bool unwrapByteString(const unsigned char* data, std::size_t size, Bytes& out) {
    if (data == nullptr || size == 0 || (data[0] >> 5) != 2) return false;
    const std::uint8_t info = data[0] & 0x1f;
    std::size_t header = 1;
    std::size_t length = info;
    if (info == 24 || info == 25 || info == 26) {
        header = 1 + (std::size_t{1} << (info - 24));
        if (size < header) return false;
        length = 0;
        for (std::size_t i = 1; i < header; ++i) length = (length << 8) | data[i];
    } else if (info > 23) {
        return false;
    }
    if (size != header + length) return false;
    out.assign(data + header, data + size);
    return true;
}

}  // namespace

std::unique_ptr<DeviceSource> NewHidDeviceSource() {
    return std::make_unique<HidDeviceSource>();
}

SecurityKey::~SecurityKey() {
    fido_dev_close(device_);
    fido_dev_free(&device_);
}

std::unique_ptr<SecurityKey> SecurityKey::open(DeviceSource& source, const std::string& path,
                                               std::string& error) {
    fido_init(0);
    std::string chosen = path;
    if (chosen.empty()) {
        std::vector<std::string> paths;
        if (!source.list(paths, error)) return nullptr;
        if (paths.empty()) {
            // A key the user may not open is not listed either.
            error =
                "no security key found: plug in your FIDO2 key (udev lets the user logged in at "
                "the seat use it; other accounts need a udev rule of their own)";
            return nullptr;
        }
        chosen = paths.front();
    }
    std::unique_ptr<fido_dev_t, DevFree> device(fido_dev_new());
    if (!device) {
        error = "fido_dev_new failed";
        return nullptr;
    }
    if (!source.prepare(device.get(), chosen, error)) return nullptr;
    const int rc = fido_dev_open(device.get(), chosen.c_str());
    if (rc != FIDO_OK) {
        error = "cannot open the security key " + chosen + ": " + fido_strerr(rc);
        return nullptr;
    }
    std::unique_ptr<SecurityKey> key(new SecurityKey(device.release(), chosen));
    if (!fido_dev_is_fido2(key->device_)) {
        error = "the key at " + chosen + " is a U2F-only key; the gate needs a FIDO2 key";
        return nullptr;
    }
    fido_dev_set_timeout(key->device_, kDeviceTimeoutMs);
    return key;
}

bool SecurityKey::hasPin() const {
    return fido_dev_has_pin(device_);
}

bool SecurityKey::hasBuiltInVerification() const {
    return fido_dev_has_uv(device_);
}

void SecurityKey::explain(int result, KeyFailure& failure, std::string& error) {
    switch (result) {
        case FIDO_ERR_PIN_INVALID: {
            failure = KeyFailure::WrongPin;
            int retries = -1;
            error = "wrong PIN";
            if (fido_dev_get_retry_count(device_, &retries) == FIDO_OK && retries >= 0) {
                error += "; the key locks after " + std::to_string(retries) + " more wrong PIN" +
                         (retries == 1 ? "" : "s");
            }
            return;
        }
        case FIDO_ERR_PIN_AUTH_BLOCKED:
            failure = KeyFailure::WrongPin;
            error =
                "wrong PIN three times in a row; unplug the key and plug it in again before "
                "the next try";
            return;
        case FIDO_ERR_PIN_BLOCKED:
            failure = KeyFailure::PinBlocked;
            error =
                "the key's PIN is blocked after too many wrong PINs; only resetting the key "
                "(which erases its credentials) makes it usable again";
            return;
        case FIDO_ERR_PIN_REQUIRED:
        case FIDO_ERR_PIN_AUTH_INVALID:
            failure = KeyFailure::PinRequired;
            error = "the key wants its PIN for this";
            return;
        case FIDO_ERR_PIN_NOT_SET:
        case FIDO_ERR_UNSUPPORTED_OPTION:
            failure = KeyFailure::NoUserVerification;
            error = "the key cannot verify you: it has no PIN set (set one with `fido2-token -S " +
                    path_ + "`)";
            return;
        case FIDO_ERR_UV_BLOCKED:
        case FIDO_ERR_UV_INVALID:
            failure = KeyFailure::WrongPin;
            error = "the key did not recognise you (fingerprint); enter its PIN instead";
            return;
        case FIDO_ERR_NO_CREDENTIALS:
            failure = KeyFailure::NotEnrolled;
            error = "this security key is not enrolled on this gate";
            return;
        case FIDO_ERR_ACTION_TIMEOUT:
        case FIDO_ERR_USER_ACTION_TIMEOUT:
        case FIDO_ERR_OPERATION_DENIED:
        case FIDO_ERR_KEEPALIVE_CANCEL:
        case FIDO_ERR_UP_REQUIRED:
            failure = KeyFailure::NoTouch;
            error = "the security key was not touched in time";
            return;
        default:
            error = std::string("the security key failed: ") + fido_strerr(result);
            return;
    }
}

bool SecurityKey::makeCredential(const CredentialRequest& request, const SecretText* pin,
                                 NewCredential& out, KeyFailure& failure, std::string& error) {
    std::unique_ptr<fido_cred_t, CredFree> cred(fido_cred_new());
    if (!cred) {
        error = "fido_cred_new failed";
        return false;
    }
    int rc = fido_cred_set_type(cred.get(), COSE_ES256);
    if (rc == FIDO_OK) {
        rc = fido_cred_set_clientdata_hash(cred.get(), request.clientDataHash.data(),
                                           request.clientDataHash.size());
    }
    if (rc == FIDO_OK)
        rc = fido_cred_set_rp(cred.get(), request.rpId.c_str(), request.rpName.c_str());
    if (rc == FIDO_OK) {
        rc = fido_cred_set_user(cred.get(), request.userId.data(), request.userId.size(),
                                request.userName.c_str(), request.userDisplayName.c_str(), nullptr);
    }
    // A PIN proves verification by itself; asking for the option as well is only for keys that
    // verify on their own.
    if (rc == FIDO_OK && pin == nullptr && request.userVerification) {
        rc = fido_cred_set_uv(cred.get(), FIDO_OPT_TRUE);
    }
    if (rc != FIDO_OK) {
        error = std::string("preparing the credential request failed: ") + fido_strerr(rc);
        return false;
    }
    rc = fido_dev_make_cred(device_, cred.get(), pin == nullptr ? nullptr : pin->c_str());
    if (rc != FIDO_OK) {
        explain(rc, failure, error);
        return false;
    }
    const unsigned char* id = fido_cred_id_ptr(cred.get());
    const unsigned char* authData = fido_cred_authdata_raw_ptr(cred.get());
    if (id == nullptr || authData == nullptr) {
        error = "the security key returned an incomplete credential";
        return false;
    }
    out.credentialId.assign(id, id + fido_cred_id_len(cred.get()));
    out.authenticatorData.assign(authData, authData + fido_cred_authdata_raw_len(cred.get()));
    return true;
}

bool SecurityKey::getAssertion(const AssertionRequest& request, const SecretText* pin,
                               KeyAssertion& out, KeyFailure& failure, std::string& error) {
    std::unique_ptr<fido_assert_t, AssertFree> assertion(fido_assert_new());
    if (!assertion) {
        error = "fido_assert_new failed";
        return false;
    }
    int rc = fido_assert_set_rp(assertion.get(), request.rpId.c_str());
    if (rc == FIDO_OK) {
        rc = fido_assert_set_clientdata_hash(assertion.get(), request.clientDataHash.data(),
                                             request.clientDataHash.size());
    }
    for (const Bytes& id : request.allowedCredentials) {
        if (rc == FIDO_OK) rc = fido_assert_allow_cred(assertion.get(), id.data(), id.size());
    }
    if (rc == FIDO_OK) rc = fido_assert_set_up(assertion.get(), FIDO_OPT_TRUE);
    if (rc == FIDO_OK && pin == nullptr && request.userVerification) {
        rc = fido_assert_set_uv(assertion.get(), FIDO_OPT_TRUE);
    }
    if (rc != FIDO_OK) {
        error = std::string("preparing the assertion request failed: ") + fido_strerr(rc);
        return false;
    }
    rc = fido_dev_get_assert(device_, assertion.get(), pin == nullptr ? nullptr : pin->c_str());
    if (rc != FIDO_OK) {
        explain(rc, failure, error);
        return false;
    }
    if (fido_assert_count(assertion.get()) < 1 ||
        !unwrapByteString(fido_assert_authdata_ptr(assertion.get(), 0),
                          fido_assert_authdata_len(assertion.get(), 0), out.authenticatorData)) {
        error = "the security key returned an incomplete assertion";
        return false;
    }
    const unsigned char* id = fido_assert_id_ptr(assertion.get(), 0);
    const std::size_t idLength = fido_assert_id_len(assertion.get(), 0);
    // A key may leave the credential out when only one was allowed.
    if (id != nullptr && idLength > 0) {
        out.credentialId.assign(id, id + idLength);
    } else if (request.allowedCredentials.size() == 1) {
        out.credentialId = request.allowedCredentials.front();
    } else {
        error = "the security key did not say which credential it used";
        return false;
    }
    const unsigned char* signature = fido_assert_sig_ptr(assertion.get(), 0);
    out.signature.assign(signature, signature + fido_assert_sig_len(assertion.get(), 0));
    return true;
}

}  // namespace vel::client
