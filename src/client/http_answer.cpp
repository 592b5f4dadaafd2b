#include "client/http_answer.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace vel::client {

namespace {

std::string lowerCase(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

// The value of a header in a lower-cased head, or npos when the head has none.
std::size_t headerValue(const std::string& head, std::string_view name) {
    const std::string key = "\r\n" + std::string(name) + ":";
    const std::size_t at = head.find(key);
    if (at == std::string::npos) return at;
    std::size_t value = at + key.size();
    while (value < head.size() && (head[value] == ' ' || head[value] == '\t')) ++value;
    return value;
}

}  // namespace

AnswerState ParseHttpAnswer(std::string_view received, bool closed, HttpAnswer& answer,
                            std::string& error) {
    if (received.size() > kMaxAnswerBytes) {
        error = "the gate's answer is larger than " + std::to_string(kMaxAnswerBytes) + " bytes";
        return AnswerState::Malformed;
    }
    const std::size_t headEnd = received.find("\r\n\r\n");
    if (headEnd == std::string_view::npos) {
        if (!closed) return AnswerState::Incomplete;
        error = "the gate closed the connection before it answered";
        return AnswerState::Malformed;
    }
    const std::string head = lowerCase(received.substr(0, headEnd));
    int status = 0;
    const auto [end, ec] =
        std::from_chars(head.data() + std::min<std::size_t>(9, head.size()),
                        head.data() + std::min<std::size_t>(12, head.size()), status);
    if (head.rfind("http/1.", 0) != 0 || head.size() < 12 || head[8] != ' ' || ec != std::errc() ||
        end != head.data() + 12 || status < 100) {
        error = "the gate's answer is not HTTP";
        return AnswerState::Malformed;
    }
    const std::size_t chunked = headerValue(head, "transfer-encoding");
    if (chunked != std::string::npos && head.compare(chunked, 7, "chunked") == 0) {
        error = "the gate's answer uses chunked encoding, which this client does not read";
        return AnswerState::Malformed;
    }
    const std::string_view body = received.substr(headEnd + 4);
    const std::size_t lengthAt = headerValue(head, "content-length");
    if (lengthAt == std::string::npos) {
        if (!closed) return AnswerState::Incomplete;
        answer = {status, std::string(body)};
        return AnswerState::Complete;
    }
    std::size_t length = 0;
    const char* digits = head.data() + lengthAt;
    const auto [lengthEnd, lengthEc] = std::from_chars(digits, head.data() + head.size(), length);
    if (lengthEc != std::errc() || lengthEnd == digits || length > kMaxAnswerBytes) {
        error = "the gate's answer has an unusable Content-Length";
        return AnswerState::Malformed;
    }
    if (body.size() < length) {
        if (!closed) return AnswerState::Incomplete;
        error = "the gate closed the connection in the middle of its answer";
        return AnswerState::Malformed;
    }
    answer = {status, std::string(body.substr(0, length))};
    return AnswerState::Complete;
}

}  // namespace vel::client
