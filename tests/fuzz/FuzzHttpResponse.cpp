// The clients' reading of an answer, on whatever bytes a server sends: a plain-TCP server on
// 127.0.0.1 answers every request of the input with the same bytes and then closes its side.
// Each get must deliver a body or raise ClientError, within its limits, never anything else.
//
// Input: one byte of flags, then the bytes the server sends.
//   bit 0      the directory profile instead of the worker profile
//   bits 1..3  0: the answer in one write; n: in pieces of 2^(n-1) bytes
//
// Redirects may name any address. Name look-ups and connections are answered here so that
// nothing but this server is ever reached: a name never resolves and any other address or port
// refuses, other programs' servers on 127.0.0.1 included.

#include <arpa/inet.h>
#include <dlfcn.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "fetch/ClientProfiles.h"

namespace {
std::atomic<std::uint16_t> serverPort{0};
}

extern "C" int getaddrinfo(const char* node, const char* service, const struct addrinfo* hints,
                           struct addrinfo** result) {
    using Real = int (*)(const char*, const char*, const struct addrinfo*, struct addrinfo**);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "getaddrinfo"));
    if (node == nullptr || std::strcmp(node, "127.0.0.1") != 0)
        return EAI_NONAME;
    return real(node, service, hints, result);
}

extern "C" int connect(int fd, const struct sockaddr* address, socklen_t length) {
    if (address == nullptr || address->sa_family != AF_INET ||
        length < static_cast<socklen_t>(sizeof(sockaddr_in)) ||
        reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr != htonl(INADDR_LOOPBACK) ||
        reinterpret_cast<const sockaddr_in*>(address)->sin_port != htons(serverPort.load())) {
        errno = ECONNREFUSED;
        return -1;
    }
    return static_cast<int>(syscall(SYS_connect, fd, address, length));
}

namespace {

using namespace std::chrono_literals;

class Server {
public:
    Server() {
        std::signal(SIGPIPE, SIG_IGN);
        listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        ::setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(listen_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(listen_, 64) != 0 ||
            ::getsockname(listen_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            std::perror("fuzz server");
            std::abort();
        }
        port_ = ntohs(address.sin_port);
        serverPort.store(port_);
        std::thread([this] { Serve(); }).detach();
    }

    std::uint16_t Port() const { return port_; }

    void SetAnswer(std::string bytes, std::size_t piece) {
        std::lock_guard lock(mutex_);
        answer_ = std::move(bytes);
        piece_ = piece;
    }

private:
    void Serve() {
        for (;;) {
            const int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            std::string answer;
            std::size_t piece = 0;
            {
                std::lock_guard lock(mutex_);
                answer = answer_;
                piece = piece_;
            }
            const int on = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            timeval limit{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
            // The request head first, as a server would.
            std::string head;
            char buffer[4096];
            while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
                const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
                if (n <= 0)
                    break;
                head.append(buffer, static_cast<std::size_t>(n));
            }
            for (std::size_t sent = 0; sent < answer.size();) {
                const std::size_t n =
                    piece == 0 ? answer.size() - sent : std::min(piece, answer.size() - sent);
                const ssize_t w = ::send(fd, answer.data() + sent, n, MSG_NOSIGNAL);
                if (w <= 0)
                    break;
                sent += static_cast<std::size_t>(w);
            }
            ::shutdown(fd, SHUT_WR);
            // Until the client lets go (or a second passes), so that it reads all of it.
            while (::recv(fd, buffer, sizeof buffer, 0) > 0) {
            }
            ::close(fd);
        }
    }

    int listen_ = -1;
    std::uint16_t port_ = 0;
    std::mutex mutex_;
    std::string answer_;
    std::size_t piece_ = 0;
};

Server& TheServer() {
    static Server* server = new Server();
    return *server;
}

[[noreturn]] void Fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "%s: %s\n", what, detail.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    Server& server = TheServer();
    const std::uint8_t flags = data[0];
    const int pieceBits = (flags >> 1) & 7;
    server.SetAnswer(std::string(reinterpret_cast<const char*>(data + 1), size - 1),
                     pieceBits == 0 ? 0 : std::size_t{1} << (pieceBits - 1));
    const std::string address = "http://127.0.0.1:" + std::to_string(server.Port()) + "/path?q=1";
    const std::string referer = "http://127.0.0.1/biddings";
    korvalot::fetch::ClientLimits limits;
    limits.connect = 2s;
    limits.read = 2s;
    limits.idle = 2s;
    try {
        if (flags & 1) {
            korvalot::fetch::DirectoryClient client(limits);
            (void)client.Get(address, referer);
        } else {
            korvalot::fetch::WorkerClient client(limits);
            const std::string body = client.Get(address, referer);
            if (body.size() > (std::size_t{256} << 20))
                Fail("a body above the limit", std::to_string(body.size()));
            const std::int32_t status = client.LastStatusCode();
            if (status < 100 || status > 999)
                Fail("a body without a status", std::to_string(status));
        }
    } catch (const korvalot::fetch::ClientError& e) {
        // The directory profile's message is the bare reason phrase, which a server may leave out.
        if (std::strlen(e.what()) == 0 && !(flags & 1))
            Fail("an error without a message", "");
    }
    return 0;
}
