#include "support/ScriptedServer.h"

#include <cerrno>
#include <csignal>
#include <stdexcept>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/TestCertificates.h"

namespace korvalot::testing {
namespace {

const PemCertificate& ServerCertificate() {
    static const PemCertificate certificate = MakeSelfSignedCertificate("localhost");
    return certificate;
}

void IgnoreBrokenPipes() {
    // A client that hangs up while the server writes must not kill the test process.
    static const bool ignored = [] {
        std::signal(SIGPIPE, SIG_IGN);
        return true;
    }();
    (void)ignored;
}

[[noreturn]] void Throw(const std::string& what) {
    throw std::runtime_error("scripted server: " + what + " failed");
}

std::string CommonName(X509* certificate) {
    if (certificate == nullptr) {
        return {};
    }
    char name[256] = {};
    X509_NAME_get_text_by_NID(X509_get_subject_name(certificate), NID_commonName, name,
                              sizeof name);
    return name;
}

}  // namespace

Reply& Reply::Send(std::string bytes) {
    actions_.push_back({Action::Kind::Send, std::move(bytes), {}});
    return *this;
}

Reply& Reply::Pause(std::chrono::milliseconds delay) {
    actions_.push_back({Action::Kind::Pause, {}, delay});
    return *this;
}

Reply& Reply::Trickle(std::string_view bytes, std::chrono::milliseconds gap) {
    for (char c : bytes) {
        Send(std::string(1, c));
        Pause(gap);
    }
    return *this;
}

Reply& Reply::Close() {
    actions_.push_back({Action::Kind::Close, {}, {}});
    return *this;
}

Reply& Reply::Drop() {
    actions_.push_back({Action::Kind::Drop, {}, {}});
    return *this;
}

Reply& Reply::Reset() {
    actions_.push_back({Action::Kind::Reset, {}, {}});
    return *this;
}

std::string ReceivedRequest::Target() const {
    const auto first = head.find(' ');
    const auto second = head.find(' ', first + 1);
    if (first == std::string::npos || second == std::string::npos) {
        return {};
    }
    return head.substr(first + 1, second - first - 1);
}

struct ScriptedServer::TlsContext {
    SSL_CTX* ctx = nullptr;
    ~TlsContext() { SSL_CTX_free(ctx); }
};

ScriptedServer::ScriptedServer(Handler handler, ServerOptions options)
    : handler_(std::move(handler)), options_(std::move(options)) {
    IgnoreBrokenPipes();
    if (options_.mode == ServerOptions::Mode::Tls) {
        tls_ = std::make_unique<TlsContext>();
        tls_->ctx = SSL_CTX_new(TLS_server_method());
        if (tls_->ctx == nullptr) {
            Throw("SSL_CTX_new");
        }
        SSL_CTX* ctx = tls_->ctx;
        // Security level 0 lets the old protocol versions be tried at all.
        SSL_CTX_set_cipher_list(ctx, "DEFAULT:@SECLEVEL=0");
        SSL_CTX_set_min_proto_version(ctx, options_.minTlsVersion);
        SSL_CTX_set_max_proto_version(ctx, options_.maxTlsVersion);
        SSL_CTX_set_num_tickets(ctx, 0);
        const PemCertificate& pem = ServerCertificate();
        BIO* certBio =
            BIO_new_mem_buf(pem.certificate.data(), static_cast<int>(pem.certificate.size()));
        X509* cert = PEM_read_bio_X509(certBio, nullptr, nullptr, nullptr);
        BIO_free(certBio);
        BIO* keyBio =
            BIO_new_mem_buf(pem.privateKey.data(), static_cast<int>(pem.privateKey.size()));
        EVP_PKEY* key = PEM_read_bio_PrivateKey(keyBio, nullptr, nullptr, nullptr);
        BIO_free(keyBio);
        const bool loaded = cert != nullptr && key != nullptr &&
                            SSL_CTX_use_certificate(ctx, cert) == 1 &&
                            SSL_CTX_use_PrivateKey(ctx, key) == 1;
        X509_free(cert);
        EVP_PKEY_free(key);
        if (!loaded) {
            Throw("loading the server certificate");
        }
        if (options_.requestClientCertificate) {
            SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, [](int, X509_STORE_CTX*) { return 1; });
        }
    }

    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) {
        Throw("socket");
    }
    const int on = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listenFd_, 64) != 0 ||
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(listenFd_);
        Throw("listening on 127.0.0.1");
    }
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread(&ScriptedServer::AcceptLoop, this);
}

ScriptedServer::~ScriptedServer() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        for (int fd : openFds_) {
            if (fd >= 0) {
                ::shutdown(fd, SHUT_RDWR);
            }
        }
    }
    stopped_.notify_all();
    ::shutdown(listenFd_, SHUT_RDWR);
    acceptor_.join();
    for (auto& [index, connection] : connections_) {
        connection.join();
    }
    ::close(listenFd_);
}

std::string ScriptedServer::Address(std::string_view target) const {
    const char* scheme = options_.mode == ServerOptions::Mode::Plain ? "http" : "https";
    return std::string(scheme) + "://127.0.0.1:" + std::to_string(port_) + std::string(target);
}

std::vector<ReceivedRequest> ScriptedServer::Requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

int ScriptedServer::Connections() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(openFds_.size());
}

