#include "tools/register-sim/SimProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <optional>
#include <thread>

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

extern char** environ;

namespace korvalot::tools {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
namespace ssl = net::ssl;
using tcp = net::ip::tcp;

bool SameText(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::string SimResponse::Header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (SameText(key, name)) {
            return value;
        }
    }
    return {};
}

struct SimClient::Impl {
    std::string host;
    std::string port;
    SimClientOptions options;
    net::io_context ioc;
    ssl::context tls{ssl::context::tls_client};
    std::optional<beast::ssl_stream<beast::tcp_stream>> stream;
    beast::flat_buffer buffer;
    int connections = 0;

    // Runs one asynchronous step to its end; its time limit is the stream's expiry.
    template <class Start>
    beast::error_code Step(Start&& start) {
        beast::error_code result;
        beast::get_lowest_layer(*stream).expires_after(options.timeout);
        start([&result](beast::error_code ec, auto&&...) { result = ec; });
        ioc.restart();
        ioc.run();
        return result;
    }

    void Connect() {
        stream.emplace(ioc, tls);
        buffer.clear();
        tcp::resolver resolver(ioc);
        beast::error_code ec;
        const auto endpoints = resolver.resolve(host, port, ec);
        if (ec) {
            throw SimProcessError("cannot resolve " + host + ": " + ec.message());
        }
        ec = Step([&](auto handler) {
            beast::get_lowest_layer(*stream).async_connect(endpoints, handler);
        });
        if (!ec) {
            ec = Step(
                [&](auto handler) { stream->async_handshake(ssl::stream_base::client, handler); });
        }
        if (ec) {
            stream.reset();
            throw SimProcessError("cannot connect to " + host + ":" + port + ": " + ec.message());
        }
        ++connections;
    }
};

SimClient::SimClient(std::string baseUrl, SimClientOptions options)
    : impl_(std::make_unique<Impl>()) {
    static constexpr std::string_view kScheme = "https://";
    if (baseUrl.rfind(kScheme, 0) != 0) {
        throw SimProcessError("not an https address: " + baseUrl);
    }
    const std::string authority =
        baseUrl.substr(kScheme.size(), baseUrl.find('/', kScheme.size()) - kScheme.size());
    const std::size_t colon = authority.rfind(':');
    impl_->host = authority.substr(0, colon);
    impl_->port = colon == std::string::npos ? "443" : authority.substr(colon + 1);
    impl_->options = std::move(options);
    impl_->tls.set_verify_mode(ssl::verify_none);
    const SimClientOptions& o = impl_->options;
    if (!o.certificateFile.empty()) {
        try {
            impl_->tls.set_password_callback(
                [secret = o.passphrase](std::size_t, ssl::context::password_purpose) {
                    return secret;
                });
            impl_->tls.use_certificate_file(o.certificateFile, ssl::context::pem);
            impl_->tls.use_private_key_file(o.keyFile, ssl::context::pem);
        } catch (const boost::system::system_error& e) {
            throw SimProcessError("cannot load the client certificate: " + std::string(e.what()));
        }
    }
}

SimClient::~SimClient() = default;

int SimClient::Connections() const {
    return impl_->connections;
}

void SimClient::Close() {
    if (impl_->stream) {
        beast::error_code ignored;
        beast::get_lowest_layer(*impl_->stream).socket().close(ignored);
        impl_->stream.reset();
    }
}

SimResponse SimClient::Get(const std::string& target, const SimHeaderList& headers) {
    Impl& m = *impl_;
    if (!m.stream) {
        m.Connect();
    }
    http::request<http::empty_body> request(http::verb::get, target, 11);
    request.set(http::field::host, m.host + ":" + m.port);
    for (const auto& [name, value] : headers) {
        request.insert(name, value);
    }
    beast::error_code ec =
        m.Step([&](auto handler) { http::async_write(*m.stream, request, handler); });
    if (ec) {
        Close();
        throw SimProcessError("request not sent: " + ec.message());
    }
    http::response_parser<http::string_body> parser;
    parser.body_limit(256 * 1024 * 1024);
    ec = m.Step([&](auto handler) { http::async_read(*m.stream, m.buffer, parser, handler); });
    SimResponse response;
    if (ec && !(ec == http::error::partial_message && parser.is_header_done())) {
        Close();
        throw SimProcessError("no answer: " + ec.message());
    }
    const auto& message = parser.get();
    response.status = static_cast<int>(message.result_int());
    response.reason = std::string(message.reason());
    for (const auto& field : message) {
        response.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
    }
    response.body = message.body();
    response.complete = !ec;
    if (ec || !message.keep_alive()) {
        Close();
    }
    return response;
}

SimResponse HttpsGet(const std::string& baseUrl, const std::string& target,
                     const SimHeaderList& headers) {
    SimClient client(baseUrl);
    return client.Get(target, headers);
}

std::string SimProcess::DefaultBinary() {
#ifdef REGISTER_SIM_PATH
    return REGISTER_SIM_PATH;
#else
    return "register-sim";
#endif
}

SimProcess::SimProcess(const std::vector<std::string>& args, std::string binary,
                       std::chrono::milliseconds startTimeout) {
    if (binary.empty()) {
        binary = DefaultBinary();
    }
    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC) != 0) {
        throw SimProcessError("cannot make a pipe");
    }
    std::vector<std::string> argvText{binary};
    argvText.insert(argvText.end(), args.begin(), args.end());
    // a test process that crashes must not leave its server running
    argvText.push_back("--parent-pid");
    argvText.push_back(std::to_string(getpid()));
    std::vector<char*> argv;
    for (std::string& a : argvText) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
    const int rc = posix_spawn(&pid_, binary.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeEnds[1]);
    output_ = pipeEnds[0];
    if (rc != 0) {
        close(output_);
        output_ = -1;
        pid_ = -1;
        throw SimProcessError("cannot start " + binary);
    }

    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + startTimeout;
    while (line.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{output_, POLLIN, 0};
        char chunk[256];
        ssize_t n = 0;
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0 ||
            (n = read(output_, chunk, sizeof chunk)) <= 0) {
            const int code = Stop();
            throw SimProcessError("the simulator did not report its address (exit code " +
                                  std::to_string(code) + ")");
        }
        line.append(chunk, static_cast<std::size_t>(n));
    }
    baseUrl_ = line.substr(0, line.find('\n'));
    const std::size_t colon = baseUrl_.rfind(':');
    port_ = static_cast<std::uint16_t>(std::stoi(baseUrl_.substr(colon + 1)));
}

SimProcess::~SimProcess() {
    Stop();
}

int SimProcess::Stop() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        int status = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        pid_t done = 0;
        while ((done = waitpid(pid_, &status, WNOHANG)) == 0 &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (done == 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
        exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        pid_ = -1;
    }
    if (output_ >= 0) {
        close(output_);
        output_ = -1;
    }
    return exitCode_;
}

}  // namespace korvalot::tools
