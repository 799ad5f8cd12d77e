#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <zlib.h>
#include <nlohmann/json.hpp>

#include "tools/register-sim/SimProcess.h"
#include "tools/register-sim/SimServer.h"
#include "tools/register-sim/SimTls.h"

namespace korvalot::tools {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

std::string Gunzip(const std::string& data) {
    z_stream zs{};
    inflateInit2(&zs, 15 + 16);
    std::string out(data.size() * 20 + 1024, '\0');
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    zs.avail_in = static_cast<uInt>(data.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = static_cast<uInt>(out.size());
    const int rc = inflate(&zs, Z_FINISH);
    out.resize(zs.total_out);
    inflateEnd(&zs);
    return rc == Z_STREAM_END ? out : std::string();
}

std::filesystem::path TempDir(const std::string& name) {
    const auto dir = std::filesystem::temp_directory_path() /
                     ("register-sim-" + name + "-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

// A running simulator in this process.
struct Served {
    explicit Served(SimRegisterOptions reg = {}, SimServerOptions options = {},
                    std::size_t trades = 200)
        : data(std::make_shared<SimData>(SimData::Generate(SimDataOptions{trades, 4}))),
          register_(std::make_shared<SimRegister>(data, std::move(reg))),
          server(register_, std::move(options)) {
        server.Start();
    }
    std::string Card(std::size_t i) const { return "/backend/biddings/" + data->Trades()[i].guid; }

    std::shared_ptr<SimData> data;
    std::shared_ptr<SimRegister> register_;
    SimServer server;
};

TEST(SimServer, KeepsTheConnectionAndCompressesWhenAsked) {
    Served s;
    SimClient client(s.server.BaseUrl());
    const SimResponse plain = client.Get(s.Card(0) + "/lots?offset=0&limit=50");
    EXPECT_EQ(plain.status, 200);
    EXPECT_EQ(plain.Header("Content-Encoding"), "");
    const SimResponse packed =
        client.Get(s.Card(0) + "/lots?offset=0&limit=50", {{"Accept-Encoding", "gzip, deflate"}});
    EXPECT_EQ(client.Get("/backend/reference-book/regions").status, 200);
    EXPECT_EQ(client.Connections(), 1);
    if (plain.body.size() >= 1024) {
        EXPECT_EQ(packed.Header("Content-Encoding"), "gzip");
        EXPECT_EQ(Gunzip(packed.body), plain.body);
    } else {
        EXPECT_EQ(packed.body, plain.body);
    }
    // HTTP/1.0 without keep-alive, as the directory client asks: the answer ends the connection
    SimClient directory(s.server.BaseUrl());
    const SimResponse closing =
        directory.Get("/backend/reference-book/regions", {{"Connection", "close"}});
    EXPECT_EQ(closing.status, 200);
    EXPECT_TRUE(json::parse(closing.body).is_array());
    directory.Get("/backend/reference-book/regions");
    EXPECT_EQ(directory.Connections(), 2);
}

// Each fault as a client meets it on the wire.
TEST(SimServer, FaultsLookOnTheWireAsTheirKindSays) {
    for (FaultKind kind : kAllFaultKinds) {
        SCOPED_TRACE(std::string(FaultKindName(kind)));
        SimRegisterOptions reg;
        reg.faults.rate = 1.0;
        reg.faults.kinds = {kind};
        SimServerOptions server;
        server.stall = 300ms;
        Served s(reg, server);
        SimClient client(s.server.BaseUrl());
        const std::string target = "/backend/biddings?limit=50&offset=0&regionCode=77";
        const auto start = std::chrono::steady_clock::now();
        switch (kind) {
            case FaultKind::Reset:
                EXPECT_THROW(client.Get(target), SimProcessError);
                break;
            case FaultKind::Stall:
                EXPECT_THROW(client.Get(target), SimProcessError);
                EXPECT_GE(std::chrono::steady_clock::now() - start, 250ms);
                break;
            default: {
                const SimResponse r = client.Get(target);
                switch (kind) {
                    case FaultKind::Unavailable:
                        EXPECT_EQ(r.status, 503);
                        EXPECT_EQ(r.Header("Retry-After"), "1");
                        break;
                    case FaultKind::ServerError:
                        EXPECT_EQ(r.status, 500);
                        break;
                    case FaultKind::Empty:
                        EXPECT_EQ(r.status, 200);
                        EXPECT_EQ(r.body, "");
                        break;
                    case FaultKind::Html:
                        EXPECT_EQ(r.status, 200);
                        EXPECT_EQ(r.Header("Content-Type").rfind("text/html", 0), 0u);
                        EXPECT_EQ(r.body.rfind("<!DOCTYPE html>", 0), 0u);
                        break;
                    case FaultKind::Truncated:
                        EXPECT_EQ(r.status, 200);
                        EXPECT_FALSE(r.complete);
                        EXPECT_GT(r.body.size(), 0u);
                        EXPECT_LT(r.body.size(), std::stoul(r.Header("Content-Length")));
                        EXPECT_EQ(r.body.rfind("{\"found\":", 0), 0u);
                        break;
                    default:
                        ADD_FAILURE();
                }
            }
        }
        // control answers never fail
        const json stats = json::parse(client.Get("/sim/stats").body);
        EXPECT_EQ(stats.at("faults").at(std::string(FaultKindName(kind))), 1);
    }
}

TEST(SimServer, FailFirstThenServesAndCountsTheStreak) {
    SimRegisterOptions reg;
    reg.faults.failFirst = 10;
    reg.faults.kinds = {FaultKind::Unavailable, FaultKind::Reset, FaultKind::Empty};
    Served s(reg);
    SimClient client(s.server.BaseUrl());
    const std::string target = s.Card(3) + "/additional";
    int failures = 0;
    for (int attempt = 0; attempt < 10; ++attempt) {
        try {
            const SimResponse r = client.Get(target);
            failures += r.status != 200 || r.body.empty();
        } catch (const SimProcessError&) {
            ++failures;
        }
    }
    EXPECT_EQ(failures, 10);
    const SimResponse served = client.Get(target);
    EXPECT_EQ(served.status, 200);
    EXPECT_TRUE(json::parse(served.body).contains("courtName"));
    EXPECT_EQ(json::parse(client.Get("/sim/stats").body).at("failedTenTimes"), 1);
}

// Latency is a timer per connection: clients waiting at once are not served one after another.
TEST(SimServer, LatencyDoesNotSerialiseClients) {
    SimServerOptions server;
    server.latency = 1000ms;
    Served s({}, server);
    SimClient warm(s.server.BaseUrl());
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(warm.Get(s.Card(0)).status, 200);
    EXPECT_GE(std::chrono::steady_clock::now() - before, 950ms);

    constexpr int kClients = 8;
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::future<int>> done;
    for (int i = 0; i < kClients; ++i) {
        done.push_back(std::async(std::launch::async, [&, i] {
            SimClient client(s.server.BaseUrl());
            return client.Get(s.Card(static_cast<std::size_t>(i))).status;
        }));
    }
    for (auto& d : done) {
        EXPECT_EQ(d.get(), 200);
    }
    // one after another would take eight seconds
    EXPECT_LT(std::chrono::steady_clock::now() - start, 6s);
}

TEST(SimServer, LogsEachRegisterRequestWithItsHeadersInOrder) {
    const auto dir = TempDir("log");
    SimServerOptions server;
    server.logFile = (dir / "requests.jsonl").string();
    Served s({}, server);
    const SimHeaderList headers = {{"Accept", "text/html, */*"},
                                   {"Referer", s.server.BaseUrl() + "/biddings"},
                                   {"User-Agent", "Mozilla/5.0 test"}};
    {
        SimClient client(s.server.BaseUrl());
        client.Get("/backend/reference-book/regions", headers);
        client.Get(s.Card(1), headers);
        client.Get("/sim/stats");
    }
    SimClient other(s.server.BaseUrl());
    other.Get(s.Card(2));
    s.server.Stop();

    std::ifstream in(server.logFile);
    std::vector<json> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(json::parse(line));
    }
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].at("request"), "GET /backend/reference-book/regions HTTP/1.1");
    EXPECT_EQ(lines[1].at("request"), "GET " + s.Card(1) + " HTTP/1.1");
    const json expectedHeaders = json::array({
        json::array({"Host", "127.0.0.1:" + std::to_string(s.server.Port())}),
        json::array({"Accept", "text/html, */*"}),
        json::array({"Referer", s.server.BaseUrl() + "/biddings"}),
        json::array({"User-Agent", "Mozilla/5.0 test"}),
    });
    EXPECT_EQ(lines[0].at("headers"), expectedHeaders);
    EXPECT_EQ(lines[0].at("connection"), lines[1].at("connection"));
    EXPECT_NE(lines[1].at("connection"), lines[2].at("connection"));
    EXPECT_EQ(lines[2].at("time").get<std::string>().size(), 24u);
    std::filesystem::remove_all(dir);
}

TEST(SimServer, DirectoryAsksForTheWrittenClientCertificate) {
    const auto dir = TempDir("cert");
    WriteClientCertificate(dir);
    std::ifstream keyFile(dir / "01key.pem");
    std::stringstream key;
    key << keyFile.rdbuf();
    EXPECT_NE(key.str().find("ENCRYPTED"), std::string::npos);

    SimRegisterOptions reg;
    reg.requireClientCert = true;
    Served s(reg);
    SimClientOptions withCert;
    withCert.certificateFile = (dir / "01cert.pem").string();
    withCert.keyFile = (dir / "01key.pem").string();
    withCert.passphrase = "lindorek";
    SimClient presenting(s.server.BaseUrl(), withCert);
    EXPECT_EQ(presenting.Get("/backend/reference-book/regions").status, 200);

    SimClient anonymous(s.server.BaseUrl());
    EXPECT_EQ(anonymous.Get("/backend/reference-book/regions").status, 403);
    // the workers present no certificate and are served all the same
    EXPECT_EQ(anonymous.Get(s.Card(0)).status, 200);
    EXPECT_EQ(json::parse(anonymous.Get("/sim/stats").body).at("clientCertificateConnections"), 1);

    withCert.passphrase = "wrong";
    EXPECT_THROW(SimClient(s.server.BaseUrl(), withCert), SimProcessError);
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace korvalot::tools
