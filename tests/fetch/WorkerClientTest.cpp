#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include "fetch/ClientProfiles.h"
#include "fetch/Compression.h"
#include "fetch/WorkerClientTransport.h"
#include "support/ScriptedServer.h"

namespace korvalot::fetch {
namespace {

using namespace std::chrono_literals;
using testing::OkAnswer;
using testing::ReceivedRequest;
using testing::RefusingPort;
using testing::Reply;
using testing::ScriptedServer;
using testing::ServerOptions;

const std::string kReferer = "https://register.example/biddings";
const std::string kUserAgent =
    "Mozilla/5.0 (Windows NT 6.1; Win64; x64; rv:109.0) Gecko/20100101 Firefox/115.0";
// Generous, for cases that must not time out on a loaded machine.
const ClientLimits kPatient{10s, 10s, 10s};

ServerOptions Options(ServerOptions::Mode mode, std::string greeting = {}, int minTls = 0) {
    ServerOptions options;
    options.mode = mode;
    options.greeting = std::move(greeting);
    options.minTlsVersion = minTls;
    return options;
}

// Every request on this server gets the same reply.
ScriptedServer::Handler Always(Reply reply) {
    return [reply](const ReceivedRequest&) { return reply; };
}

std::string GetError(WorkerClient& client, const std::string& address) {
    try {
        const std::string body = client.Get(address, kReferer);
        return "no error, body: " + body;
    } catch (const ClientError& error) {
        return error.what();
    }
}

TEST(WorkerClientWire, SendsTheHeadsByteForByteWithCookiesLast) {
    ScriptedServer server([](const ReceivedRequest& r) {
        if (r.indexOnConnection == 0) {
            return Reply().Send(
                OkAnswer("first", "Set-Cookie: sid=abc; Path=/\r\nSet-Cookie: lang=ru\r\n"));
        }
        return Reply().Send(OkAnswer("second"));
    });
    WorkerClient client(kPatient);
    // Sent as given: no encoding of the blank, the percent signs or the UTF-8 bytes.
    const std::string first = "/backend/biddings?limit=50&offset=0&tradeType=1&q=%D0 b\xD0\x9C";
    const std::string second = "/backend/biddings/0b5c/lots?offset=0&limit=50";
    EXPECT_EQ(client.Get(server.Address(first), kReferer), "first");
    EXPECT_EQ(client.Get(server.Address(second), kReferer), "second");

    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    const std::string host = "Host: 127.0.0.1:" + std::to_string(server.Port()) + "\r\n";
    const std::string common =
        "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8\r\n"
        "Accept-Encoding: gzip, deflate\r\n"
        "Referer: " +
        kReferer +
        "\r\n"
        "User-Agent: " +
        kUserAgent + "\r\n";
    EXPECT_EQ(requests[0].head, "GET " + first + " HTTP/1.1\r\n" + host + common + "\r\n");
    // lang=ru took the default path /backend, the longer one, so it goes first.
    EXPECT_EQ(requests[1].head, "GET " + second + " HTTP/1.1\r\n" + host + common +
                                    "Cookie: lang=ru; sid=abc\r\n\r\n");
    EXPECT_EQ(requests[1].connection, requests[0].connection);
    EXPECT_EQ(requests[0].tlsVersion, "TLSv1.2");
}

TEST(WorkerClientWire, NamesTheHostInTheServerNameIndicationButNeverAnAddress) {
    ScriptedServer server(Always(Reply().Send(OkAnswer("ok"))));
    WorkerClient byName(kPatient);
    WorkerClient byAddress(kPatient);
    const std::string port = std::to_string(server.Port());
    EXPECT_EQ(byName.Get("https://localhost:" + port + "/", kReferer), "ok");
    EXPECT_EQ(byAddress.Get("https://127.0.0.1:" + port + "/", kReferer), "ok");
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].serverName, "localhost");
    EXPECT_EQ(requests[0].head.find("Host: localhost:" + port + "\r\n") != std::string::npos, true);
    EXPECT_EQ(requests[1].serverName, "");
}

