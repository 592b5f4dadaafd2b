#include "client/http_answer.h"

#include <gtest/gtest.h>

namespace vel::client {
namespace {

TEST(HttpAnswer, WaitsForTheWholeBodyItAnnounces) {
    const std::string full =
        "HTTP/1.1 403 Forbidden\r\nContent-Type: application/json\r\ncontent-length:  11\r\n\r\n"
        "{\"ok\":true}";
    HttpAnswer answer;
    std::string error;
    for (std::size_t cut = 0; cut < full.size(); ++cut) {
        EXPECT_EQ(ParseHttpAnswer(full.substr(0, cut), false, answer, error),
                  AnswerState::Incomplete)
            << cut;
    }
    ASSERT_EQ(ParseHttpAnswer(full + "extra", false, answer, error), AnswerState::Complete);
    EXPECT_EQ(answer.status, 403);
    EXPECT_EQ(answer.body, "{\"ok\":true}");
    // Cut off by the server: an error, not a shorter body.
    EXPECT_EQ(ParseHttpAnswer(full.substr(0, full.size() - 1), true, answer, error),
              AnswerState::Malformed);
    EXPECT_EQ(error, "the gate closed the connection in the middle of its answer");
}

TEST(HttpAnswer, RefusesWhatIsNotAGateAnswer) {
    HttpAnswer answer;
    std::string error;
    for (const char* text : {"SSH-2.0-OpenSSH_9.2\r\n\r\n", "HTTP/1.1 2x0 OK\r\n\r\n",
                             "HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\n",
                             "HTTP/1.1 200 OK\r\nContent-Length: 99999999999\r\n\r\n",
                             "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello"}) {
        EXPECT_EQ(ParseHttpAnswer(text, false, answer, error), AnswerState::Malformed) << text;
    }
    EXPECT_EQ(ParseHttpAnswer(std::string(kMaxAnswerBytes + 1, 'x'), false, answer, error),
              AnswerState::Malformed);
    EXPECT_EQ(ParseHttpAnswer("HTTP/1.1 200", true, answer, error), AnswerState::Malformed);
}

}  // namespace
}  // namespace vel::client