void ScriptedServer::AcceptLoop() {
    for (;;) {
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0 && (errno == EINTR || errno == ECONNABORTED)) {
            continue;
        }
        // Threads of ended connections are joined as new ones come, so that a benchmark's
        // thousands of connections do not pile up.
        std::vector<std::thread> ended;
        bool accepting = true;
        {
            std::lock_guard lock(mutex_);
            for (int index : finished_) {
                ended.push_back(std::move(connections_[index]));
                connections_.erase(index);
            }
            finished_.clear();
            if (stopping_ || fd < 0) {
                accepting = false;
                if (fd >= 0) {
                    ::close(fd);
                }
            } else {
                // Answers written in pieces must not wait for the client's delayed ACK.
                const int on = 1;
                ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                const int index = static_cast<int>(openFds_.size());
                openFds_.push_back(fd);
                connections_.emplace(index, std::thread(&ScriptedServer::Serve, this, fd, index));
            }
        }
        accepted_.notify_all();
        for (auto& thread : ended) {
            thread.join();
        }
        if (!accepting) {
            return;
        }
    }
}

bool ScriptedServer::WaitForConnections(int count, std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return accepted_.wait_for(lock, limit,
                              [&] { return static_cast<int>(openFds_.size()) >= count; });
}

bool ScriptedServer::WaitUntilClosed(int connection, std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return connectionClosed_.wait_for(lock, limit, [&] { return closed_.count(connection) > 0; });
}

bool ScriptedServer::Sleep(std::chrono::milliseconds delay) {
    std::unique_lock lock(mutex_);
    return !stopped_.wait_for(lock, delay, [this] { return stopping_; });
}

void ScriptedServer::Forget(int index) {
    std::lock_guard lock(mutex_);
    openFds_[index] = -1;
    finished_.push_back(index);
}

void ScriptedServer::Serve(int fd, int index) {
    SSL* ssl = nullptr;
    enum class Ending { Quiet, CloseNotify, Reset };
    Ending ending = Ending::Quiet;

    auto readSome = [&](char* buffer, int size) {
        return ssl != nullptr ? SSL_read(ssl, buffer, size)
                              : static_cast<int>(::recv(fd, buffer, size, 0));
    };
    auto writeAll = [&](const std::string& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const int rest = static_cast<int>(bytes.size() - done);
            const int n =
                ssl != nullptr
                    ? SSL_write(ssl, bytes.data() + done, rest)
                    : static_cast<int>(::send(fd, bytes.data() + done, rest, MSG_NOSIGNAL));
            if (n <= 0) {
                return false;
            }
            done += static_cast<std::size_t>(n);
        }
        return true;
    };

    [&] {
        if (!options_.greeting.empty()) {
            writeAll(options_.greeting);
            // Closing with the client's bytes unread would reset the connection instead.
            ::shutdown(fd, SHUT_WR);
            char sink[4096];
            while (::recv(fd, sink, sizeof sink, 0) > 0) {
            }
            return;
        }
        if (options_.mode == ServerOptions::Mode::Silent) {
            char sink[4096];
            while (::recv(fd, sink, sizeof sink, 0) > 0) {
            }
            return;
        }
        ReceivedRequest info;
        info.connection = index;
        if (options_.mode == ServerOptions::Mode::Tls) {
            ssl = SSL_new(tls_->ctx);
            SSL_set_fd(ssl, fd);
            if (SSL_accept(ssl) != 1) {
                ERR_clear_error();
                return;
            }
            if (const char* name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name)) {
                info.serverName = name;
            }
            info.tlsVersion = SSL_get_version(ssl);
            info.sessionReused = SSL_session_reused(ssl) == 1;
            X509* peer = SSL_get1_peer_certificate(ssl);
            info.clientCertificate = CommonName(peer);
            X509_free(peer);
        }
        std::string buffer;
        for (int requestIndex = 0;; ++requestIndex) {
            std::size_t end;
            while ((end = buffer.find("\r\n\r\n")) == std::string::npos) {
                char chunk[4096];
                const int n = readSome(chunk, sizeof chunk);
                if (n <= 0) {
                    // Answer a client's TLS close message with ours.
                    if (ssl != nullptr && SSL_get_error(ssl, n) == SSL_ERROR_ZERO_RETURN) {
                        ending = Ending::CloseNotify;
                    }
                    return;
                }
                buffer.append(chunk, static_cast<std::size_t>(n));
            }
            ReceivedRequest request = info;
            request.indexOnConnection = requestIndex;
            request.head = buffer.substr(0, end + 4);
            buffer.erase(0, end + 4);
            {
                std::lock_guard lock(mutex_);
                requests_.push_back(request);
            }
            const Reply reply = handler_(request);
            for (const auto& action : reply.Actions()) {
                switch (action.kind) {
                    case Reply::Action::Kind::Send:
                        if (!writeAll(action.bytes)) {
                            return;
                        }
                        break;
                    case Reply::Action::Kind::Pause:
                        if (!Sleep(action.delay)) {
                            return;
                        }
                        break;
                    case Reply::Action::Kind::Close:
                        ending = Ending::CloseNotify;
                        return;
                    case Reply::Action::Kind::Drop:
                        return;
                    case Reply::Action::Kind::Reset:
                        ending = Ending::Reset;
                        return;
                }
            }
        }
    }();

    Forget(index);
    if (ssl != nullptr) {
        if (ending == Ending::CloseNotify) {
            SSL_shutdown(ssl);
        }
        SSL_free(ssl);
        ERR_clear_error();
    }
    if (ending == Ending::Reset) {
        const linger abort{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    ::close(fd);
    {
        std::lock_guard lock(mutex_);
        closed_.insert(index);
    }
    connectionClosed_.notify_all();
}

std::string OkAnswer(std::string_view body, std::string_view extraHeaders) {
    return "HTTP/1.1 200 OK\r\n" + std::string(extraHeaders) +
           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + std::string(body);
}

RefusingPort::RefusingPort() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        Throw("binding a refusing port");
    }
    port_ = ntohs(address.sin_port);
}

RefusingPort::~RefusingPort() {
    ::close(fd_);
}

}  // namespace korvalot::testing