struct AnswerCase {
    const char* name;
    friend void PrintTo(const AnswerCase& c, std::ostream* os) { *os << c.name; }
    Reply reply;
    const char* expected;  // the body, or the ClientError message when error is set
    bool error;
    int lastStatus;
};

class WorkerAnswers : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(WorkerAnswers, GiveTheBodyOrTheExactMessage) {
    const auto& c = GetParam();
    ScriptedServer server(Always(c.reply));
    WorkerClient client(kPatient);
    if (c.error) {
        EXPECT_EQ(GetError(client, server.Address("/p")), c.expected);
    } else {
        EXPECT_EQ(client.Get(server.Address("/p"), kReferer), c.expected);
    }
    EXPECT_EQ(client.LastStatusCode(), c.lastStatus);
    // A fresh connection that failed is not silently tried again.
    EXPECT_EQ(server.Requests().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, WorkerAnswers,
    ::testing::Values(
        AnswerCase{"NotFound",
                   Reply().Send("HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found"),
                   "HTTP/1.1 404 Not Found", true, 404},
        AnswerCase{"ServerError",
                   Reply().Send("HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n"),
                   "HTTP/1.1 500 Internal Server Error", true, 500},
        AnswerCase{"RedirectWithoutLocation",
                   Reply().Send("HTTP/1.1 301 Moved Permanently\r\nContent-Length: 0\r\n\r\n"),
                   "HTTP/1.1 301 Moved Permanently", true, 301},
        AnswerCase{"NotModifiedEvenWithLocation",
                   Reply().Send("HTTP/1.1 304 Not Modified\r\nLocation: /elsewhere\r\n\r\n"),
                   "HTTP/1.1 304 Not Modified", true, 304},
        AnswerCase{"StatusLineWithoutReason",
                   Reply().Send("HTTP/1.1 404\r\nContent-Length: 0\r\n\r\n"), "HTTP/1.1 404", true,
                   404},
        AnswerCase{"StatusLineAsWritten",
                   Reply().Send("HTTP/1.0 403 Go  away \r\nContent-Length: 0\r\n\r\n"),
                   "HTTP/1.0 403 Go  away ", true, 403},
        AnswerCase{"Ok", Reply().Send(OkAnswer("{\"found\":0}")), "{\"found\":0}", false, 200},
        AnswerCase{"OkWithoutReason", Reply().Send("HTTP/1.1 200\r\nContent-Length: 2\r\n\r\nok"),
                   "ok", false, 200},
        AnswerCase{"PartialContent",
                   Reply().Send("HTTP/1.1 206 Partial Content\r\nContent-Length: 2\r\n\r\nok"),
                   "ok", false, 206},
        AnswerCase{"NoContent", Reply().Send("HTTP/1.1 204 No Content\r\n\r\n"), "", false, 204},
        AnswerCase{"Chunked",
                   Reply().Send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                                "5\r\nhello\r\n6;ext=1\r\n world\r\n0\r\nTrailer: x\r\n\r\n"),
                   "hello world", false, 200},
        AnswerCase{"UntilTlsClose", Reply().Send("HTTP/1.1 200 OK\r\n\r\nto the end").Close(),
                   "to the end", false, 200},
        AnswerCase{"UntilTcpClose", Reply().Send("HTTP/1.1 200 OK\r\n\r\nto the end").Drop(),
                   "to the end", false, 200},
        AnswerCase{"InterimAnswersSkipped",
                   Reply()
                       .Send("HTTP/1.1 100 Continue\r\n\r\n")
                       .Send("HTTP/1.1 103 Early Hints\r\nLink: </s.css>\r\n\r\n")
                       .Send(OkAnswer("after")),
                   "after", false, 200},
        AnswerCase{"SwitchingProtocolsEndsEmpty",
                   Reply().Send("HTTP/1.1 101 Switching Protocols\r\nUpgrade: x\r\n\r\n"), "",
                   false, 101},
        // Cut answers must not pass for whole ones.
        AnswerCase{"ClosedBeforeAnyByte", Reply().Close(), "Connection Closed Gracefully.", true,
                   -1},
        AnswerCase{"ClosedInTheStatusLine", Reply().Send("HTTP/1.1 20").Drop(),
                   "Connection Closed Gracefully.", true, -1},
        AnswerCase{"ClosedInTheHeaders", Reply().Send("HTTP/1.1 200 OK\r\nContent-Le").Close(),
                   "Connection Closed Gracefully.", true, 200},
        AnswerCase{"ClosedAtHalfTheContentLength",
                   Reply().Send("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n12345").Drop(),
                   "Connection Closed Gracefully.", true, 200},
        AnswerCase{"ClosedBeforeTheLastChunk",
                   Reply()
                       .Send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n")
                       .Close(),
                   "Connection Closed Gracefully.", true, 200},
        AnswerCase{"ResetBeforeAnyByte", Reply().Reset(),
                   "Socket Error # 104\r\nConnection reset by peer.", true, -1},
        AnswerCase{"NotHttp", Reply().Send("SSH-2.0-OpenSSH\r\n\r\n"),
                   "Invalid HTTP answer: bad status line", true, -1},
        AnswerCase{"CorruptGzip",
                   Reply().Send(OkAnswer("not gzip at all", "Content-Encoding: gzip\r\n")),
                   "Could not decompress the answer: incorrect header check", true, 200}),
    [](const auto& info) { return std::string(info.param.name); });

