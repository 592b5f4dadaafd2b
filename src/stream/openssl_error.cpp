#include "stream/openssl_error.h"

#include <openssl/err.h>

namespace vel::stream {

std::string openSslFailure(const std::string& step) {
    const unsigned long code = ERR_peek_last_error();
    std::string reason = "no reason given";
    if (code != 0) {
        char text[256] = {};
        ERR_error_string_n(code, text, sizeof text);
        reason = text;
    }
    ERR_clear_error();
    return step + " failed: " + reason;
}

}  // namespace vel::stream
