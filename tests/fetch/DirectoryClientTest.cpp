#include <chrono>
#include <filesystem>
#include <functional>
#include <string>

#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <unistd.h>

#include "fetch/ClientProfiles.h"
#include "support/ScriptedServer.h"
#include "support/TestCertificates.h"

namespace korvalot::fetch {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::OkAnswer;
using testing::ReceivedRequest;
using testing::RefusingPort;
using testing::Reply;
using testing::ScriptedServer;
using testing::ServerOptions;

const std::string kReferer = "https://register.example/biddings";
const std::string kTarget = "/backend/reference-book/regions";
const ClientLimits kPatient{10s, 10s, 10s};

ServerOptions Options(ServerOptions::Mode mode, std::string greeting = {}) {
    ServerOptions options;
    options.mode = mode;
    options.greeting = std::move(greeting);
    return options;
}

// The client reads its certificate files from the working directory: each test runs in a fresh
// one holding a valid pair.
class DirectoryClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        previous_ = fs::current_path();
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(info->test_suite_name()) + "-" + info->name();
        for (char& c : name) {
            if (c == '/') {
                c = '-';
            }
        }
        directory_ = fs::temp_directory_path() /
                     ("korvalot-fetch-" + std::to_string(::getpid()) + "-" + name);
        fs::create_directories(directory_);
        fs::current_path(directory_);
        testing::WriteClientCertificateFiles(directory_);
    }

    void TearDown() override {
        fs::current_path(previous_);
        fs::remove_all(directory_);
    }

    static std::string GetError(DirectoryClient& client, const std::string& address) {
        try {
            const std::string body = client.Get(address, kReferer);
            return "no error, body: " + body;
        } catch (const ClientError& error) {
            return error.what();
        }
    }

    fs::path directory_;

private:
    fs::path previous_;
};

TEST_F(DirectoryClientTest, SendsItsHeadAndPresentsItsCertificateOverTheHighestVersion) {
    ServerOptions options;
    options.requestClientCertificate = true;
    // Delivered as received: the directory client decodes nothing.
    const std::string answer = OkAnswer("\x1f\x8b not really gzip", "Content-Encoding: gzip\r\n");
    ScriptedServer server([&](const ReceivedRequest&) { return Reply().Send(answer); }, options);
    DirectoryClient client(kPatient);
    EXPECT_EQ(client.Get(server.Address(kTarget), kReferer), "\x1f\x8b not really gzip");

    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].head,
              "GET " + kTarget +
                  " HTTP/1.0\r\n"
                  "Accept: text/html, */*\r\n"
                  "Referer: " +
                  kReferer +
                  "\r\n"
                  "User-Agent: Mozilla/5.0 (Windows NT 6.1; Win64; x64; rv:109.0) Gecko/20100101 "
                  "Firefox/115.0\r\n"
                  "Host: 127.0.0.1:" +
                  std::to_string(server.Port()) + "\r\n\r\n");
    EXPECT_EQ(requests[0].clientCertificate, "korvalot client");
    EXPECT_EQ(requests[0].tlsVersion, "TLSv1.3");
}

struct DirectoryVersionCase {
    const char* name;
    friend void PrintTo(const DirectoryVersionCase& c, std::ostream* os) { *os << c.name; }
    int serverMax;
    const char* negotiated;
};

class DirectoryTlsVersions : public DirectoryClientTest,
                             public ::testing::WithParamInterface<DirectoryVersionCase> {};

// Negotiated: a server stuck on an old version is reached as the worker reaches it.
TEST_P(DirectoryTlsVersions, TakeTheHighestTheServerSpeaks) {
    ServerOptions options;
    options.minTlsVersion = TLS1_VERSION;
    options.maxTlsVersion = GetParam().serverMax;
    options.requestClientCertificate = true;
    ScriptedServer server([](const ReceivedRequest&) { return Reply().Send(OkAnswer("ok")); },
                          options);
    DirectoryClient client(kPatient);
    EXPECT_EQ(client.Get(server.Address(kTarget), kReferer), "ok");
    ASSERT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(server.Requests()[0].tlsVersion, GetParam().negotiated);
    EXPECT_EQ(server.Requests()[0].clientCertificate, "korvalot client");
}