std::string Hop(int n) {
    return "/hop/" + std::to_string(n);
}

// /hop/N redirects to /hop/N-1; /hop/0 answers "final".
Reply HopReply(const ReceivedRequest& r) {
    const int n = std::stoi(r.Target().substr(5));
    if (n == 0) {
        return Reply().Send(OkAnswer("final"));
    }
    return Reply().Send("HTTP/1.1 302 Found\r\nLocation: " + Hop(n - 1) +
                        "\r\nContent-Length: 0\r\n\r\n");
}

struct ChainCase {
    const char* name;
    friend void PrintTo(const ChainCase& c, std::ostream* os) { *os << c.name; }
    int redirects;
    const char* body;
};

class WorkerRedirectChain : public ::testing::TestWithParam<ChainCase> {};

TEST_P(WorkerRedirectChain, FollowsFourteenAndEndsEmptyOnTheFifteenth) {
    ScriptedServer server(HopReply);
    WorkerClient client(kPatient);
    EXPECT_EQ(client.Get(server.Address(Hop(GetParam().redirects)), kReferer), GetParam().body);
    EXPECT_EQ(server.Requests().size(), 15u);
}

INSTANTIATE_TEST_SUITE_P(Chains, WorkerRedirectChain,
                         ::testing::Values(ChainCase{"Fourteen", 14, "final"},
                                           ChainCase{"Fifteen", 15, ""}),
                         [](const auto& info) { return std::string(info.param.name); });

class WorkerRedirectStatus : public ::testing::TestWithParam<int> {};

TEST_P(WorkerRedirectStatus, IsFollowedWithTheSameHeadersOnTheSameConnection) {
    const int status = GetParam();
    ScriptedServer server([status](const ReceivedRequest& r) {
        if (r.Target() == "/start") {
            return Reply().Send("HTTP/1.1 " + std::to_string(status) +
                                " Moved\r\nLocation: /next\r\nSet-Cookie: hop=1\r\n"
                                "Content-Length: 5\r\n\r\nmoved");
        }
        return Reply().Send(OkAnswer("done"));
    });
    WorkerClient client(kPatient);
    EXPECT_EQ(client.Get(server.Address("/start"), kReferer), "done");
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].Target(), "/next");
    EXPECT_NE(requests[1].head.find("\r\nReferer: " + kReferer + "\r\n"), std::string::npos);
    EXPECT_NE(requests[1].head.find("\r\nCookie: hop=1\r\n"), std::string::npos);
    // The redirect's body was read to its end, so the connection could carry the next request.
    EXPECT_EQ(requests[1].connection, requests[0].connection);
}

