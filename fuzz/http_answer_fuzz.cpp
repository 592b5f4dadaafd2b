// The client's reader of the gate's HTTP answers, on arbitrary bytes, open and closed.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "client/http_answer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view received(reinterpret_cast<const char*>(data), size);
    for (const bool closed : {false, true}) {
        vel::client::HttpAnswer answer;
        std::string error;
        vel::client::ParseHttpAnswer(received, closed, answer, error);
    }
    return 0;
}