INSTANTIATE_TEST_SUITE_P(
    Versions, DirectoryTlsVersions,
    ::testing::Values(DirectoryVersionCase{"Server12", TLS1_2_VERSION, "TLSv1.2"},
                      DirectoryVersionCase{"Server11", TLS1_1_VERSION, "TLSv1.1"},
                      DirectoryVersionCase{"Server10", TLS1_VERSION, "TLSv1"}),
    [](const auto& info) { return std::string(info.param.name); });

struct StatusCase {
    const char* name;
    friend void PrintTo(const StatusCase& c, std::ostream* os) { *os << c.name; }
    const char* answer;
    const char* expected;  // the body, or the message when error is set
    bool error;
};

class DirectoryStatus : public DirectoryClientTest,
                        public ::testing::WithParamInterface<StatusCase> {};

TEST_P(DirectoryStatus, RaisesTheReasonPhraseFrom400ButNotFor401And407) {
    const auto& c = GetParam();
    ScriptedServer server([&](const ReceivedRequest&) { return Reply().Send(c.answer); });
    DirectoryClient client(kPatient);
    if (c.error) {
        EXPECT_EQ(GetError(client, server.Address(kTarget)), c.expected);
    } else {
        EXPECT_EQ(client.Get(server.Address(kTarget), kReferer), c.expected);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, DirectoryStatus,
    ::testing::Values(
        StatusCase{"NotFound", "HTTP/1.1 404 Not Found\r\nContent-Length: 4\r\n\r\nnope",
                   "Not Found", true},
        StatusCase{"BadRequest", "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n",
                   "Bad Request", true},
        StatusCase{"ServerError", "HTTP/1.0 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n",
                   "Internal Server Error", true},
        StatusCase{"Unauthorized",
                   "HTTP/1.1 401 Unauthorized\r\nContent-Length: 11\r\n\r\n{\"error\":1}",
                   "{\"error\":1}", false},
        StatusCase{"ProxyAuthenticationRequired",
                   "HTTP/1.1 407 Proxy Authentication Required\r\nContent-Length: 2\r\n\r\n[]",
                   "[]", false},
        StatusCase{"RedirectWithoutLocation",
                   "HTTP/1.1 302 Found\r\nContent-Length: 5\r\n\r\nmoved", "moved", false},
        StatusCase{"Ok", "HTTP/1.1 200 OK\r\nContent-Length: 13\r\n\r\n[{\"code\":77}]",
                   "[{\"code\":77}]", false}),
    [](const auto& info) { return std::string(info.param.name); });

struct RelocationCase {
    const char* name;
    friend void PrintTo(const RelocationCase& c, std::ostream* os) { *os << c.name; }
    int relocations;     // before the final answer
    const char* status;  // the status line of each relocation
    const char* body;
    std::size_t requests;
};

class DirectoryRelocation : public DirectoryClientTest,
                            public ::testing::WithParamInterface<RelocationCase> {};

TEST_P(DirectoryRelocation, FollowsFiveAndEndsWithoutErrorOnTheSixth) {
    const auto& c = GetParam();
    // /hop/N relocates to /hop/N-1 and sets a cookie, which this profile never sends back.
    ScriptedServer server([&](const ReceivedRequest& r) {
        const int n = std::stoi(r.Target().substr(5));
        if (n == 0) {
            return Reply().Send(OkAnswer("final"));
        }
        return Reply().Send(std::string(c.status) + "\r\nLocation: /hop/" + std::to_string(n - 1) +
                            "\r\nSet-Cookie: seen=1\r\nContent-Length: 0\r\n\r\n");
    });
    DirectoryClient client(kPatient);
    EXPECT_EQ(client.Get(server.Address("/hop/" + std::to_string(c.relocations)), kReferer),
              c.body);
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), c.requests);
    for (const auto& request : requests) {
        EXPECT_EQ(request.head.find("Cookie"), std::string::npos);
        EXPECT_EQ(request.indexOnConnection, 0) << "each request on a new connection";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Chains, DirectoryRelocation,
    ::testing::Values(RelocationCase{"FiveThenTheAnswer", 5, "HTTP/1.1 302 Found", "final", 6},
                      RelocationCase{"Six", 6, "HTTP/1.1 301 Moved Permanently", "", 6},
                      RelocationCase{"OkWithLocation", 1, "HTTP/1.1 200 OK", "final", 2},
                      RelocationCase{"NotFoundWithLocation", 1, "HTTP/1.1 404 Not Found", "final",
                                     2}),
    [](const auto& info) { return std::string(info.param.name); });