INSTANTIATE_TEST_SUITE_P(Statuses, WorkerRedirectStatus,
                         ::testing::Values(301, 302, 303, 307, 308));

struct LocationCase {
    const char* name;
    friend void PrintTo(const LocationCase& c, std::ostream* os) { *os << c.name; }
    const char* location;
    const char* target;  // where the next request goes
};

class WorkerRedirectLocation : public ::testing::TestWithParam<LocationCase> {};

TEST_P(WorkerRedirectLocation, IsResolvedAgainstTheCurrentAddress) {
    std::atomic<int> port{0};  // known once the server listens; "SELF" in a Location stands for it
    ScriptedServer server([&port](const ReceivedRequest& r) {
        if (r.indexOnConnection == 0) {
            std::string location = GetParam().location;
            const auto mark = location.find("SELF");
            if (mark != std::string::npos) {
                location.replace(mark, 4, std::to_string(port.load()));
            }
            return Reply().Send("HTTP/1.1 302 Found\r\nLocation: " + location +
                                "\r\nContent-Length: 0\r\n\r\n");
        }
        return Reply().Send(OkAnswer("there"));
    });
    port = server.Port();
    WorkerClient client(kPatient);
    EXPECT_EQ(client.Get(server.Address("/a/b/c?old=1"), kReferer), "there");
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].Target(), GetParam().target);
}

