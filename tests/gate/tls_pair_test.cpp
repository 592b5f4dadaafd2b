#include "gate/tls_pair.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cctype>
#include <memory>

#include "os/files.h"
#include "os/paths.h"
#include "support/golden.h"
#include "support/temp_dir.h"

namespace vel::gate {
namespace {

// A self-signed P-256 certificate; its thumbprint was taken with
// `openssl x509 -noout -fingerprint -sha1`.
const std::string kCertificate = test::Golden("tls-cert.pem");
const std::string kPrivateKey = test::Golden("tls-key.pem");
constexpr const char* kThumbprint = "5B392193CCB5479D92DCA4CE1354A73FEC683F6E";

std::string otherKey() {
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("P-256"), EVP_PKEY_free);
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
    EXPECT_EQ(PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr),
              1);
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(size));
}

class TlsPairTest : public ::testing::Test {
  protected:
    void write(const char* name, const std::string& text) {
        ASSERT_TRUE(WriteFileAtomic(JoinPath(dir_, name), text));
    }

    test::TempDir tempDir_;
    const std::string dir_ = tempDir_.path();
};

TEST_F(TlsPairTest, LoadsOnlyTheConfiguredMatchingPair) {
    TlsPair pair;
    std::string error;
    EXPECT_FALSE(LoadTlsPair(dir_, kThumbprint, pair, error));
    EXPECT_NE(error.find("cannot read " + JoinPath(dir_, "tls-cert.pem")), std::string::npos);

    write("tls-cert.pem", kCertificate);
    write("tls-key.pem", kPrivateKey);
    std::string lowerCase = kThumbprint;
    for (char& c : lowerCase) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    ASSERT_TRUE(LoadTlsPair(dir_, lowerCase, pair, error)) << error;
    EXPECT_EQ(pair.certificatePem, kCertificate);
    EXPECT_EQ(pair.privateKeyPem, kPrivateKey);

    TlsPair untouched;
    EXPECT_FALSE(LoadTlsPair(dir_, "00" + std::string(kThumbprint).substr(2), untouched, error));
    EXPECT_NE(error.find("has thumbprint " + std::string(kThumbprint)), std::string::npos);
    EXPECT_TRUE(untouched.certificatePem.empty());

    write("tls-key.pem", otherKey());
    EXPECT_FALSE(LoadTlsPair(dir_, kThumbprint, untouched, error));
    EXPECT_NE(error.find("does not belong to the certificate"), std::string::npos);

    write("tls-cert.pem", kPrivateKey);
    EXPECT_FALSE(LoadTlsPair(dir_, kThumbprint, untouched, error));
    EXPECT_NE(error.find("holds no PEM certificate"), std::string::npos);
    EXPECT_TRUE(untouched.privateKeyPem.empty());
}

}  // namespace
}  // namespace vel::gate
