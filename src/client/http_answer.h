#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vel::client {

// Answers of the gate are small JSON objects; anything larger is not a gate.
inline constexpr std::size_t kMaxAnswerBytes = 1024 * 1024;

struct HttpAnswer {
    int status = 0;
    std::string body;
};

enum class AnswerState { Incomplete, Complete, Malformed };

// Reads an HTTP/1.1 answer from the bytes received so far. closed says the server has ended the
// connection: a body without Content-Length ends there. Malformed fills error.
AnswerState ParseHttpAnswer(std::string_view received, bool closed, HttpAnswer& answer,
                            std::string& error);

}  // namespace vel::client