INSTANTIATE_TEST_SUITE_P(
    References, WorkerRedirectLocation,
    ::testing::Values(LocationCase{"BarePath", "/backend/biddings?x=1", "/backend/biddings?x=1"},
                      LocationCase{"Relative", "next", "/a/b/next"},
                      LocationCase{"Parent", "../up", "/a/up"},
                      LocationCase{"DotSegments", "./d/../e#part", "/a/b/e"},
                      LocationCase{"QueryOnly", "?new=2", "/a/b/c?new=2"},
                      LocationCase{"SchemeRelative", "//127.0.0.1:SELF/scheme-relative",
                                   "/scheme-relative"},
                      LocationCase{"Absolute", "https://127.0.0.1:SELF/absolute", "/absolute"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(WorkerRedirect, ReachesPlainHttpTargets) {
    ScriptedServer plain(Always(Reply().Send(OkAnswer("plain"))),
                         Options(ServerOptions::Mode::Plain));
    ScriptedServer secure(Always(
        Reply().Send("HTTP/1.1 307 Temporary Redirect\r\nLocation: " + plain.Address("/over-http") +
                     "\r\nContent-Length: 0\r\n\r\n")));
    WorkerClient client(kPatient);
    EXPECT_EQ(client.Get(secure.Address("/start"), kReferer), "plain");
    EXPECT_EQ(client.Get(plain.Address("/direct"), kReferer), "plain");
    const auto requests = plain.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].Target(), "/over-http");
    EXPECT_EQ(requests[0].tlsVersion, "");
    EXPECT_EQ(requests[1].connection, requests[0].connection);
}

struct ReuseCase {
    const char* name;
    friend void PrintTo(const ReuseCase& c, std::ostream* os) { *os << c.name; }
    Reply first;                // the reply to the first request on a connection
    bool closeBetween;          // the caller closes the client between the two gets
    int connections;            // the server's count after the second get
    bool serverCloses = false;  // the server ends the connection after its answer
};

class WorkerConnectionReuse : public ::testing::TestWithParam<ReuseCase> {};

TEST_P(WorkerConnectionReuse, KeepsTheConnectionUnlessItEnded) {
    const auto& c = GetParam();
    ScriptedServer server([&c](const ReceivedRequest& r) {
        return r.indexOnConnection == 0 && r.connection == 0 ? c.first
                                                             : Reply().Send(OkAnswer("second"));
    });
    WorkerClient client(kPatient);
    EXPECT_EQ(client.Get(server.Address("/1"), kReferer), "first");
    if (c.closeBetween) {
        client.Close();
    }
    // A server that ends the connection after its answer must have done so before the next
    // request, or that request would meet the closing connection and fail.
    if (c.serverCloses) {
        ASSERT_TRUE(server.WaitUntilClosed(0));
    }
    EXPECT_EQ(client.Get(server.Address("/2"), kReferer), "second");
    EXPECT_EQ(server.Connections(), c.connections);
    EXPECT_EQ(server.Requests().size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Endings, WorkerConnectionReuse,
    ::testing::Values(
        ReuseCase{"KeptAlive", Reply().Send(OkAnswer("first")), false, 1},
        ReuseCase{"ClosedByTheCaller", Reply().Send(OkAnswer("first")), true, 2},
        ReuseCase{"ConnectionCloseHeader",
                  Reply().Send(OkAnswer("first", "Connection:  CLOSE \r\n")), false, 2},
        ReuseCase{"Http10WithoutKeepAlive",
                  Reply().Send("HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nfirst"), false, 2},
        ReuseCase{"ServerClosedWithTls", Reply().Send(OkAnswer("first")).Close(), false, 2, true},
        ReuseCase{"ServerClosedTcpOnly", Reply().Send(OkAnswer("first")).Drop(), false, 2, true}),
    [](const auto& info) { return std::string(info.param.name); });

struct StaleCase {
    const char* name;
    friend void PrintTo(const StaleCase& c, std::ostream* os) { *os << c.name; }
    Reply drop;
    const char* message;
};

class WorkerStaleConnection : public ::testing::TestWithParam<StaleCase> {};

// The server drops a kept connection just as the next request arrives on it: that get fails
// like any other, so the register counts exactly the requests the caller made, and the next
// get opens a new connection.
TEST_P(WorkerStaleConnection, FailsThatGetAndTheNextOneConnectsAnew) {
    ScriptedServer server([](const ReceivedRequest& r) {
        if (r.connection == 0 && r.indexOnConnection == 1) {
            return GetParam().drop;
        }
        return Reply().Send(OkAnswer(r.Target()));
    });
    WorkerClient client(kPatient);
    EXPECT_EQ(client.Get(server.Address("/1"), kReferer), "/1");
    EXPECT_EQ(GetError(client, server.Address("/2")), GetParam().message);
    EXPECT_EQ(client.Get(server.Address("/3"), kReferer), "/3");
    EXPECT_EQ(server.Connections(), 2);
    EXPECT_EQ(server.Requests().size(), 3u);
}

INSTANTIATE_TEST_SUITE_P(
    Drops, WorkerStaleConnection,
    ::testing::Values(StaleCase{"TcpClose", Reply().Drop(), "Connection Closed Gracefully."},
                      StaleCase{"TlsClose", Reply().Close(), "Connection Closed Gracefully."},
                      StaleCase{"TcpCloseAfterAWhile", Reply().Pause(50ms).Drop(),
                                "Connection Closed Gracefully."},
                      StaleCase{"Reset", Reply().Reset(),
                                "Socket Error # 104\r\nConnection reset by peer."}),
    [](const auto& info) { return std::string(info.param.name); });

struct DecodingCase {
    const char* name;
    friend void PrintTo(const DecodingCase& c, std::ostream* os) { *os << c.name; }
    const char* contentEncoding;  // the header line, or "" for none
    std::string body;             // as sent
    std::string expected;         // as delivered
};

const std::string kJson =
    "{\"pageData\":[{\"guid\":\"0b5c\",\"region\":"
    "\"\xD0\x9C\xD0\xBE\xD1\x81\xD0\xBA\xD0\xB2\xD0\xB0\"}]}";

class WorkerDecoding : public ::testing::TestWithParam<DecodingCase> {};

TEST_P(WorkerDecoding, DecodesOnlyAWholeGzipOrDeflateHeader) {
    const auto& c = GetParam();
    ScriptedServer server(Always(Reply().Send(OkAnswer(c.body, c.contentEncoding))));
    WorkerClient client(kPatient);
    EXPECT_EQ(client.Get(server.Address("/"), kReferer), c.expected);
}

using test::Compress;
using test::Wrapper;

INSTANTIATE_TEST_SUITE_P(
    Encodings, WorkerDecoding,
    ::testing::Values(
        DecodingCase{"None", "", kJson, kJson},
        DecodingCase{"Gzip", "Content-Encoding: gzip\r\n", Compress(kJson, Wrapper::Gzip), kJson},
        DecodingCase{"GzipInCapitals", "Content-Encoding: GZIP\r\n", Compress(kJson, Wrapper::Gzip),
                     kJson},
        DecodingCase{"DeflateAsZlib", "Content-Encoding: deflate\r\n",
                     Compress(kJson, Wrapper::Zlib), kJson},
        DecodingCase{"DeflateAsGzip", "Content-Encoding: Deflate\r\n",
                     Compress(kJson, Wrapper::Gzip), kJson},
        DecodingCase{"DeflateRaw", "Content-Encoding: deflate\r\n", Compress(kJson, Wrapper::Raw),
                     kJson},
        DecodingCase{"BrotliUntouched", "Content-Encoding: br\r\n", "\x1b\x03\x00\xf8 not decoded",
                     "\x1b\x03\x00\xf8 not decoded"},
        DecodingCase{"ListUntouched", "Content-Encoding: gzip, br\r\n",
                     Compress(kJson, Wrapper::Gzip), Compress(kJson, Wrapper::Gzip)},
        DecodingCase{"TwoHeadersAreAList",
                     "Content-Encoding: gzip\r\nContent-Encoding: identity\r\n",
                     Compress(kJson, Wrapper::Gzip), Compress(kJson, Wrapper::Gzip)},
        DecodingCase{"IdentityUntouched", "Content-Encoding: identity\r\n", kJson, kJson}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(WorkerDecodingLimit, RefusesABodyThatInflatesBeyond256MiB) {
    const std::string mebibyte(1 << 20, '\0');
    const std::string bomb = Compress(mebibyte, Wrapper::Gzip, 257);
    ScriptedServer server(Always(Reply().Send(OkAnswer(bomb, "Content-Encoding: gzip\r\n"))));
    WorkerClient client(kPatient);
    EXPECT_EQ(GetError(client, server.Address("/")), "Answer body larger than 256 MiB.");
}

struct LimitCase {
    const char* name;
    friend void PrintTo(const LimitCase& c, std::ostream* os) { *os << c.name; }
    ServerOptions::Mode mode;
    Reply reply;
    ClientLimits limits;  // only the limit under test is short
    const char* message;
};

const ClientLimits kShortConnect{300ms, 10s, 10s};
const ClientLimits kShortRead{10s, 300ms, 10s};

class WorkerTimeLimits : public ::testing::TestWithParam<LimitCase> {};

TEST_P(WorkerTimeLimits, EndTheWaitWithTheirMessage) {
    const auto& c = GetParam();
    ScriptedServer server(Always(c.reply), Options(c.mode));
    WorkerClient client(c.limits);
    EXPECT_EQ(GetError(client, server.Address("/")), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Limits, WorkerTimeLimits,
    ::testing::Values(
        // The TCP connection is made but the TLS handshake is never answered.
        LimitCase{"HandshakeUnanswered", ServerOptions::Mode::Silent, Reply(), kShortConnect,
                  "Connect timed out."},
        LimitCase{"NoAnswer", ServerOptions::Mode::Tls, Reply().Pause(30s), kShortRead,
                  "Read timed out."},
        LimitCase{"StallInTheHeaders", ServerOptions::Mode::Tls,
                  Reply().Send("HTTP/1.1 200 OK\r\n").Pause(30s), kShortRead, "Read timed out."},
        LimitCase{"StallInTheBody", ServerOptions::Mode::Tls,
                  Reply().Send("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n12345").Pause(30s),
                  kShortRead, "Read timed out."}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(WorkerTimeLimit, NeverCutsOffASlowButSteadyAnswer) {
    const std::string body(30, 'x');
    ScriptedServer server(Always(Reply()
                                     .Pause(100ms)
                                     .Send("HTTP/1.1 200 OK\r\nContent-Length: 30\r\n\r\n")
                                     .Trickle(body, 50ms)));
    // Each gap is far inside the read limit; the whole answer takes longer than the limit.
    WorkerClient client(ClientLimits{10s, 1s, 10s});
    EXPECT_EQ(client.Get(server.Address("/"), kReferer), body);
}

struct RefusedCase {
    const char* name;
    friend void PrintTo(const RefusedCase& c, std::ostream* os) { *os << c.name; }
    const char* previousAnswer;  // answered to an earlier get of the same client, or nullptr
    int lastStatus;
};

class WorkerRefused : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(WorkerRefused, ReportsTheSocketErrorAndKeepsTheLastStatus) {
    const auto& c = GetParam();
    ScriptedServer server(Always(Reply().Send(c.previousAnswer ? c.previousAnswer : "")));
    WorkerClient client(kPatient);
    if (c.previousAnswer != nullptr) {
        GetError(client, server.Address("/"));
    }
    RefusingPort refusing;
    EXPECT_EQ(GetError(client, "https://127.0.0.1:" + std::to_string(refusing.Port()) + "/"),
              "Socket Error # 111\r\nConnection refused.");
    EXPECT_EQ(client.LastStatusCode(), c.lastStatus);
}

INSTANTIATE_TEST_SUITE_P(
    History, WorkerRefused,
    ::testing::Values(RefusedCase{"FreshClient", nullptr, -1},
                      RefusedCase{"AfterOk", "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", 200},
                      RefusedCase{"AfterNotFound",
                                  "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n", 404}),
    [](const auto& info) { return std::string(info.param.name); });

struct VersionCase {
    const char* name;
    friend void PrintTo(const VersionCase& c, std::ostream* os) { *os << c.name; }
    int serverMin;
    int serverMax;
    const char* negotiated;
};

class WorkerTlsVersions : public ::testing::TestWithParam<VersionCase> {};

TEST_P(WorkerTlsVersions, TakeTheHighestUpToTls12) {
    const auto& c = GetParam();
    ServerOptions options;
    options.minTlsVersion = c.serverMin;
    options.maxTlsVersion = c.serverMax;
    ScriptedServer server(Always(Reply().Send(OkAnswer("ok"))), options);
    WorkerClient client(kPatient);
    EXPECT_EQ(client.Get(server.Address("/"), kReferer), "ok");
    ASSERT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(server.Requests()[0].tlsVersion, c.negotiated);
}

INSTANTIATE_TEST_SUITE_P(
    Versions, WorkerTlsVersions,
    ::testing::Values(VersionCase{"ServerUpTo13", 0, 0, "TLSv1.2"},
                      VersionCase{"Server12", TLS1_2_VERSION, TLS1_2_VERSION, "TLSv1.2"},
                      VersionCase{"Server11", TLS1_1_VERSION, TLS1_1_VERSION, "TLSv1.1"},
                      VersionCase{"Server10", TLS1_VERSION, TLS1_VERSION, "TLSv1"}),
    [](const auto& info) { return std::string(info.param.name); });

// Each worker owns its client, but a new worker's handshake resumes the session an earlier one
// negotiated with the same server; a client's second connection does too.
TEST(WorkerTlsSessions, AreResumedByNewClientsOfTheSameServer) {
    ScriptedServer server(Always(Reply().Send(OkAnswer("ok", "Connection: close\r\n"))));
    const std::string address = server.Address("/");
    {
        WorkerClient first(kPatient);
        EXPECT_EQ(first.Get(address, kReferer), "ok");
    }
    WorkerClient second(kPatient);
    EXPECT_EQ(second.Get(address, kReferer), "ok");
    EXPECT_EQ(second.Get(address, kReferer), "ok");
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_FALSE(requests[0].sessionReused);
    EXPECT_TRUE(requests[1].sessionReused);
    EXPECT_TRUE(requests[2].sessionReused);
    EXPECT_EQ(server.Connections(), 3);
}

// A session belongs to the origin that made it: the same server reached under another name
// gets a full handshake, while a client of the first origin still resumes.
TEST(WorkerTlsSessions, AreNotOfferedToAnotherOrigin) {
    ScriptedServer server(Always(Reply().Send(OkAnswer("ok", "Connection: close\r\n"))));
    const std::string byAddress = server.Address("/");
    std::string byName = byAddress;
    byName.replace(byName.find("127.0.0.1"), 9, "localhost");
    for (const std::string& address : {byAddress, byName, byAddress}) {
        WorkerClient client(kPatient);
        EXPECT_EQ(client.Get(address, kReferer), "ok");
    }
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_FALSE(requests[0].sessionReused);
    EXPECT_FALSE(requests[1].sessionReused) << "a session was offered to another origin";
    EXPECT_TRUE(requests[2].sessionReused);
}

struct TlsFailureCase {
    const char* name;
    friend void PrintTo(const TlsFailureCase& c, std::ostream* os) { *os << c.name; }
    ServerOptions options;
    const char* message;
};

class WorkerTlsFailure : public ::testing::TestWithParam<TlsFailureCase> {};

TEST_P(WorkerTlsFailure, NamesTheLibrarysReason) {
    ScriptedServer server(Always(Reply().Send(OkAnswer("never"))), GetParam().options);
    WorkerClient client(kPatient);
    const std::string address = "https://127.0.0.1:" + std::to_string(server.Port()) + "/";
    EXPECT_EQ(GetError(client, address), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, WorkerTlsFailure,
    ::testing::Values(
        TlsFailureCase{"ServerOnlyTls13", Options(ServerOptions::Mode::Tls, {}, TLS1_3_VERSION),
                       "Error connecting with SSL.\r\ntlsv1 alert protocol version"},
        TlsFailureCase{"PlainHttpServer",
                       Options(ServerOptions::Mode::Plain, "HTTP/1.1 400 Bad Request\r\n\r\n"),
                       "Error connecting with SSL.\r\nwrong version number"},
        TlsFailureCase{"ClosedInTheHandshake", Options(ServerOptions::Mode::Plain, "\x16"),
                       "Error connecting with SSL.\r\nunexpected eof while reading"}),
    [](const auto& info) { return std::string(info.param.name); });

// A worker pauses as long as an overloaded register asks only when its transport passes the
// answer's Retry-After on; shortened limits for tests must not lose it.
TEST(WorkerClientTransport, PassesOnTheStatusAndRetryAfterOfAnOverloadedRegister) {
    ScriptedServer server(Always(Reply().Send(
        "HTTP/1.1 503 Service Unavailable\r\nRetry-After: 7\r\nContent-Length: 0\r\n\r\n")));
    const std::unique_ptr<WorkerTransport> transport = WorkerClientTransportFactory(kPatient)();
    EXPECT_THROW(transport->Get(server.Address("/p"), kReferer), ClientError);
    EXPECT_EQ(transport->LastStatusCode(), 503);
    EXPECT_EQ(transport->RetryAfter(), std::optional<std::chrono::milliseconds>(7s));
}

}  // namespace
}  // namespace korvalot::fetch
