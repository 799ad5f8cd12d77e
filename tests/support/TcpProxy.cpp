#include "support/TcpProxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace korvalot::testing {

namespace {

sockaddr_in Loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// Closes with a reset instead of an orderly end, as a register that falls over would.
void Reset(int fd) {
    linger hard{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(fd);
}

bool SendAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

// One client connection and its connection to the target. Cut by shutting both sockets down,
// which wakes the thread that serves it; that thread alone closes them.
struct TcpProxy::Link {
    int client = -1;
    int upstream = -1;
    std::uint16_t target = 0;
    std::atomic<bool> cut{false};
    std::atomic<bool> done{false};  // its thread is about to return
};

TcpProxy::TcpProxy(std::uint16_t target) : target_(target) {
    if (::pipe(wake_) != 0)
        throw std::runtime_error("pipe failed");
    {
        std::unique_lock lock(mutex_);
        acceptor_ = std::thread(&TcpProxy::AcceptLoop, this);
        changed_.wait(lock, [&] { return listening_ || stopping_; });
        if (!listening_) {
            lock.unlock();
            acceptor_.join();
            throw std::runtime_error("the proxy cannot listen");
        }
    }
}

TcpProxy::~TcpProxy() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        CutLinks(true, 0);
    }
    changed_.notify_all();
    const char byte = 0;
    (void)!::write(wake_[1], &byte, 1);
    acceptor_.join();
    for (auto& [link, thread] : threads_)
        thread.join();
    ::close(wake_[0]);
    ::close(wake_[1]);
}

std::string TcpProxy::HttpsUrl() const {
    return "https://127.0.0.1:" + std::to_string(port_);
}

void TcpProxy::ForwardTo(std::uint16_t target) {
    {
        std::lock_guard lock(mutex_);
        target_ = target;
        refusing_ = false;
        CutLinks(false, target);
    }
    changed_.notify_all();
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return listening_ || stopping_; });
}

void TcpProxy::Refuse() {
    {
        std::lock_guard lock(mutex_);
        refusing_ = true;
        CutLinks(true, 0);
    }
    const char byte = 0;
    (void)!::write(wake_[1], &byte, 1);
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return !listening_ || stopping_; });
}

std::uint64_t TcpProxy::Accepted() const {
    std::lock_guard lock(mutex_);
    return accepted_;
}

bool TcpProxy::WaitUntilAccepted(std::uint64_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return accepted_ >= count; });
}

void TcpProxy::CutLinks(bool all, std::uint16_t keepTarget) {
    for (auto& link : links_) {
        if (all || link->target != keepTarget) {
            link->cut = true;
            ::shutdown(link->client, SHUT_RDWR);
            ::shutdown(link->upstream, SHUT_RDWR);
        }
    }
}

void TcpProxy::AcceptLoop() {
    int listener = -1;
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (refusing_) {
            if (listener >= 0) {
                ::close(listener);
                listener = -1;
                listening_ = false;
                changed_.notify_all();
            }
            changed_.wait(lock, [&] { return !refusing_ || stopping_; });
            continue;
        }
        if (listener < 0) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const int on = 1;
            ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
            sockaddr_in address = Loopback(port_);
            socklen_t size = sizeof address;
            if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
                ::listen(fd, 64) != 0 ||
                ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
                if (fd >= 0)
                    ::close(fd);
                stopping_ = true;  // the port was taken meanwhile: nothing sensible is left
                changed_.notify_all();
                break;
            }
            // Bound once to a free port, then always to that one: the port never changes.
            if (port_ == 0)
                port_ = ntohs(address.sin_port);
            listener = fd;
            listening_ = true;
            changed_.notify_all();
        }
        lock.unlock();
        pollfd fds[2] = {{listener, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        ::poll(fds, 2, 100);
        if (fds[1].revents & POLLIN) {
            char drain[64];
            (void)!::read(wake_[0], drain, sizeof drain);
        }
        int client = -1;
        if (fds[0].revents & POLLIN)
            client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        lock.lock();
        if (client < 0)
            continue;
        if (refusing_ || stopping_) {
            Reset(client);
            continue;
        }
        ++accepted_;
        changed_.notify_all();
        auto link = std::make_shared<Link>();
        link->client = client;
        link->target = target_;
        links_.push_back(link);
        for (auto it = threads_.begin(); it != threads_.end();) {
            if (it->first->done) {
                it->second.join();
                it = threads_.erase(it);
            } else {
                ++it;
            }
        }
        threads_.emplace_back(link, std::thread(&TcpProxy::Serve, this, link));
    }
    if (listener >= 0)
        ::close(listener);
    listening_ = false;
    changed_.notify_all();
}

void TcpProxy::Serve(std::shared_ptr<Link> link) {
    const int upstream = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = Loopback(link->target);
    bool connected =
        upstream >= 0 &&
        ::connect(upstream, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    {
        std::lock_guard lock(mutex_);
        link->upstream = upstream;
        if (link->cut)
            connected = false;
    }
    char buffer[16384];
    while (connected && !link->cut) {
        pollfd fds[2] = {{link->client, POLLIN, 0}, {upstream, POLLIN, 0}};
        if (::poll(fds, 2, 200) < 0 && errno != EINTR)
            break;
        bool open = true;
        for (int k = 0; k < 2 && open; ++k) {
            if (!(fds[k].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            const ssize_t n = ::recv(fds[k].fd, buffer, sizeof buffer, 0);
            open = n > 0 && SendAll(fds[1 - k].fd, buffer, static_cast<std::size_t>(n));
        }
        if (!open)
            break;
    }
    std::lock_guard lock(mutex_);
    // A cut link is reset; one that ended on its own is closed in order.
    if (link->cut) {
        Reset(link->client);
        if (upstream >= 0)
            Reset(upstream);
    } else {
        ::close(link->client);
        if (upstream >= 0)
            ::close(upstream);
    }
    link->client = -1;
    link->upstream = -1;
    links_.remove(link);
    link->done = true;
}

}  // namespace korvalot::testing