struct FailureCase {
    const char* name;
    friend void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }
    ServerOptions options;
    Reply reply;
    const char* message;
    std::chrono::milliseconds idle = 10s;  // short only where the limit is under test
};

class DirectoryFailure : public DirectoryClientTest,
                         public ::testing::WithParamInterface<FailureCase> {};

TEST_P(DirectoryFailure, IsWordedByTheDirectoryProfile) {
    const auto& c = GetParam();
    ScriptedServer server([&](const ReceivedRequest&) { return c.reply; }, c.options);
    DirectoryClient client(ClientLimits{10s, 10s, c.idle});
    EXPECT_EQ(GetError(client, "https://127.0.0.1:" + std::to_string(server.Port()) + kTarget),
              c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, DirectoryFailure,
    ::testing::Values(
        FailureCase{"ClosedBeforeTheStatusLine", Options(ServerOptions::Mode::Tls), Reply().Close(),
                    "HTTP no status code (connection closed prematurely)"},
        FailureCase{"ClosedInTheHeaders", Options(ServerOptions::Mode::Tls),
                    Reply().Send("HTTP/1.1 200 OK\r\nContent-Type: app").Drop(),
                    "HTTP no status code (connection closed prematurely)"},
        FailureCase{"ClosedInTheBody", Options(ServerOptions::Mode::Tls),
                    Reply().Send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n[{").Close(),
                    "Connection Closed Gracefully."},
        FailureCase{"Reset", Options(ServerOptions::Mode::Tls), Reply().Reset(),
                    "Connection reset by peer (Error #104)"},
        FailureCase{"HandshakeFails",
                    Options(ServerOptions::Mode::Plain, "HTTP/1.1 400 Bad Request\r\n\r\n"),
                    Reply(), "SSL handshake failed - wrong version number"},
        FailureCase{"SilentFromTheStart", Options(ServerOptions::Mode::Silent), Reply(),
                    "Request aborted on timeout", 300ms},
        FailureCase{"NoAnswer", Options(ServerOptions::Mode::Tls), Reply().Pause(30s),
                    "Request aborted on timeout", 300ms},
        FailureCase{"StallInTheBody", Options(ServerOptions::Mode::Tls),
                    Reply().Send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n[{").Pause(30s),
                    "Request aborted on timeout", 300ms}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DirectoryClientTest, ReportsARefusedConnectionInTheSystemsWords) {
    RefusingPort refusing;
    DirectoryClient client(kPatient);
    EXPECT_EQ(GetError(client, "https://127.0.0.1:" + std::to_string(refusing.Port()) + kTarget),
              "Connection refused (Error #111)");
}

// A program that reports the failure to a person names the host and the cause on one line,
// whatever the profile's message says.
TEST_F(DirectoryClientTest, AFailureCarriesItsHostAndItsReasonOnOneLine) {
    const auto failure = [](DirectoryClient& client, const std::string& address) {
        try {
            client.Get(address, kReferer);
        } catch (const ClientError& error) {
            return std::pair(error.Host(), error.Reason());
        }
        return std::pair(std::string("no error"), std::string());
    };
    RefusingPort refusing;
    const std::string refusedHost = "127.0.0.1:" + std::to_string(refusing.Port());
    DirectoryClient patient(kPatient);
    EXPECT_EQ(failure(patient, "https://" + refusedHost + kTarget),
              std::pair(refusedHost, std::string("Connection refused")));

    const struct {
        const char* name;
        ServerOptions options;
        Reply reply;
        std::string reason;
    } cases[] = {
        {"Silent", Options(ServerOptions::Mode::Silent), Reply(), "no answer within 1 s"},
        {"ClosedInTheBody", Options(ServerOptions::Mode::Tls),
         Reply().Send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n[{").Close(),
         "connection closed in the middle of the answer"},
        {"NotFound", Options(ServerOptions::Mode::Tls),
         Reply().Send("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"),
         "HTTP/1.1 404 Not Found"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server([&](const ReceivedRequest&) { return c.reply; }, c.options);
        DirectoryClient client(ClientLimits{10s, 10s, 300ms});
        const std::string host = "127.0.0.1:" + std::to_string(server.Port());
        EXPECT_EQ(failure(client, "https://" + host + kTarget), std::pair(host, c.reason));
    }
}

TEST_F(DirectoryClientTest, NeverCutsOffASteadyTrickle) {
    const std::string body = "[{\"code\":77,\"name\":\"x\"}]";
    ScriptedServer server([&](const ReceivedRequest&) {
        return Reply()
            .Pause(150ms)
            .Trickle("HTTP/1.1 200 OK\r\n\r\n", 10ms)
            .Trickle(body, 40ms)
            .Close();
    });
    // Every gap is far inside the idle limit; the whole answer takes longer than it.
    DirectoryClient client(ClientLimits{10s, 10s, 1s});
    EXPECT_EQ(client.Get(server.Address(kTarget), kReferer), body);
}

struct CertificateCase {
    const char* name;
    friend void PrintTo(const CertificateCase& c, std::ostream* os) { *os << c.name; }
    std::function<void(const fs::path&)> spoil;  // what is wrong in the working directory
    const char* message;
};

class DirectoryCertificateFiles : public DirectoryClientTest,
                                  public ::testing::WithParamInterface<CertificateCase> {};

TEST_P(DirectoryCertificateFiles, MustBothLoadBeforeAnyConnection) {
    GetParam().spoil(directory_);
    ServerOptions options;
    options.requestClientCertificate = true;
    ScriptedServer server([](const ReceivedRequest&) { return Reply().Send(OkAnswer("[]")); },
                          options);
    DirectoryClient client(kPatient);
    EXPECT_EQ(GetError(client, server.Address(kTarget)), GetParam().message);
    EXPECT_EQ(server.Connections(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Files, DirectoryCertificateFiles,
    ::testing::Values(
        CertificateCase{"CertificateMissing",
                        [](const fs::path& d) { fs::remove(d / "01cert.pem"); },
                        "Could not load the client certificate \"01cert.pem\": No such file or "
                        "directory"},
        CertificateCase{"KeyMissing", [](const fs::path& d) { fs::remove(d / "01key.pem"); },
                        "Could not load the client key \"01key.pem\": No such file or directory"},
        CertificateCase{
            "CertificateNotPem",
            [](const fs::path& d) { testing::WriteFile(d / "01cert.pem", "not a certificate"); },
            "Could not load the client certificate \"01cert.pem\": no start line"},
        CertificateCase{"WrongPassPhrase",
                        [](const fs::path& d) {
                            testing::WriteClientCertificateFiles(d, "korvalot client",
                                                                 "not lindorek");
                        },
                        "Could not load the client key \"01key.pem\": bad decrypt"},
        CertificateCase{"KeyOfAnotherCertificate",
                        [](const fs::path& d) {
                            const auto other = testing::MakeSelfSignedCertificate("other");
                            testing::WriteFile(d / "01key.pem", testing::EncryptPrivateKey(
                                                                    other.privateKey, "lindorek"));
                        },
                        "Could not load the client key \"01key.pem\": key values mismatch"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace korvalot::fetch
