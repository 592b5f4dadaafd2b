#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/bytes.h"
#include "core/crypto.h"
#include "core/openssl_ptr.h"

namespace vel::admin {

// What the self-test builds the way an authenticator would: CBOR items and a P-256 key that signs.

// A head with any major type and argument, in the shortest form.
Bytes CborHead(std::uint8_t major, std::uint64_t argument);
Bytes CborInteger(std::int64_t value);
Bytes CborByteString(const Bytes& value);
Bytes CborTextString(std::string_view value);
// The head of a map of count entries; the entries follow as key, value, key, value...
Bytes CborMapHead(std::size_t count);
Bytes CborArrayHead(std::size_t count);
void Append(Bytes& to, const Bytes& bytes);

// A software P-256 key pair.
struct TestKeyPair {
    EvpPkeyPtr key;
    Bytes x;  // 32 bytes each
    Bytes y;
};

// False when the key cannot be made.
bool MakeP256TestKey(TestKeyPair& out);
// ECDSA with SHA-256 over data, ASN.1 DER; false when signing fails.
[[nodiscard]] bool SignWithTestKey(const TestKeyPair& pair, const Bytes& data, Bytes& derSignature);
// The same signature as raw r || s of 32 bytes each; empty when der is not a signature.
Bytes RawSignatureOf(const Bytes& der);
// The public key as the gate reads it (ES256 on P-256), and as a COSE_Key map.
CoseKey CoseKeyOf(const TestKeyPair& pair);
Bytes CoseKeyBytes(const Bytes& x, const Bytes& y);

// A folder of the self-test's own, made empty on construction and removed with everything in it
// on destruction, whatever the checks found.
class ScratchFolder {
  public:
    explicit ScratchFolder(std::string path);
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const;

  private:
    std::string path_;
};

}  // namespace vel::admin
