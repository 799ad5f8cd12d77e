#include "tools/register-sim/SimServer.h"

#include <atomic>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include <openssl/ssl.h>
#include <zlib.h>
#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include "tools/register-sim/SimJson.h"
#include "tools/register-sim/SimTls.h"

namespace korvalot::tools {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
namespace ssl = net::ssl;
using tcp = net::ip::tcp;

constexpr auto kHandshakeTimeout = std::chrono::seconds(30);
constexpr auto kIdleTimeout = std::chrono::seconds(120);
constexpr auto kShutdownTimeout = std::chrono::seconds(2);
constexpr std::size_t kCompressFrom = 1024;

std::string Gzip(std::string_view data) {
    z_stream zs{};
    if (deflateInit2(&zs, 1, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        return std::string(data);
    }
    std::string out(deflateBound(&zs, data.size()) + 32, '\0');
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    zs.avail_in = static_cast<uInt>(data.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = static_cast<uInt>(out.size());
    const int rc = deflate(&zs, Z_FINISH);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return rc == Z_STREAM_END ? out : std::string(data);
}

bool AcceptsGzip(std::string_view value) {
    std::string lower(value);
    for (char& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return lower.find("gzip") != std::string::npos;
}

std::string UtcNow() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(ms));
    return text;
}

class RequestLog {
public:
    explicit RequestLog(const std::string& path) : file_(std::fopen(path.c_str(), "ab")) {
        if (file_ == nullptr) {
            throw std::runtime_error("cannot open the request log " + path);
        }
    }
    ~RequestLog() { std::fclose(file_); }

    void Write(std::string line) {
        line.push_back('\n');
        std::lock_guard lock(mutex_);
        std::fwrite(line.data(), 1, line.size(), file_);
        std::fflush(file_);
    }

private:
    std::FILE* file_;
    std::mutex mutex_;
};

struct Shared {
    Shared(SimRegister& r, const SimServerOptions& o, ssl::context& t, RequestLog* l)
        : reg(r), options(o), tls(t), log(l) {}

    SimRegister& reg;
    const SimServerOptions& options;
    ssl::context& tls;
    RequestLog* log;
    std::atomic<std::uint64_t> nextConnection{0};
};

class Session : public std::enable_shared_from_this<Session> {
public:
    Session(tcp::socket socket, Shared& shared)
        : stream_(std::move(socket), shared.tls),
          timer_(stream_.get_executor()),
          shared_(shared),
          id_(++shared.nextConnection) {}

    void Run() {
        net::dispatch(stream_.get_executor(),
                      beast::bind_front_handler(&Session::Handshake, shared_from_this()));
    }

private:
    void Handshake() {
        beast::get_lowest_layer(stream_).expires_after(kHandshakeTimeout);
        stream_.async_handshake(
            ssl::stream_base::server,
            beast::bind_front_handler(&Session::OnHandshake, shared_from_this()));
    }

    void OnHandshake(beast::error_code ec) {
        if (ec) {
            shared_.reg.NoteHandshakeFailure();
            return;
        }
        clientCertificate_ = SSL_get0_peer_certificate(stream_.native_handle()) != nullptr;
        shared_.reg.NoteConnection(clientCertificate_);
        Read();
    }

    void Read() {
        parser_.emplace();
        parser_->header_limit(64 * 1024);
        parser_->body_limit(1024 * 1024);
        beast::get_lowest_layer(stream_).expires_after(kIdleTimeout);
        http::async_read(stream_, buffer_, *parser_,
                         beast::bind_front_handler(&Session::OnRead, shared_from_this()));
    }

    void OnRead(beast::error_code ec, std::size_t) {
        if (ec == http::error::end_of_stream) {
            Shutdown();
            return;
        }
        if (ec) {
            return;  // reset, time-out, garbage: the connection is dropped
        }
        const auto& req = parser_->get();
        SimRequest request;
        request.method = std::string(req.method_string());
        request.target = std::string(req.target());
        for (const auto& field : req) {
            request.headers.emplace_back(std::string(field.name_string()),
                                         std::string(field.value()));
        }
        request.clientCertificate = clientCertificate_;
        keepAlive_ = req.keep_alive();
        version_ = req.version();
        gzip_ =
            shared_.options.compress && AcceptsGzip(std::string(req[http::field::accept_encoding]));

        answer_ = shared_.reg.Handle(request);
        if (!answer_.control && shared_.log != nullptr) {
            Log(request);
        }
        if (!answer_.control && shared_.options.latency.count() > 0) {
            timer_.expires_after(shared_.options.latency);
            timer_.async_wait(beast::bind_front_handler(&Session::Respond, shared_from_this()));
            return;
        }
        Respond({});
    }

    void Log(const SimRequest& request) {
        JsonWriter json;
        json.BeginObject()
            .Key("time")
            .String(UtcNow())
            .Key("connection")
            .Int(static_cast<std::int64_t>(id_))
            .Key("request")
            .String(request.method + " " + request.target + " HTTP/" +
                    std::to_string(version_ / 10) + "." + std::to_string(version_ % 10))
            .Key("headers")
            .BeginArray();
        for (const auto& [name, value] : request.headers) {
            json.BeginArray().String(name).String(value).EndArray();
        }
        json.EndArray()
            .Key("clientCertificate")
            .Bool(clientCertificate_)
            .Key("status")
            .Int(answer_.status)
            .Key("fault")
            .String(FaultKindName(answer_.fault))
            .EndObject();
        shared_.log->Write(json.Take());
    }

    void Respond(beast::error_code ec) {
        if (ec) {
            return;
        }
        switch (answer_.fault) {
            case FaultKind::Reset: {
                beast::error_code ignored;
                auto& socket = beast::get_lowest_layer(stream_).socket();
                socket.set_option(net::socket_base::linger(true, 0), ignored);
                socket.close(ignored);
                return;
            }
            case FaultKind::Stall:
                timer_.expires_after(shared_.options.stall);
                timer_.async_wait([self = shared_from_this()](beast::error_code e) {
                    if (!e) {
                        self->Shutdown();
                    }
                });
                return;
            case FaultKind::Truncated: {
                // the header promises the whole body, half of it comes, then the connection ends
                const std::string& body = answer_.body;
                raw_ =
                    "HTTP/1.1 " + std::to_string(answer_.status) + " " +
                    std::string(http::obsolete_reason(static_cast<http::status>(answer_.status))) +
                    "\r\nServer: nginx\r\nContent-Type: " + answer_.contentType +
                    "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
                    body.substr(0, body.size() / 2);
                beast::get_lowest_layer(stream_).expires_after(kIdleTimeout);
                net::async_write(stream_, net::buffer(raw_),
                                 [self = shared_from_this()](beast::error_code e, std::size_t) {
                                     if (!e) {
                                         self->Shutdown();
                                     }
                                 });
                return;
            }
            default:
                break;
        }
        response_.emplace(static_cast<http::status>(answer_.status), version_);
        response_->set(http::field::server, "nginx");
        response_->set(http::field::content_type, answer_.contentType);
        for (const auto& [name, value] : answer_.headers) {
            response_->set(name, value);
        }
        if (gzip_ && !answer_.control && answer_.body.size() >= kCompressFrom) {
            response_->set(http::field::content_encoding, "gzip");
            response_->body() = Gzip(answer_.body);
        } else {
            response_->body() = std::move(answer_.body);
        }
        response_->keep_alive(keepAlive_);
        response_->prepare_payload();
        beast::get_lowest_layer(stream_).expires_after(kIdleTimeout);
        http::async_write(stream_, *response_,
                          beast::bind_front_handler(&Session::OnWrite, shared_from_this()));
    }

    void OnWrite(beast::error_code ec, std::size_t) {
        response_.reset();
        if (ec) {
            return;
        }
        if (!keepAlive_) {
            Shutdown();
            return;
        }
        Read();
    }

    void Shutdown() {
        beast::get_lowest_layer(stream_).expires_after(kShutdownTimeout);
        stream_.async_shutdown([self = shared_from_this()](beast::error_code) {
            beast::error_code ignored;
            beast::get_lowest_layer(self->stream_).socket().close(ignored);
        });
    }

    beast::ssl_stream<beast::tcp_stream> stream_;
    net::steady_timer timer_;
    Shared& shared_;
    std::uint64_t id_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    std::optional<http::response<http::string_body>> response_;
    SimAnswer answer_;
    std::string raw_;
    bool clientCertificate_ = false;
    bool keepAlive_ = true;
    bool gzip_ = false;
    unsigned version_ = 11;
};

class Listener : public std::enable_shared_from_this<Listener> {
public:
    Listener(net::io_context& ioc, tcp::acceptor& acceptor, Shared& shared)
        : ioc_(ioc), acceptor_(acceptor), shared_(shared) {}

    void Accept() {
        acceptor_.async_accept(net::make_strand(ioc_),
                               beast::bind_front_handler(&Listener::OnAccept, shared_from_this()));
    }

private:
    void OnAccept(beast::error_code ec, tcp::socket socket) {
        if (ec == net::error::operation_aborted || !acceptor_.is_open()) {
            return;
        }
        if (!ec) {
            beast::error_code ignored;
            socket.set_option(tcp::no_delay(true), ignored);
            std::make_shared<Session>(std::move(socket), shared_)->Run();
        }
        Accept();
    }

    net::io_context& ioc_;
    tcp::acceptor& acceptor_;
    Shared& shared_;
};

}  // namespace

struct SimServer::Impl {
    Impl(std::shared_ptr<SimRegister> r, SimServerOptions o)
        : reg(std::move(r)),
          options(std::move(o)),
          ioc(std::max(1, options.threads)),
          acceptor(ioc) {}

