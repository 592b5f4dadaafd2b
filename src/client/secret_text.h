#pragma once

#include <openssl/crypto.h>

#include <string>

namespace vel::client {

// Text that must not outlive its use, such as a PIN: wiped when it is replaced or destroyed.
class SecretText {
  public:
    SecretText() = default;
    SecretText(const SecretText&) = delete;
    SecretText& operator=(const SecretText&) = delete;
    ~SecretText() { clear(); }

    std::string& text() { return text_; }
    const char* c_str() const { return text_.c_str(); }
    bool empty() const { return text_.empty(); }
    void clear() {
        OPENSSL_cleanse(text_.data(), text_.size());
        text_.clear();
    }

  private:
    std::string text_;
};

}  // namespace vel::client
