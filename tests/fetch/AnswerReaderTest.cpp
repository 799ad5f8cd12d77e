#include "fetch/AnswerReader.h"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace korvalot::fetch {
namespace {

using Kind = Failure::Kind;

// What became of the bytes: the answer, or the failure's kind and text.
struct Outcome {
    std::optional<Answer> answer;
    std::optional<Kind> failure;
    std::string failureText;
    int lastStatus = 0;
};

// Feeds `bytes` in pieces of `piece` bytes (all at once when 0), then, unless the answer was
// complete before, tells the reader that the server closed.
Outcome Read(const std::string& bytes, std::size_t piece, bool closeAtEnd) {
    AnswerReader reader;
    Outcome outcome;
    try {
        bool complete = false;
        const std::size_t step = piece == 0 ? std::max<std::size_t>(bytes.size(), 1) : piece;
        for (std::size_t at = 0; at < bytes.size() && !complete; at += step) {
            complete = reader.Feed(std::string_view(bytes).substr(at, step));
        }
        if (!complete && closeAtEnd) {
            reader.End();
            complete = true;
        }
        if (complete) {
            outcome.answer = reader.Take();
        }
    } catch (const Failure& failure) {
        outcome.failure = failure.kind;
        outcome.failureText = failure.text;
    }
    outcome.lastStatus = reader.LastStatus();
    return outcome;
}

struct ReadCase {
    const char* name;
    std::string bytes;
    bool closeAtEnd;
    // For a complete answer:
    int status;
    std::string statusLine;
    std::string body;
    bool keepAlive;
    bool closed;
    bool leftover;
    // Otherwise:
    std::optional<Kind> failure;
    friend void PrintTo(const ReadCase& c, std::ostream* os) { *os << c.name; }
};

ReadCase Complete(const char* name, std::string bytes, int status, std::string statusLine,
                  std::string body, bool keepAlive = true, bool leftover = false) {
    return {name,
            std::move(bytes),
            false,
            status,
            std::move(statusLine),
            std::move(body),
            keepAlive,
            false,
            leftover,
            std::nullopt};
}

ReadCase Failing(const char* name, std::string bytes, bool closeAtEnd, Kind kind) {
    return {name, std::move(bytes), closeAtEnd, 0, "", "", false, false, false, kind};
}

class AnswerReading : public ::testing::TestWithParam<ReadCase> {};

// The same bytes give the same outcome whether they come at once or one by one.
TEST_P(AnswerReading, GivesTheSameOutcomeHoweverTheBytesArrive) {
    const auto& c = GetParam();
    for (const std::size_t piece : {std::size_t{0}, std::size_t{1}, std::size_t{7}}) {
        SCOPED_TRACE("pieces of " + std::to_string(piece));
        const Outcome outcome = Read(c.bytes, piece, c.closeAtEnd);
        if (c.failure) {
            EXPECT_FALSE(outcome.answer.has_value());
            EXPECT_EQ(outcome.failure, c.failure) << outcome.failureText;
            continue;
        }
        ASSERT_TRUE(outcome.answer.has_value()) << outcome.failureText;
        const Answer& a = *outcome.answer;
        EXPECT_EQ(a.status, c.status);
        EXPECT_EQ(outcome.lastStatus, c.status);
        EXPECT_EQ(a.statusLine, c.statusLine);
        EXPECT_EQ(a.body, c.body);
        EXPECT_EQ(a.keepAlive, c.keepAlive);
        EXPECT_EQ(a.closed, c.closed);
        // Bytes after the answer are seen only when they arrive with its end.
        if (piece == 0) {
            EXPECT_EQ(a.leftover, c.leftover);
        }
    }
}

ReadCase ToTheEnd() {
    ReadCase c = Complete("BodyToTheEndOfTheConnection", "HTTP/1.1 200 OK\r\n\r\nall of it", 200,
                          "HTTP/1.1 200 OK", "all of it", false);
    c.closeAtEnd = true;
    c.closed = true;
    return c;
}

INSTANTIATE_TEST_SUITE_P(
    Answers, AnswerReading,
    ::testing::Values(
        Complete("ByLength", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", 200,
                 "HTTP/1.1 200 OK", "hello"),
        Complete("StatusLineWithoutReason", "HTTP/1.1 404\r\nContent-Length: 2\r\n\r\nno", 404,
                 "HTTP/1.1 404", "no"),
        Complete("StatusLineAsWritten", "HTTP/1.1 500 Something  Odd \r\nContent-Length: 0\r\n\r\n",
                 500, "HTTP/1.1 500 Something  Odd ", ""),
        Complete("InterimAnswersSkipped",
                 "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\r\nLink: </a>\r\n\r\n"
                 "HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nx",
                 200, "HTTP/1.1 200 OK", "x"),
        Complete("SwitchingProtocolsIsFinal",
                 "HTTP/1.1 101 Switching Protocols\r\nUpgrade: x\r\nConnection: Upgrade\r\n\r\n",
                 101, "HTTP/1.1 101 Switching Protocols", ""),
        Complete("Chunked",
                 "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                 "3\r\nabc\r\n2;ext=1\r\nde\r\n0\r\nTrailer: t\r\n\r\n",
                 200, "HTTP/1.1 200 OK", "abcde"),
        ToTheEnd(),
        Complete("ConnectionClose",
                 "HTTP/1.1 200 OK\r\nConnection:  CLOSE \r\nContent-Length: 1\r\n\r\nx", 200,
                 "HTTP/1.1 200 OK", "x", false),
        Complete("Http10WithoutKeepAlive", "HTTP/1.0 200 OK\r\nContent-Length: 1\r\n\r\nx", 200,
                 "HTTP/1.0 200 OK", "x", false),
        Complete("BytesAfterTheAnswer", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nokEXTRA", 200,
                 "HTTP/1.1 200 OK", "ok", true, true),
        Failing("ClosedBeforeAnyByte", "", true, Kind::ClosedBeforeHeaders),
        Failing("ClosedInTheHead", "HTTP/1.1 200 OK\r\nContent-", true, Kind::ClosedBeforeHeaders),
        Failing("ClosedInAFramedBody", "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nhalf", true,
                Kind::CutBody),
        Failing("ClosedInTheChunks", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nab",
                true, Kind::CutBody),
        Failing("NotHttp", "HTTX/1.1 200 OK\r\n\r\n", false, Kind::BadAnswer),
        Failing("TwoDigitStatus", "HTTP/1.1 20 OK\r\n\r\n", false, Kind::BadAnswer),
        Failing("BrokenHeaderLine", "HTTP/1.1 200 OK\r\nNo colon here\r\n\r\n", false,
                Kind::BadAnswer),
        Failing("BadChunkSize", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n",
                false, Kind::BadAnswer),
        Failing("BodyAbove256MiB", "HTTP/1.1 200 OK\r\nContent-Length: 268435457\r\n\r\n", false,
                Kind::BodyTooLarge),
        // The first bytes of the body arrive with the head: the length is refused before any
        // room is made for it.
        Failing("HugeLengthWithTheFirstBodyBytes",
                "HTTP/1.1 301 Moved\r\nContent-Length: 11111111111111111\r\n\r\nabc", false,
                Kind::BodyTooLarge)),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AnswerReader, CollectsTheHeadersTheClientActsOn) {
    const Outcome outcome = Read(
        "HTTP/1.1 503 Service Unavailable\r\n"
        "Set-Cookie: a=1\r\nLocation: \r\nLocation: /first\r\nContent-Encoding: gzip\r\n"
        "Set-Cookie: b=2\r\nLocation: /second\r\nContent-Encoding: br\r\nRetry-After: 7\r\n"
        "Content-Length: 0\r\n\r\n",
        0, false);
    ASSERT_TRUE(outcome.answer.has_value()) << outcome.failureText;
    const Answer& a = *outcome.answer;
    EXPECT_EQ(a.reason, "Service Unavailable");
    EXPECT_EQ(a.setCookies, (std::vector<std::string>{"a=1", "b=2"}));
    EXPECT_EQ(a.location, "/first");
    EXPECT_EQ(a.contentEncoding, "gzip, br");
    EXPECT_EQ(a.retryAfter, "7");
}

// A status line that never ends is refused once it outgrows the head's limit, not kept.
TEST(AnswerReader, RefusesAnEndlessStatusLine) {
    const Outcome outcome = Read("HTTP/1.1 200 " + std::string(1024 * 1024 + 1, 'x'), 0, false);
    EXPECT_EQ(outcome.failure, Kind::BadAnswer);
    EXPECT_EQ(outcome.failureText, "bad status line");
}

// An interim answer's code counts as received until the final one arrives.
TEST(AnswerReader, KnowsTheLastStatusBeforeTheAnswerIsComplete) {
    AnswerReader reader;
    EXPECT_EQ(reader.LastStatus(), 0);
    EXPECT_FALSE(reader.Feed("HTTP/1.1 100 Continue\r\n\r\n"));
    EXPECT_EQ(reader.LastStatus(), 100);
    EXPECT_FALSE(reader.HeaderDone());
    EXPECT_FALSE(reader.Feed("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nab"));
    EXPECT_EQ(reader.LastStatus(), 200);
    EXPECT_TRUE(reader.HeaderDone());
}

}  // namespace
}  // namespace korvalot::fetch