    std::shared_ptr<SimRegister> reg;
    SimServerOptions options;
    ssl::context tls{ssl::context::tls_server};
    std::unique_ptr<RequestLog> log;
    std::optional<Shared> shared;
    // declared after everything the connections use, so that they go first
    net::io_context ioc;
    tcp::acceptor acceptor;
    std::vector<std::thread> threads;
    std::uint16_t port = 0;
    bool running = false;
};

SimServer::SimServer(std::shared_ptr<SimRegister> reg, SimServerOptions options)
    : impl_(std::make_unique<Impl>(std::move(reg), std::move(options))) {}

SimServer::~SimServer() {
    Stop();
}

void SimServer::Start() {
    Impl& m = *impl_;
    if (m.running) {
        return;
    }
    try {
        const SimPemPair pair = MakeSelfSignedPair("127.0.0.1", SimKeyKind::Ec);
        m.tls.set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                          ssl::context::single_dh_use);
        m.tls.use_certificate_chain(net::buffer(pair.certificate));
        m.tls.use_private_key(net::buffer(pair.privateKey), ssl::context::pem);
        static constexpr unsigned char kSessionContext[] = "register-sim";
        SSL_CTX_set_session_id_context(m.tls.native_handle(), kSessionContext,
                                       sizeof kSessionContext - 1);
        if (m.reg->Options().requireClientCert) {
            // any certificate will do; whether one came decides what the directory answers
            m.tls.set_verify_mode(ssl::verify_peer);
            m.tls.set_verify_callback([](bool, ssl::verify_context&) { return true; });
        }
        if (!m.options.logFile.empty()) {
            m.log = std::make_unique<RequestLog>(m.options.logFile);
        }
        const tcp::endpoint endpoint(net::ip::make_address("127.0.0.1"), m.options.port);
        m.acceptor.open(endpoint.protocol());
        m.acceptor.set_option(net::socket_base::reuse_address(true));
        m.acceptor.bind(endpoint);
        m.acceptor.listen(net::socket_base::max_listen_connections);
        m.port = m.acceptor.local_endpoint().port();
    } catch (const boost::system::system_error& e) {
        throw std::runtime_error(std::string("cannot serve on 127.0.0.1: ") + e.what());
    }
    m.reg->SetBaseUrl(BaseUrl());
    m.shared.emplace(*m.reg, m.options, m.tls, m.log.get());
    std::make_shared<Listener>(m.ioc, m.acceptor, *m.shared)->Accept();
    m.running = true;
    for (int i = 0; i < std::max(1, m.options.threads); ++i) {
        m.threads.emplace_back([&m] { m.ioc.run(); });
    }
}

void SimServer::Stop() {
    Impl& m = *impl_;
    if (!m.running) {
        return;
    }
    m.running = false;
    m.ioc.stop();
    for (std::thread& t : m.threads) {
        t.join();
    }
    m.threads.clear();
    beast::error_code ignored;
    m.acceptor.close(ignored);
}

std::uint16_t SimServer::Port() const {
    return impl_->port;
}

std::string SimServer::BaseUrl() const {
    return "https://127.0.0.1:" + std::to_string(impl_->port);
}

SimRegister& SimServer::Register() {
    return *impl_->reg;
}

}  // namespace korvalot::tools
